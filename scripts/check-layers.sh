#!/usr/bin/env bash
# Each layer includes only itself and the layers below it:
# net <- link <- vsp <- app <- ui. Prints every include that reaches up.
set -u
cd "${1:-$(dirname "$0")/..}"
allowed() {
    case "$1" in
    net) echo "net" ;;
    link) echo "net link" ;;
    vsp) echo "net link vsp" ;;
    app) echo "net link vsp app" ;;
    esac
}
bad=0
# app/main.cpp is the program itself: it builds the window over every layer.
for layer in net link vsp app; do
    ok=$(allowed "$layer")
    while IFS= read -r line; do
        file=${line%%:*}
        inc=$(sed -n 's/.*#include "\([a-z]*\)\/.*/\1/p' <<<"$line")
        [ -z "$inc" ] && continue
        if ! grep -qw "$inc" <<<"$ok"; then
            echo "$file reaches up into $inc/: $line"
            bad=1
        fi
    done < <(grep -Hn "#include \"" "$layer"/*.h "$layer"/*.cpp 2>/dev/null | grep -v "^app/main.cpp:")
done
# The window shows rows; it neither locks the registry nor reads packet bytes.
if grep -Hn 'mutex()\|RegGuard\|lock_guard\|encode\(Link\|Relay\|Credentials\|Dtu\)\|parse\(Link\|Relay\|Dtu\)\|\[15\]' ui/*.cpp ui/*.h; then
    echo "ui/ locks the registry or handles packet bytes"
    bad=1
fi
[ $bad -eq 0 ] && echo "layers hold"
exit $bad
