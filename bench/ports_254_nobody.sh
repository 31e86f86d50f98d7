#!/usr/bin/env bash
# Every port (COM1..COM254) for an ordinary user: the manager runs as
# `nobody`, and a program of that user then opens each port in turn.
# Prints the time until all 254 links exist and how many opened.
# Usage: bench/ports_254_nobody.sh   (as root; run scripts/build.sh first)
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "needs root to become nobody"; exit 1; }
dir=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill $pid 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
cp build/vsp-manager "$dir/"
{
  printf '<?xml version="1.0" encoding="utf-8"?>\r\n<VSPConfig>\r\n'
  printf '<Sys udpport="%d" tcpport="" mode="0" usr="" pwd="" />\r\n' $((20000 + RANDOM % 20000))
  for p in $(seq 1 254); do
    printf '<CommPort port="%d" netproto="0" appproto="1" serproto="2" cmt=""><DTU id="U%d" ip="" cmt="" devids="1" sel="1"/></CommPort>' "$p" "$p"
  done
  printf '</VSPConfig>'
} > "$dir/Config.xml"
chown -R nobody "$dir"
t0=$(date +%s.%N)
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$dir" setpriv --reuid=nobody --regid=nogroup --clear-groups \
  "$dir/vsp-manager" 2>"$dir/stderr.log" &
pid=$!
for _ in $(seq 300); do [ "$(ls "$dir/ports" 2>/dev/null | wc -l)" -ge 254 ] && break; sleep 0.05; done
t1=$(date +%s.%N)
made=$(ls "$dir/ports" 2>/dev/null | wc -l)
opened=$(setpriv --reuid=nobody --regid=nogroup --clear-groups bash -c '
  n=0; for p in $(seq 1 254); do { exec 3<>"$1/ports/COM$p"; } 2>/dev/null && { n=$((n + 1)); exec 3>&-; }; done; echo $n' _ "$dir")
printf 'manager as nobody: %d of 254 ports made in %.2f s; a program of nobody opened %d of them\n' \
  "$made" "$(echo "$t1 - $t0" | bc)" "$opened"
grep -v 'propagateSizeHints\|XDG_RUNTIME_DIR\|UDP receive buffer' "$dir/stderr.log" | head -5 || true
