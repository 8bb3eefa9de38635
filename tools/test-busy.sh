#!/bin/bash
# The Windows tests (win64 under Wine) on a busy machine: a native build
# from scratch runs in a loop beside them (two compilers), and the whole
# win64 suite runs ROUNDS times (2 by default). Prints each round's time and
# result; exits non-zero when a round fails. Needs the builds of the test
# command (tools/test.sh) in place.
#   tools/test-busy.sh [ROUNDS]
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
rounds="${1:-2}"
busy=$(mktemp -d /tmp/tarsel-busy.XXXXXX)
(
  while [ ! -f "$busy/stop" ]; do
    rm -rf "$busy/build"
    cmake -S "$root" -B "$busy/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARSEL_SANITIZE=ON >/dev/null 2>&1
    cmake --build "$busy/build" -j2 >/dev/null 2>&1
  done
) &
loop=$!
trap 'touch "$busy/stop"; kill $loop 2>/dev/null; wait $loop 2>/dev/null; rm -rf "$busy"' EXIT
failures=0
for r in $(seq 1 "$rounds"); do
  start=$(date +%s.%N)
  xvfb-run -a -s "-screen 0 1280x1024x24" tools/wine-session.sh "$root/build/win64/wineprefix" \
    ctest --preset win64 >"$root/build/win64/busy-round$r.log" 2>&1
  rc=$?
  end=$(date +%s.%N)
  printf 'round %d: %.1f s, %s (build/win64/busy-round%d.log)\n' "$r" "$(awk "BEGIN {print $end - $start}")" \
    "$(grep -E 'tests passed' "$root/build/win64/busy-round$r.log" | tail -1)" "$r"
  [ $rc -eq 0 ] || failures=$((failures + 1))
done
[ $failures -eq 0 ]
