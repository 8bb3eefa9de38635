#!/bin/bash
# Figures of the client's FreeRDP add-in with the real programs under Wine,
# reached through vcrelay and the channel host (ICA layout, as the console
# with the service), side by side in one run, medians of ROUNDS rounds:
#
#   tools/bench-client.sh [ROUNDS]     (3 by default)
#
#  - a 30 s 720p clip played in real time with libmpv (video to the screen,
#    no sound device): from RUOF to the first frame shown; a seek to 50 % at
#    10 s, to the first frame after it; frames dropped (output and decoder);
#  - reads at full speed: a 64 MiB file read to its end through the add-in's
#    read path (its "drain" player: the blocking stream, the file session,
#    one request on its way, no decoding), against the same channel alone
#    (128 KiB replies written to ZRBCHNL by the server's channel classes and
#    counted by the add-in's "sink").
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
if [ "${1:-}" != --inside ]; then
  rounds="${1:-3}"
  tools/install-deps.sh >/dev/null
  cmake --preset win64 >/dev/null && cmake --build --preset win64 >/dev/null
  cmake --preset client >/dev/null && cmake --build --preset client >/dev/null
  tools/make-clip.sh "$root/build/clips/clip-720p-30s.mp4" 1280x720 30
  [ -s build/clips/random-64MiB.bin ] || head -c $((64 << 20)) /dev/urandom > build/clips/random-64MiB.bin
  export WINEPREFIX="$root/build/win64/wineprefix" WINEDEBUG=-all
  exec xvfb-run -a -s "-screen 0 1280x1024x24" tools/wine-session.sh "$WINEPREFIX" "$0" --inside "$rounds"
fi
rounds="$2"
export WINEDLLOVERRIDES="wtsapi32=n,b;wfapi=n,b;mscoree,mshtml="
host="$root/build/client/loopback/host/tarsel_vc_host"
addin="$root/build/client/client/libtarsel-client.so"
stage="$root/build/win64/bench-client"
rm -rf "$stage"; mkdir -p "$stage"
cp build/win64/bin/PyxVideoServer.exe build/win64/bin/PyxUserInterface.exe build/win64/loopback/Wtsapi32.dll \
   build/win64/loopback/wfapi.dll build/win64/loopback/vcrelay.exe build/win64/devtools/playerctl.exe \
   build/win64/devtools/traymenu.exe build/win64/tests/bench_loopback.exe "$stage/"
cd "$stage"
key='HKCU\Software\Mervalt\Tarsel\InstallationPath'
wine reg add "$key" /v Path /d "$(winepath -w "$stage/")" /f >/dev/null 2>&1
wine reg add "$key" /v ServerApplication /d PyxVideoServer.exe /f >/dev/null 2>&1
wine reg add "$key" /v GuiApplication /d PyxUserInterface.exe /f >/dev/null 2>&1
wine reg add "$key" /v GuiCommandLine /d ' "%1"' /f >/dev/null 2>&1
wine sc create HalvernService binpath= 'C:\windows\system32\svchost.exe' >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\AppDefaults\PyxUserInterface.exe\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

# client LOG OPTION...: the host with the add-in and the relay; pids in $hostpid $relaypid.
client() {
  local log="$1"; shift
  local port=$(( 20000 + RANDOM % 20000 )) opts=()
  for o in ica "log:$log" "$@"; do opts+=(--option "$o"); done
  rm -f "$log"
  "$host" --addin "$addin" --listen $port "${opts[@]}" > "$log.host" 2>&1 &
  hostpid=$!
  wine ./vcrelay.exe --tcp 127.0.0.1:$port --protocol ica > "$log.relay" 2>&1 &
  relaypid=$!
  sleep 0.5
}
end_client() { kill -TERM $hostpid 2>/dev/null; wait $hostpid 2>/dev/null || true; wait $relaypid 2>/dev/null || true; }
# waitfor LOG REGEX SECONDS: the first matching line's first number.
waitfor() {
  for _ in $(seq 1 $(( $3 * 10 ))); do
    local line; line=$(grep -E "$2" "$1" 2>/dev/null | head -n 1)
    [ -n "$line" ] && { echo "$line" | grep -oE '[0-9]+(\.[0-9]+)?' | head -n 1; return 0; }
    sleep 0.1
  done
  echo "-"; return 1
}
nth() { grep -oE "$2" "$1" | head -n 1 | grep -oE '[0-9]+' | sed -n "${3}p"; }
ctl() { wine ./playerctl.exe "$@" >/dev/null 2>&1; }
median() { tr ' ' '\n' | grep -E '^[0-9.]+$' | sort -n | awk '{a[NR]=$1} END {if (NR) print a[int((NR+1)/2)]; else print "-"}'; }

