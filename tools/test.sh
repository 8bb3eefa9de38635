#!/bin/bash
# The test command: installs what is missing (Debian 12, as root), builds the
# native, win32 and win64 configurations, runs every native test under the
# sanitizers, every Windows test of the x86_64 build and the whole-program
# tests of the 32-bit shipping build under Wine with Xvfb (those only where
# Wine's 32-bit half could be installed). Exits non-zero on any failure.
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

if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "== Windows tests of the shipping build (win32 under Wine, whole programs)"
  xvfb-run -a -s "-screen 0 1280x1024x24" tools/wine-session.sh "$root/build/win32/wineprefix" ctest --preset win32
else
  echo "== skipped: the shipping build's tests (wine32:i386 is not installed, so Wine cannot run 32-bit programs here)"
fi
echo "== all tests passed"
