#!/bin/bash
# Creates the Wine prefix given as $1 on first use.
set -euo pipefail
prefix="$1"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
      WINEPREFIX="$prefix" wineserver -w || true
    fi
  ) 9>"$prefix.lock"
fi
