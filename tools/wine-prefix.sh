#!/bin/bash
# Creates the Wine prefix given as $1 on first use. A prefix made before
# Wine's 32-bit half (wine32:i386) was installed cannot start programs once
# it is (Wine then wants the 32-bit system folder the prefix lacks), so such
# a prefix is made anew; the prefixes under build/ hold nothing to keep.
set -euo pipefail
prefix="$1"
has32=0
dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" && has32=1
stale() { [ -f "$prefix/system.reg" ] && [ $has32 -eq 1 ] && [ ! -f "$prefix/.tarsel-wine32" ]; }
if [ ! -f "$prefix/system.reg" ] || stale; then
  mkdir -p "$prefix"
  (
    flock 9
    if stale; then
      echo "== $prefix was made without Wine's 32-bit half: making it anew" >&2
      WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
      find "$prefix" -mindepth 1 -delete
    fi
    if [ ! -f "$prefix/system.reg" ]; then
      WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 || true
      WINEPREFIX="$prefix" wineserver -w || true
      # An `if`, not `[ ... ] && touch`: as the subshell's last command that
      # list's false test would fail the script (set -e) without wine32.
      if [ $has32 -eq 1 ]; then touch "$prefix/.tarsel-wine32"; fi
    fi
  ) 9>"$prefix.lock"
fi
