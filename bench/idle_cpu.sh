#!/usr/bin/env bash
# CPU cost of an idle manager: 99 open ports (COM1..COM99, one DTU each) and
# the UDP socket, left alone for a while. Prints CPU seconds per idle minute
# and the share of a core.
# Usage: bench/idle_cpu.sh [seconds]   (default 60; run scripts/build.sh first)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
dir=$(mktemp -d)
trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true; rm -rf "$dir"' EXIT
cp build/vsp-manager "$dir/"
{
  printf '<?xml version="1.0" encoding="utf-8"?>\r\n<VSPConfig>\r\n'
  printf '<Sys udpport="21012" tcpport="" mode="0" usr="" pwd="" />\r\n'
  for p in $(seq 1 99); do
    printf '<CommPort port="%d" netproto="0" appproto="1" serproto="2" cmt=""><DTU id="I%d" ip="" cmt="" devids="1" sel="1"/></CommPort>' "$p" "$p"
  done
  printf '</VSPConfig>'
} > "$dir/Config.xml"
QT_QPA_PLATFORM=offscreen "$dir/vsp-manager" 2>/dev/null &
pid=$!
for _ in $(seq 100); do [ -e "$dir/ports/COM99" ] && break; sleep 0.1; done
[ -e "$dir/ports/COM99" ] || { echo "the manager did not open its ports"; exit 1; }
sleep 2  # start-up is over
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
threads=$(ls "/proc/$pid/task" | wc -l)
t0=$(ticks)
sleep "$secs"
t1=$(ticks)
awk -v d=$((t1 - t0)) -v hz="$hz" -v s="$secs" -v th="$threads" 'BEGIN {
  printf "idle manager, 99 ports + UDP socket, %d threads: %.3f CPU s in %d s = %.4f CPU s per idle minute = %.3f %% of a core\n", th, d / hz, s, d / hz * 60 / s, d / hz / s * 100 }'
