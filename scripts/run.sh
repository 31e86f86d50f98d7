#!/usr/bin/env bash
# Installs what is missing, builds, and starts the manager. Config.xml and the
# ports/ folder (ports/COM7 is the serial port COM7) live beside build/vsp-manager.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# Only what it runs, so that a first start is quick.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target vsp-manager
exec build/vsp-manager "$@"
