#!/bin/bash
# Benchmarks (programs that print figures), run from the win64 build under
# Wine: tools/bench.sh [MiB per row, channel alone] [MiB per row, file object]
#   [MiB per file, whole session]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
cmake --build --preset win64 >/dev/null
cd build/win64/tests
xvfb-run -a "$root/tools/wine-session.sh" "$root/build/win64/wineprefix" \
  sh -c "'$root/tools/wine-run.sh' ./bench_loopback.exe '${1:-64}' && '$root/tools/wine-run.sh' ./bench_file_object.exe '${2:-256}' && '$root/tools/wine-run.sh' ./bench_session.exe '${3:-32}'"
