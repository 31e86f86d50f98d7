#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
export QT_QPA_PLATFORM=offscreen
cd build
ctest --output-on-failure --timeout 300 "$@"
