#!/usr/bin/env bash
# Builds with AddressSanitizer and UBSan into build-asan/ and runs the tests
# under them (arguments go to ctest, e.g. -R test_ui).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -O1 -g" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-asan
export QT_QPA_PLATFORM=offscreen ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
cd build-asan
ctest --output-on-failure --timeout 300 "$@"
