#!/usr/bin/env bash
# Builds the libFuzzer harnesses (tests/fuzz) with clang, AddressSanitizer and
# UBSan into build-fuzz/, then runs each for the given seconds (default 30),
# starting from the seeds in tests/fuzz/corpus/<name>. A finding is written as
# build-fuzz/crash-* and ends the script with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/deps.sh
cmake -S . -B build-fuzz -G Ninja -DVSP_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=all -fno-omit-frame-pointer -O1 -g" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build-fuzz
export ASAN_OPTIONS="detect_leaks=0" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
for name in dispatch framing parsers config monitor; do
  work=build-fuzz/corpus/$name  # what the run finds; the committed seeds stay as they are
  mkdir -p "$work"
  echo "fuzz_$name: $seconds s"
  build-fuzz/tests/fuzz/fuzz_$name "$work" "tests/fuzz/corpus/$name" -max_total_time="$seconds" \
    -timeout=10 -rss_limit_mb=2048 -artifact_prefix=build-fuzz/ -print_final_stats=1 2>build-fuzz/fuzz_$name.log ||
    { tail -n 40 build-fuzz/fuzz_$name.log; exit 1; }
  grep -E "^stat::number_of_executed_units" build-fuzz/fuzz_$name.log || true
done
