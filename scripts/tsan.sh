#!/usr/bin/env bash
# Builds with ThreadSanitizer into build-tsan/ and runs the tests under it.
# Left out: the tests that run the manager as a separate program, where
# TSan only sees Qt's own (uninstrumented) thread pool and reports that.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -O1 -g" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build-tsan
export QT_QPA_PLATFORM=offscreen TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
cd build-tsan
ctest --output-on-failure --timeout 300 -E '^(Process|RelayHosts|Service)\.' "$@"
