#!/usr/bin/env bash
# Renders the traffic monitor offscreen (with the system's fonts) into
# docs/monitor.png, from the Qt Test that fills it with a real exchange.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
QT_QPA_PLATFORM=offscreen VSP_SCREENSHOTS="$PWD/docs" build/tests/test_ui monitorShowsTheExchangeDecoded >/dev/null
echo "docs/monitor.png"
