#!/bin/bash
# Benchmarks (programs that print figures), run from the win64 build under
# Wine: tools/bench.sh [MiB per row]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
cmake --build --preset win64 >/dev/null
cd build/win64/tests
xvfb-run -a "$root/tools/wine-session.sh" "$root/build/win64/wineprefix" \
  "$root/tools/wine-run.sh" ./bench_loopback.exe "${1:-64}"
