#!/bin/bash
# The test command: installs what is missing (Debian 12, as root), builds the
# native, win32 and win64 configurations, runs every native test under the
# sanitizers and every Windows test under Wine with Xvfb. Exits non-zero on
# any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tools/install-deps.sh

for preset in native win32 win64; do
  echo "== configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

echo "== native tests"
ctest --preset native -j2

echo "== Windows tests (win64 under Wine)"
xvfb-run -a -s "-screen 0 1280x1024x24" tools/wine-session.sh "$root/build/win64/wineprefix" ctest --preset win64
echo "== all tests passed"
