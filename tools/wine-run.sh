#!/bin/sh
# Runs a cross-built Windows program under Wine with the build folder's own
# prefix (created on first use) and the loopback channel libraries preferred
# over Wine's built-in ones. Used by ctest as the cross-compiling emulator.
set -e
exe="$1"; shift
dir=$(cd "$(dirname "$exe")" && pwd)
# The build folder is the nearest parent holding CMakeCache.txt.
build="$dir"
while [ "$build" != "/" ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
[ -f "$build/CMakeCache.txt" ] || build="$dir"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-wtsapi32=n,b;wfapi=n,b;mscoree,mshtml=}"
"$(cd "$(dirname "$0")" && pwd)/wine-prefix.sh" "$WINEPREFIX"
exec wine "$dir/$(basename "$exe")" "$@"
