#!/bin/bash
# The RDP layout over a real remote-desktop stack, inside an xrdp session
# whose xfreerdp loaded the add-in with the RDP layout: the control thread's
# and the player's test hosts (pyx_control_host --rdp, pyx_player_host
# --rdp) under Wine reach the session's channels through vcrelay and the
# bridge; one file is played to its end through "pyxcm", a data channel and
# "pyxan". Run inside a Wine session on the session's display:
#   rdp-layout-case.sh WIN_BUILD BRIDGE ADDIN_LOG CLIP OUT_DIR
set -uo pipefail
win="$1"; bridge="$2"; log="$3"; clip="$4"; out="$5"
export WINEDLLOVERRIDES="wtsapi32=n,b;wfapi=n,b;mscoree,mshtml="
mkdir -p "$out"; cd "$out"
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done' EXIT
waitfor() { for _ in $(seq 1 $(($3 * 5))); do grep -qE -- "$2" "$1" 2>/dev/null && return 0; sleep 0.2; done; return 1; }
fail=0
check() { if "${@:2}"; then echo "   ok   $1"; else echo "   FAIL $1"; fail=1; fi; }
port=$(( 20000 + RANDOM % 20000 ))
"$bridge" --listen $port > bridge-rdp.txt 2>&1 &
bridgepid=$!; pids+=($bridgepid)
wine "$win/loopback/vcrelay.exe" --tcp 127.0.0.1:$port --protocol rdp --seconds 100 > relay-rdp.txt 2>&1 &
pids+=($!)
wine "$win/tests/pyx_control_host.exe" --rdp --seconds 80 > control-rdp.txt 2>&1 &
pids+=($!)
check "the control host opened pyxcm in the session" waitfor bridge-rdp.txt "pyxcm: opened in the session" 30
wine "$win/tests/pyx_player_host.exe" --rdp --server-running open "$(winepath -w "$clip")" wait 60000 \
  > player-rdp.txt 2>&1 &
pids+=($!)
check "the add-in played the file to its end" waitfor "$log" "client: played .* to its end" 60
check "a data channel carried it" grep -qE "pyx0[0-9]: opened in the session" bridge-rdp.txt
check "pyxan carried the player's messages" grep -q "pyxan: opened in the session" bridge-rdp.txt
check "every request was answered" sh -c "! grep -q 'no reply' '$log'"
grep -E "^client: (playing|first frame|played)" "$log" | sed 's/^/   /'
kill -TERM $bridgepid 2>/dev/null; wait $bridgepid
grep "summary" bridge-rdp.txt | sed 's/^/   /'
exit $fail
