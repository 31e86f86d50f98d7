#!/usr/bin/env bash
# Installs what is missing, builds, and starts the manager. Config.xml and the
# ports/ folder (ports/COM7 is the serial port COM7) live beside build/vsp-manager.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
exec build/vsp-manager "$@"
