#!/bin/bash
# The player's figures, from the win64 build under Wine: command and open
# delays to the client player on RDP and ICA, and the server launch.
#   tools/bench-player.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
cmake --build --preset win64 >/dev/null
cd build/win64/tests
xvfb-run -a "$root/tools/wine-session.sh" "$root/build/win64/wineprefix" \
  "$root/tools/wine-run.sh" ./bench_player.exe "${1:-20}"