first=() seek=() drops=() ddrops=() drain=() sink=()
for r in $(seq 1 "$rounds"); do
  # The clip in real time.
  client play.log parent:root vo:x11 ao:null
  wine PyxUserInterface.exe "$(winepath -w "$root/build/clips/clip-720p-30s.mp4")" >/dev/null 2>&1 &
  first+=("$(waitfor play.log 'first frame [0-9]+ ms after RUOF' 30 || true)")
  sleep 10
  ctl seek 50
  seek+=("$(waitfor play.log 'first frame [0-9]+ ms after the seek' 10 || true)")
  waitfor play.log 'played .* to its end' 40 >/dev/null || true
  line=$(grep -E 'to its end: frames dropped' play.log | head -n 1)
  drops+=("$(echo "$line" | sed -n 's/.*frames dropped \([0-9]*\).*/\1/p')")
  ddrops+=("$(echo "$line" | sed -n 's/.*(decoder \([0-9]*\)).*/\1/p')")
  ctl exit --timeout-ms 10000; end_client
  # Reads at full speed through the add-in.
  client drain.log drain
  wine PyxUserInterface.exe "$(winepath -w "$root/build/clips/random-64MiB.bin")" >/dev/null 2>&1 &
  waitfor drain.log 'drained' 60 >/dev/null || true
  drain+=("$(sed -n 's/.* ms, \([0-9.]*\) MB\/s$/\1/p' drain.log | head -n 1)")
  ctl exit --timeout-ms 10000; end_client
  # The channel alone.
  client sink.log sink
  wine ./bench_loopback.exe --write ZRBCHNL 64 131072 > sink.writer 2>&1 || true
  waitfor sink.log 'sink:' 10 >/dev/null || true
  sink+=("$(sed -n 's/.* ms, \([0-9.]*\) MB\/s$/\1/p' sink.log | head -n 1)")
  end_client
  echo "round $r: first frame ${first[-1]} ms, seek ${seek[-1]} ms, dropped ${drops[-1]:-?}+${ddrops[-1]:-?}," \
       "reads ${drain[-1]:-?} MB/s, channel alone ${sink[-1]:-?} MB/s"
done
wine ./traymenu.exe exit --timeout-ms 10000 >/dev/null 2>&1 || true
wine sc delete HalvernService >/dev/null 2>&1 || true
m_first=$(echo "${first[*]}" | median); m_seek=$(echo "${seek[*]}" | median)
m_drops=$(echo "${drops[*]}" | median); m_ddrops=$(echo "${ddrops[*]}" | median)
m_drain=$(echo "${drain[*]}" | median); m_sink=$(echo "${sink[*]}" | median)
echo
echo "the client add-in with the real programs (ICA through vcrelay and the channel host), medians of $rounds rounds"
printf "%-44s %12s %12s\n" "figure" "median" "aim"
printf "%-44s %12s %12s\n" "RUOF to the first frame (ms)" "$m_first" "<= 500"
printf "%-44s %12s %12s\n" "seek to the first frame after it (ms)" "$m_seek" "<= 300"
printf "%-44s %12s %12s\n" "frames dropped, 30 s of 720p (output+decoder)" "$m_drops+$m_ddrops" "0"
printf "%-44s %12s %12s\n" "reads at full speed (MB/s)" "$m_drain" ""
printf "%-44s %12s %12s\n" "the channel alone (MB/s)" "$m_sink" ""
awk -v d="$m_drain" -v s="$m_sink" 'BEGIN { if (s > 0) printf "%-44s %11.0f%% %12s\n", "reads against the channel alone", 100 * d / s, ">= 90%" }'
