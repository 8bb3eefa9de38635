#!/bin/bash
# Instructions spent in the request processing per MiB served: builds
# bench_process with release flags (-O2 -g, no sanitizers) in build/callgrind,
# runs it under callgrind once for each read size, and prints the inclusive
# instruction count of CFileRpcRequests::ProcessFileRpc and that per MiB.
#   tools/callgrind.sh [MiB] [read KiB...]    defaults: 16 MiB, reads of 64 and 128 KiB
set -euo pipefail
cd "$(dirname "$0")/.."
mib="${1:-16}"
[ $# -gt 0 ] && shift
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(64 128)
out=build/callgrind

cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARSEL_SANITIZE=OFF >/dev/null
cmake --build "$out" --target bench_process >/dev/null

for kib in "${sizes[@]}"; do
  prof="$out/callgrind.$kib.out"
  echo "== valgrind --tool=callgrind --callgrind-out-file=$prof $out/tests/bench_process $mib $kib"
  line=$(valgrind --tool=callgrind --callgrind-out-file="$prof" "$out/tests/bench_process" "$mib" "$kib" 2>"$out/valgrind.$kib.log")
  echo "$line"
  served=$(sed -n 's/.*: \([0-9.]*\) MiB served.*/\1/p' <<<"$line")
  # Lines are sorted by inclusive cost: the first one naming the function
  # carries its whole inclusive count (callees and inlined code included).
  ir=$(callgrind_annotate --inclusive=yes "$prof" |
       awk '!done && /CFileRpcRequests::ProcessFileRpc\(\)/ { gsub(",", "", $1); print $1; done = 1 }')
  [ -n "$ir" ] && [ -n "$served" ] || { echo "no ProcessFileRpc figure in $prof"; exit 1; }
  awk -v ir="$ir" -v mib="$served" -v kib="$kib" \
    'BEGIN { printf "read %s KiB: ProcessFileRpc inclusive %d Ir, %.1f MiB served, %.0f Ir per MiB\n", kib, ir, mib, ir / mib }'
done
