#!/bin/bash
# The client's FreeRDP add-in (native build) against the server side under
# Wine, through vcrelay and tarsel_vc_host: a generated clip, opened by the
# control thread's and the player's test host programs (rdp, ica) or by the
# user with the real programs (ica-programs: PyxUserInterface with the clip,
# which starts PyxVideoServer), played by the add-in with libmpv (no sound,
# no picture) to its end.
#   addin_session.sh rdp|ica|ica-programs NATIVE_BUILD WIN_BUILD OUT_DIR [HOST_ARGS...]
# HOST_ARGS go to tarsel_vc_host (--split random --seed N, --roam S,GAP or
# --roam usr1,GAP: 2 s after the add-in's first frame,
# --option OPT). Exit code 77 (skipped) when the native build has no add-in
# or there is no ffmpeg to make the clip.
set -uo pipefail
layout="$1"; native="$2"; win="$3"; out="$4"; shift 4
proto=${layout%-programs}
host="$native/loopback/host/tarsel_vc_host"
addin="$native/client/libtarsel-client.so"
[ -x "$host" ] && [ -f "$addin" ] || { echo "skipped: no $host or $addin (build the native preset)"; exit 77; }
command -v ffmpeg >/dev/null || { echo "skipped: no ffmpeg for the clip"; exit 77; }
mkdir -p "$out"
# The clip the client's other tests play, made once in the build folder.
clip="$win/clips/clip-720p-10s.mp4"
"$(dirname "$0")/../tools/make-clip.sh" "$clip" 1280x720 10 || { echo "FAIL the clip could not be made"; exit 1; }
export WINEDLLOVERRIDES="wtsapi32=n,b;wfapi=n,b;mscoree,mshtml="
tag="$layout${1:+-$(echo "$*" | tr -c 'a-z0-9\n' '_')}"
log="$out/addin-$tag.log"; hostout="$out/host-$tag.txt"; relayout="$out/relay-$tag.txt"
ctlout="$out/control-$tag.txt"; playerout="$out/player-$tag.txt"
rm -f "$log" "$hostout" "$relayout" "$ctlout" "$playerout"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; }
trap cleanup EXIT
waitfor() {   # waitfor FILE TEXT SECONDS
  for _ in $(seq 1 $(($3 * 5))); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.2; done
  return 1
}
failures=0
check() {   # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

# The host first: the relay connects to it, and the programs to the relay.
ica=(); [ "$proto" == ica ] && ica=(--option ica)
for try in 1 2 3; do
  port=$((20000 + (RANDOM % 20000)))
  "$host" --addin "$addin" --listen $port --option ao:null --option vo:null --option "log:$log" "${ica[@]}" \
          --exit-on "client: played" --seconds ${ADDIN_SESSION_SECONDS:-90} "$@" > "$hostout" 2>&1 &
  hostpid=$!
  waitfor "$hostout" "listening on" 5 && break
  wait $hostpid
done
pids+=($hostpid)
wine "$win/loopback/vcrelay.exe" --tcp 127.0.0.1:$port --protocol "$proto" --seconds 100 > "$relayout" 2>&1 &
relaypid=$!; pids+=($relaypid)
check "the relay listens" waitfor "$relayout" "vcrelay: listening" 20

# ICA: the service that makes Wine's console an ICA session.
[ "$proto" == ica ] && wine sc create HalvernService binpath= 'C:\windows\system32\svchost.exe' >/dev/null 2>&1
key='HKCU\Software\Mervalt\Tarsel\InstallationPath'
if [ "$layout" == ica-programs ]; then
  # The programs in a staging folder with the stand-in libraries, named by
  # the installation's values as the package writes them.
  stage="$out/stage"
  mkdir -p "$stage"
  cp "$win/bin/PyxVideoServer.exe" "$win/bin/PyxUserInterface.exe" "$win/loopback/Wtsapi32.dll" "$win/loopback/wfapi.dll" "$stage/"
  wine reg add "$key" /v Path /d "$(winepath -w "$stage/")" /f >/dev/null 2>&1
  wine reg add "$key" /v ServerApplication /d PyxVideoServer.exe /f >/dev/null 2>&1
  wine reg add "$key" /v GuiApplication /d PyxUserInterface.exe /f >/dev/null 2>&1
  wine reg add "$key" /v GuiCommandLine /d ' "%1"' /f >/dev/null 2>&1
  # Without a window manager on the display, Wine draws the player's frame.
  wine reg add 'HKCU\Software\Wine\AppDefaults\PyxUserInterface.exe\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  wine "$win/devtools/tracecap.exe" --out "$(winepath -w "$playerout")" --others "$(winepath -w "$ctlout")" \
       "$(winepath -w "$stage/PyxUserInterface.exe")" "$(winepath -w "$clip")" > /dev/null 2>&1 &
  pids+=($!)
  check "the server side connected its control channel" waitfor "$hostout" "link [0-9]* ZRBCHNL open" 30
else
  rdp=(); [ "$proto" == rdp ] && rdp=(--rdp)
  wine "$win/tests/pyx_control_host.exe" "${rdp[@]}" --seconds 80 > "$ctlout" 2>&1 &
  pids+=($!)
  check "the server side connected its control channel" waitfor "$hostout" "link [0-9]* \(pyxcm\|ZRBCHNL\) open" 20
  sleep 1
  wine "$win/tests/pyx_player_host.exe" "${rdp[@]}" --server-running open "$(winepath -w "$clip")" wait 60000 \
       > "$playerout" 2>&1 &
  pids+=($!)
fi

# A roam on the signal comes 2 s into the play, however long the programs
# took to start (a roam before the first play tests nothing of the resume).
if [[ " $* " == *" --roam usr1"* ]]; then
  if waitfor "$log" "client: first frame" 60; then sleep 2; kill -USR1 $hostpid; else echo "FAIL no first frame to roam after"; failures=$((failures + 1)); fi
fi
# The clip is 10 s long; the host ends once the add-in's log says it was played.
for _ in $(seq 1 450); do kill -0 $hostpid 2>/dev/null || break; sleep 0.2; done
kill -0 $hostpid 2>/dev/null && { echo "FAIL the host did not end; stopping it"; kill -TERM $hostpid; }
wait $hostpid; hostrc=$?
check "the host ended with exit code 0" [ $hostrc -eq 0 ]
lacks() { ! grep -q -- "$1" "$2"; }
check "the add-in played the clip to its end" grep -q "client: played .* to its end" "$log"
check "every request of the add-in was answered" lacks "no reply" "$log"
check "the add-in saw no protocol error" grep -q "client: unloaded: 0 protocol errors" "$log"
check "the host took every call of the add-in" grep -q "summary: .* rejected_calls=0 " "$hostout"
check "the add-in was terminated" grep -q "tarsel_vc_host: TERMINATED" "$hostout"
if [[ " $* " == *" --roam "* ]]; then
  check "the session came back" grep -q "roam: connected again" "$hostout"
  check "the add-in played the re-sent open" [ "$(grep -c "client: playing" "$log")" -ge 2 ]
  [ "$layout" == ica-programs ] &&
    check "the play went on where it was (the player's seek)" grep -Eq "client: first frame .* after the seek to ([5-9]|[1-9][0-9]) %" "$log"
fi
if [ "$layout" == ica-programs ]; then
  check "the player window closed with File, Exit" wine "$win/devtools/playerctl.exe" exit --timeout-ms 15000
  check "the server ended through its tray menu" wine "$win/devtools/traymenu.exe" exit --timeout-ms 15000
  wine reg delete "$key" /f >/dev/null 2>&1
fi
[ "$proto" == ica ] && wine sc delete HalvernService >/dev/null 2>&1
# The host closed the session connection: the relay ends on its own.
for _ in $(seq 1 50); do kill -0 $relaypid 2>/dev/null || break; sleep 0.2; done
gone() { ! kill -0 "$1" 2>/dev/null; }
check "the relay ended with the host" gone $relaypid
check "the relay rejected nothing" grep -q "summary: .* rejected=0 " "$relayout"
for f in "$hostout" "$relayout" "$log" "$ctlout" "$playerout"; do echo "--- $f"; cat "$f" 2>/dev/null; done
[ $failures -eq 0 ]
