#!/bin/bash
# Runs a command inside one Wine session of the given prefix: a persistent
# wineserver with Wine's own background programs (services, the desktop)
# already started, detached from the command's output, so that they neither
# hold a test's output open nor start anew for every test. Meant to run
# under xvfb-run.  Usage: wine-session.sh PREFIX COMMAND...
set -uo pipefail
prefix="$1"; shift
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
"$here/wine-prefix.sh" "$WINEPREFIX"
wineserver -p 600 </dev/null >/dev/null 2>&1 || true
WINEDLLOVERRIDES="mscoree,mshtml=" wine cmd /c exit </dev/null >/dev/null 2>&1 || true
"$@"
rc=$?
wineserver -k >/dev/null 2>&1 || true
exit $rc
