#!/bin/bash
# The session part of the main job, inside one Wine session under Xvfb:
#   main-job-session.sh STAGE NAME staged|installed MSI [ROAM [CLIENT]]
# NAME is the file or URL the user opens with the player; "installed" runs
# the programs installed from MSI instead of those in STAGE. With ROAM 1 the
# session disconnects after the user's seek and comes back 2 s later.
# CLIENT "emulator" (the default) plays the client with the emulator;
# "addin" with the FreeRDP add-in in the channel host (TARSEL_VC_HOST,
# TARSEL_ADDIN: their paths; TARSEL_VC_HOST_ARGS: more of the host's
# options), reached through vcrelay, playing with libmpv and showing the
# video over the player window.
set -uo pipefail
stage="$1"; name="$2"; mode="${3:-staged}"; msi="${4:-}"; roam="${5:-0}"; client_kind="${6:-emulator}"
export WINEDLLOVERRIDES="wtsapi32=n,b;wfapi=n,b;mscoree,mshtml="
winpath() { case "$1" in *://*) echo "$1" ;; *) winepath -w "$1" 2>/dev/null ;; esac; }
url=0; case "$name" in *://*) url=1 ;; esac
fail=0
step() { echo "== $*"; }

# The installation: the test package, silently, or what it writes per user
# naming the staged programs. The service makes Wine's console an ICA
# session for both programs.
key='HKCU\Software\Mervalt\Tarsel\InstallationPath'
ms() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
if [ "$mode" == installed ]; then
  step "administrator: msiexec /i $(basename "$msi") /qn"
  t=$(date +%s%N)
  wine msiexec /i "$(winpath "$msi")" /qn /l*v "$(winpath "$stage/install.log")" >/dev/null 2>&1
  rc=$?
  echo "   exit code $rc after $(ms $t) ms; log $stage/install.log"
  [ $rc -eq 0 ] || fail=1
else
  dir=$(winpath "$stage/")
  wine reg add "$key" /v Path /d "$dir" /f >/dev/null 2>&1
  wine reg add "$key" /v ServerApplication /d PyxVideoServer.exe /f >/dev/null 2>&1
  wine reg add "$key" /v GuiApplication /d PyxUserInterface.exe /f >/dev/null 2>&1
  wine reg add "$key" /v GuiCommandLine /d ' "%1"' /f >/dev/null 2>&1
fi
programs=$(wine reg query "$key" /v Path 2>/dev/null | tr -d '\r' | sed -n 's/^ *Path *REG_SZ *//p')
echo "   programs in $programs"
wine sc create HalvernService binpath= 'C:\windows\system32\svchost.exe' >/dev/null 2>&1 || true
# Without a window manager on the display, Wine draws the player's frame.
wine reg add 'HKCU\Software\Wine\AppDefaults\PyxUserInterface.exe\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

cd "$stage"
rm -f client.txt player-trace.txt server-trace.txt player_window.png host.txt relay.txt bridge.txt
# The add-in's log: in the stage, or (over xrdp) where xfreerdp's add-in writes it.
clog="$stage/client.txt"
[ "$client_kind" == rdp ] && clog="$TARSEL_CLIENT_LOG"
# The add-in's log lines: waits at most $2 s (10 by default) for one matching $1.
wait_line() {
  for _ in $(seq 1 $(( ${2:-10} * 10 ))); do grep -qE "$1" client.txt 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
if [ "$client_kind" == rdp ]; then
  port=$(( 20000 + RANDOM % 20000 ))
  step "client: xfreerdp with the add-in, in an xrdp session (ICA layout); the programs reach the session's" \
       "channels through vcrelay and the bridge"
  "$TARSEL_XRDP_BRIDGE" --listen $port --reconnects "$TARSEL_RDP_RUN/session/reconnects" > bridge.txt 2>&1 &
  client=$!
  wine ./vcrelay.exe --tcp 127.0.0.1:$port --protocol ica > relay.txt 2>&1 &
  relay=$!
elif [ "$client_kind" == addin ]; then
  port=$(( 20000 + RANDOM % 20000 ))
  roam_opt=()
  [ "$roam" == 1 ] && roam_opt=(--roam usr1,2)
  step "client: the FreeRDP add-in $(basename "$TARSEL_ADDIN") in the channel host (ICA layout), libmpv with the" \
       "video over the screen, no sound device"
  "$TARSEL_VC_HOST" --addin "$TARSEL_ADDIN" --listen $port --option ica --option "log:$stage/client.txt" \
    --option parent:root --option vo:x11 --option ao:null "${roam_opt[@]}" ${TARSEL_VC_HOST_ARGS:-} > host.txt 2>&1 &
  client=$!
  wine ./vcrelay.exe --tcp 127.0.0.1:$port --protocol ica > relay.txt 2>&1 &
  relay=$!
elif [ "$roam" == 1 ]; then
  # The disconnect comes after the user's seek, while the play is still at
  # its media rate; each open (the reconnect's too) plays 14 s at that rate.
  step "client player: plays at 1411 kbit/s for 14 s after each open, then as fast as it can;" \
       "disconnects after 13 s for 2 s"
  pace=(--fast-after 14 --roam 13,2)
else
  step "client player: plays at 1411 kbit/s for 10 s, then as fast as it can"
  pace=(--fast-after 10)
fi
[ "$client_kind" == emulator ] && {
wine ./pyxclient.exe --player --protocol ica --play-kbps 1411 "${pace[@]}" --exit-on-close --seconds 300 \
     --request-size 65536 --timeout-ms 20000 > client.txt 2>&1 &
client=$!
}
sleep 1
step "user: ${programs}PyxUserInterface.exe $(winpath "$name")"
clicked_ms=$(date +%s%3N)
wine ./tracecap.exe --out player-trace.txt --others server-trace.txt "${programs}PyxUserInterface.exe" "$(winpath "$name")" \
     > tracecap.txt 2>&1 &
player=$!

ctl() { wine ./playerctl.exe "$@"; }
if [ $url -eq 0 ]; then
  step "the window's status line as it changes"
  ctl wait-status "Playing....." --timeout-ms 20000 | sed 's/^/   /' || { echo "the window never showed Playing"; fail=1; }
  sleep 2
  echo "   two seconds later: $(ctl status) slider $(ctl slider)%"
fi
if [ "$client_kind" != emulator ]; then
  # What the add-in logs after a mark: each step's effect, read back from
  # libmpv's properties and the video window's geometry on the display.
  base=0
  mark() { base=$(wc -l < "$clog"); }
  expect() {
    local line
    for _ in $(seq 1 $(( ${3:-10} * 10 ))); do
      line=$(tail -n +$((base + 1)) "$clog" 2>/dev/null | grep -E "$2" | head -n 1)
      [ -n "$line" ] && { echo "   $1: $line"; return 0; }
      sleep 0.1
    done
    echo "   $1: NOT SEEN ($2)"; fail=1; return 1
  }
  # The video window lies exactly over the player window's video area.
  over_area() {
    sleep 0.3
    set -- $(ctl video | tr -d '\r')
    local want="video window at $1,$2 ${3}x${4}"
    if grep 'video window' "$clog" | tail -n 1 | grep -q "$want"; then echo "   over the video area: $want"
    else echo "   NOT over the video area ($want): $(grep 'video window' "$clog" | tail -n 1)"; fail=1; fi
  }
  step "the client's player"
  expect "first picture" 'first frame [0-9]+ ms after RUOF' 20
  shown_ms=$(sed -n 's/.*first frame .* at unix ms \([0-9]*\)$/\1/p' "$clog" | head -n 1)
  first_ms=$([ -n "$shown_ms" ] && echo $(( shown_ms - clicked_ms )) || echo "?")
  echo "   from the double click to the first frame: $first_ms ms"
  over_area
  step "user: pause, play, the volume to 40%, mute, sound on"
  mark; ctl press pause; expect "pause" 'mpv: pause=yes'
  mark; ctl press play; expect "play" 'mpv: pause=no'
  mark; ctl volume 40; expect "volume" 'mpv: volume=40'
  mark; ctl press mute; expect "mute" 'mpv: mute=yes'
  mark; ctl press sound-on; expect "sound on" 'mpv: mute=no'
  step "user: moves the window, minimises it and restores it"
  mark; ctl move 160 120; expect "moved" 'video window at'
  over_area
  mark; ctl minimize; expect "minimised" 'video window hidden'
  mark; ctl restore; expect "restored" 'video window at'
  over_area
  sleep 0.5
  step "photograph of the player window"
  # What the user sees: the screen, or xfreerdp's window on the client's display.
  if [ "$client_kind" == rdp ]; then DISPLAY="$(cat "$TARSEL_RDP_RUN/client.display")" import -window root "$stage/screen.png"
  else import -window root "$stage/screen.png"; fi
  set -- $(ctl rect | tr -d '\r')
  convert "$stage/screen.png" -crop "${3}x${4}+${1}+${2}" +repage "$stage/player_window.png"
  set -- $(ctl video | tr -d '\r')
  spread=$(convert "$stage/screen.png" -crop "${3}x${4}+${1}+${2}" +repage -colorspace gray -format "%[fx:standard_deviation]" info:)
  if [ "$client_kind" == rdp ]; then
    mv "$stage/screen.png" "$stage/xfreerdp_window.png"
    echo "   $stage/xfreerdp_window.png: xfreerdp's window, the remote desktop with the player and the video"
  else
    rm -f "$stage/screen.png"
  fi
  echo "   $stage/player_window.png; the video area's brightness varies by $spread (a plain area: 0)"
  awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' || { echo "   the video area shows no picture"; fail=1; }
  step "user: the position slider to 50%"
  mark; ctl seek 50; expect "seek" 'first frame [0-9]+ ms after the seek'
  if [ "$roam" == 1 ]; then
    step "the user's client leaves the session and comes back 2 s later"
    sleep 1
    mark
    if [ "$client_kind" == rdp ]; then "$TARSEL_RDP_SESSION" client-close "$TARSEL_RDP_RUN"; sleep 2
      "$TARSEL_RDP_SESSION" client-start "$TARSEL_RDP_RUN"; else kill -USR1 $client; fi
    expect "left" 'closed .* at [0-9]+ %' && left=$(tail -n +$((base + 1)) "$clog" | sed -n 's/.* at \([0-9]*\) %$/\1/p' | head -n 1)
    expect "back" 'connected, ICA layout' 15
    expect "resumed" 'first frame [0-9]+ ms after the seek to [0-9]+ %' 20 &&
      back=$(tail -n +$((base + 1)) "$clog" | sed -n 's/.*after the seek to \([0-9]*\) %$/\1/p' | head -n 1)
    # The slider the player resumes from follows the server's reads, which
    # run up to about 3 s ahead of the picture (libmpv's second, the stream's
    # buffers, the block read ahead): 30 points of this 10 s clip.
    if [ -n "${left:-}" ] && [ -n "${back:-}" ] && [ "$back" -ge $((left - 2)) ] && [ "$back" -le $((left + 30)) ]; then
      echo "   the play resumed at $back %, left at $left %"
    else
      echo "   the play did not resume where it was (left at ${left:-?} %, resumed at ${back:-?} %)"; fail=1
    fi
  fi
  step "waiting for the play to end"
  expect "end" 'played .* to its end' 30
  expect "closed" 'video window hidden' 5
  last_status=$(ctl status)
  slider=$(ctl slider)
else
step "user: pause, then play, then the position slider to 60%"
  ctl press pause; sleep 1
  echo "   paused: $(grep -c 'CONT PAUSE' client.txt) pause at the client; a second later: $(ctl status)"
  sleep 1
  echo "   still: $(ctl status)"
  ctl press play; sleep 1
  echo "   playing again: $(ctl status)"
  ctl seek 60; sleep 1
  echo "   after the seek: $(grep -c 'CONT SEEK 60' client.txt) seek to 60% at the client; $(ctl status) slider $(ctl slider)%"
  if [ "$roam" == 1 ]; then
    step "the session disconnects and comes back"
    for _ in $(seq 1 300); do grep -q 'first byte .* after the reconnect' client.txt && break; sleep 0.2; done
    grep -E '^(pyxclient: (disconnected|reconnected|first byte)|player: resumed)' client.txt | sed 's/^/   /'
    grep -q 'first byte .* after the reconnect' client.txt || { echo "   no byte came after the reconnect"; fail=1; }
    echo "   after the reconnect: $(ctl status) slider $(ctl slider)%"
  fi
  step "waiting for the client to read to the end"
  for _ in $(seq 1 600); do grep -q '^player: eof' client.txt && break; sleep 0.2; done
  grep -q '^player: eof' client.txt || { echo "the client did not reach the end"; fail=1; }
  sleep 0.5
  last_status=$(ctl status)
  slider=$(ctl slider)
  step "photograph of the player window"
  set -- $(ctl rect | tr -d '\r')
  import -window root "$stage/screen.png" && convert "$stage/screen.png" -crop "${3}x${4}+${1}+${2}" +repage \
    "$stage/player_window.png" && rm -f "$stage/screen.png"
  echo "   $stage/player_window.png (${3}x${4})"
fi

step "user: File, Exit"
ctl exit --timeout-ms 15000 || { echo "the player window did not close"; fail=1; }
[ "$client_kind" == emulator ] && { wait $client; client_rc=$?; }
step "ending the server through its tray menu"
wine ./traymenu.exe exit --timeout-ms 15000
tray_rc=$?
if [ "$client_kind" != emulator ]; then
  # The user ends xfreerdp (over xrdp: logs off, the session ends and so
  # does xfreerdp): the add-in is told so and unloads.
  [ "$client_kind" == rdp ] && "$TARSEL_RDP_SESSION" logout "$TARSEL_RDP_RUN"
  kill -TERM $client 2>/dev/null
  wait $client
  client_rc=$?
  wait $relay
fi
wait $player
player_rc=$(sed -n 's/.*ended with exit code \([0-9]*\).*/\1/p' tracecap.txt | tr -d '\r')
player_rc=${player_rc:-none}

if [ "$mode" == installed ]; then
  step "administrator: msiexec /x $(basename "$msi") /qn"
  t=$(date +%s%N)
  wine msiexec /x "$(winpath "$msi")" /qn /l*v "$(winpath "$stage/remove.log")" >/dev/null 2>&1
  rc=$?
  left=$(ls "$(winepath -u "$programs" 2>/dev/null)" 2>/dev/null | wc -l)
  echo "   exit code $rc after $(ms $t) ms; files left in $programs: $left; log $stage/remove.log"
  [ $rc -eq 0 ] && [ "$left" -eq 0 ] || fail=1
fi
wine sc delete HalvernService >/dev/null 2>&1 || true
step "client player"
if [ "$client_kind" != emulator ]; then
  grep -E '^client: (playing|first frame|played|libmpv cannot|unloaded)' "$clog"
  grep -hE '^(tarsel_vc_host|bridge): summary' host.txt bridge.txt 2>/dev/null
  grep -q '^client: unloaded: 0 protocol errors, 0 player' "$clog" || { echo "== the add-in did not unload cleanly"; fail=1; }
else
  grep -E '^player: (RUOF|CONT (PAUSE|PLAY|SEEK|CLOSE|VOLUME)|eof)' client.txt | head -n 12
  grep '^player: summary' client.txt || cat client.txt
fi
step "the window's last status line: \"$last_status\" (slider ${slider}%)"
step "traces: $stage/player-trace.txt ($(wc -l < player-trace.txt) lines), $stage/server-trace.txt ($(wc -l < server-trace.txt) lines)"
if [ "$roam" == 1 ] && [ "$client_kind" == emulator ]; then
  grep '^player: summary' client.txt | tr -d '\r' | grep -q 'result=ok.* reconnects=1$' ||
    { echo "== the client's summary is not result=ok with reconnects=1"; fail=1; }
  boxes=$(grep -c 'Box not shown' player-trace.txt server-trace.txt | paste -sd' ')
  step "reconnect: $(sed -n 's/^pyxclient: \(first byte .* after the reconnect\).*/\1/p' client.txt | tr -d '\r');" \
       "boxes held back while disconnected: $boxes"
fi
if [ "$client_kind" != emulator ]; then
  seek_ms=$(sed -n 's/.*first frame \([0-9]*\) ms after the seek to 50 %$/\1/p' "$clog" | head -n 1)
  dropped=$(sed -n 's/.*to its end: frames dropped \([0-9]*\) (decoder \([0-9]*\))$/\1+\2/p' "$clog" | head -n 1)
  step "figures: from the double click to the first frame ${first_ms:-?} ms; from the seek to the first frame after" \
       "it ${seek_ms:-?} ms; frames dropped ${dropped:-?} (output+decoder)"
fi
step "exit codes: client $client_rc, player $player_rc (File, Exit is 32773), tray $tray_rc"
[ $fail -eq 0 ] && [ $client_rc -eq 0 ] && [ "$player_rc" = 32773 ] && [ $tray_rc -eq 0 ]
