#!/usr/bin/env bash
# Builds the Debian package into build-package/: the three programs, the
# systemd unit, the desktop entry and icon, the man pages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-package --target vsp-manager vsp-dtusim vsp-relaysim
(cd build-package && cpack -G DEB)
ls build-package/*.deb
