#!/bin/bash
# The main job: a user's session, end to end under Wine with Xvfb. The user
# starts PyxUserInterface with a media file (as a double click does); the
# player starts PyxVideoServer from the installation values and tells the
# client player (the client emulator) to open the file; the client reads it
# from the server at a media bit rate for a few seconds, then as fast as it
# can, every byte checked; the window shows the server's progress. The job
# presses pause, play and a seek as a user would, photographs the window,
# ends the player with File, Exit and the server with its tray's "Exit", and
# prints the client's summary, the window's last status line, the exit codes
# and where both traces are.
#
#   tools/main-job.sh [--shipping] [--installed] [--roam] [--client | --rdp] [FILE | URL]
#
# Without an argument it plays a generated sample (a WAV file). A URL is
# served by the server's Internet source (the client checks its length).
# With --shipping the 32-bit shipping build runs (Wine's 32-bit half must be
# installed), otherwise the x86_64 build. With --installed the programs come
# from that build's package (Tarsel.msi, or the test package Tarsel-x64.msi),
# installed silently into a prefix of its own (and removed at the end),
# instead of from the staging folder. With --roam the user disconnects from
# the session in the middle of the play and comes back 2 s later as a fresh
# client: the play must go on where it was (the job ends non-zero unless the
# client's summary says result=ok with reconnects=1) and the job prints the
# time from the reconnect to the first byte after it. With --client the
# client player is the FreeRDP add-in (libtarsel-client.so, as packaged) in
# the channel host, playing with libmpv and drawing the video over the
# player window; without a FILE it plays a generated 720p clip (H.264 and
# AAC, 10 s). The job then reads back each step from the add-in's log, checks
# that the video lies over the window's video area, and photographs it.
# With --rdp all of it runs over a real remote-desktop stack: the programs
# inside an xrdp session (tools/rdp-session.sh), played by xfreerdp with the
# add-in installed from the project's Debian package; the photograph is of
# xfreerdp's window.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode=staged
preset=win64
roam=0
client_kind=emulator
while [ $# -gt 0 ]; do
  case "$1" in
    --installed) mode=installed; shift ;;
    --shipping) preset=win32; shift ;;
    --roam) roam=1; shift ;;
    --client) client_kind=addin; shift ;;
    --rdp) client_kind=rdp; shift ;;
    *) break ;;
  esac
done
input="${1:-}"
if [ $preset == win32 ]; then
  msi_name=Tarsel.msi; system_dir=syswow64
else
  msi_name=Tarsel-x64.msi; system_dir=system32
fi
build="build/$preset"

tools/install-deps.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
echo "== built: build/win32/bin/PyxVideoServer.exe, PyxUserInterface.exe (shipping, $(file -b build/win32/bin/PyxUserInterface.exe | cut -d, -f1))"
echo "==        build/win64/bin/; this job runs $build/bin/"
echo "==        build/win32/installer/Tarsel.msi ($(du -k build/win32/installer/Tarsel.msi | cut -f1) KiB, shipping)," \
     "build/win64/installer/Tarsel-x64.msi ($(du -k build/win64/installer/Tarsel-x64.msi | cut -f1) KiB)"

# A staging folder: the programs with the loopback channel libraries beside
# them. The installed programs run in a prefix of their own, whose system
# folder gets the libraries, where a real platform keeps its own. The
# shipping folder (bin/) and the packages never hold them.
stage="$root/$build/mainjob"
rm -rf "$stage"
mkdir -p "$stage"
[ "$mode" == staged ] && cp $build/bin/PyxVideoServer.exe $build/bin/PyxUserInterface.exe \
                           $build/loopback/Wtsapi32.dll $build/loopback/wfapi.dll "$stage/"
cp $build/loopback/pyxclient.exe $build/loopback/vcrelay.exe $build/devtools/tracecap.exe $build/devtools/traymenu.exe $build/devtools/playerctl.exe "$stage/"

if [ "$client_kind" != emulator ]; then
  cmake --preset client >/dev/null
  cmake --build --preset client >/dev/null
  export TARSEL_VC_HOST="$root/build/client/loopback/host/tarsel_vc_host"
  export TARSEL_ADDIN="$root/build/client/client/libtarsel-client.so"
  export TARSEL_XRDP_BRIDGE="$root/build/client/loopback/host/tarsel_xrdp_bridge"
  echo "== built: $TARSEL_ADDIN (the add-in as packaged), $TARSEL_VC_HOST, $TARSEL_XRDP_BRIDGE"
  cp build/client/loopback/host/tarsel_vc_host build/client/loopback/host/tarsel_xrdp_bridge "$stage/" 2>/dev/null || true
fi
if [ "$client_kind" == rdp ]; then
  rm -f build/client/tarsel-client_*.deb
  (cd build/client && cpack -G DEB >/dev/null)
  tests/check_client_package.sh build/client/tarsel-client_*.deb
fi
source_file=""
if [ -z "$input" ] && [ "$client_kind" != emulator ]; then
  tools/make-clip.sh "$root/build/clips/clip-720p-10s.mp4" 1280x720 10
  name="$root/build/clips/clip-720p-10s.mp4"
elif [ -z "$input" ]; then
  python3 tools/make_sample.py "$stage/sample.wav" 96
  source_file="$stage/sample.wav"
  name="$source_file"
elif [[ "$input" == *"://"* ]]; then
  source_file=""
  name="$input"
else
  source_file=$(cd "$(dirname "$input")" && pwd)/$(basename "$input")
  name="$source_file"
fi

export WINEPREFIX="$root/$build/wineprefix"
export WINEDEBUG=-all
if [ "$mode" == installed ]; then
  export WINEPREFIX="$root/$build/installed-prefix"
  tools/wine-prefix.sh "$WINEPREFIX"
  cp $build/loopback/Wtsapi32.dll $build/loopback/wfapi.dll "$WINEPREFIX/drive_c/windows/$system_dir/"
fi
if [ "$client_kind" == rdp ]; then
  export TARSEL_RDP_SESSION="$root/tools/rdp-session.sh" TARSEL_RDP_RUN="$root/build/rdp-run"
  export TARSEL_CLIENT_LOG="$TARSEL_RDP_RUN/addin.log"
  trap '"$TARSEL_RDP_SESSION" stop "$TARSEL_RDP_RUN"' EXIT
  echo "== an xrdp session on 127.0.0.1 for a throwaway user, xfreerdp /vc:tarsel under Xvfb"
  # First the RDP layout with the test hosts (xfreerdp with the add-in's RDP
  # channels), then xfreerdp closed and started again with the ICA layout
  # for the user's job with the real programs (they see an ICA console).
  session_display=$("$TARSEL_RDP_SESSION" start "$TARSEL_RDP_RUN" "log:$TARSEL_RDP_RUN/addin-rdp.log,vo:x11,ao:null") ||
    { echo "== skipped: $session_display"; exit 2; }
  echo "== the session's display $session_display; logs: $TARSEL_RDP_RUN/{xrdp.log,sesman.log,xfreerdp.log,addin.log}," \
       "$stage/{bridge.txt,relay.txt}"
  # shellcheck disable=SC1091
  set -a; source "$TARSEL_RDP_RUN/session.env"; set +a
  echo "== the RDP layout: pyx_control_host --rdp and pyx_player_host --rdp play the clip through pyxcm, a data" \
       "channel and pyxan"
  tools/wine-session.sh "$WINEPREFIX" tools/rdp-layout-case.sh "$root/$build" "$TARSEL_XRDP_BRIDGE" \
    "$TARSEL_RDP_RUN/addin-rdp.log" "$name" "$stage" || rdp_layout_failed=1
  "$TARSEL_RDP_SESSION" client-close "$TARSEL_RDP_RUN"
  TARSEL_ADDIN_OPTIONS="ica,log:$TARSEL_CLIENT_LOG,vo:x11,ao:null" "$TARSEL_RDP_SESSION" client-start "$TARSEL_RDP_RUN"
  for _ in $(seq 1 100); do grep -q "connected, ICA layout" "$TARSEL_CLIENT_LOG" 2>/dev/null && break; sleep 0.1; done
  echo "== the user's job with the real programs (ICA layout)"
  tools/wine-session.sh "$WINEPREFIX" \
    tools/main-job-session.sh "$stage" "$name" "$mode" "$root/$build/installer/$msi_name" "$roam" "$client_kind" ||
    job_failed=1
  [ -z "${rdp_layout_failed:-}" ] && [ -z "${job_failed:-}" ]
else
  xvfb-run -a -s "-screen 0 1280x1024x24" tools/wine-session.sh "$WINEPREFIX" \
    tools/main-job-session.sh "$stage" "$name" "$mode" "$root/$build/installer/$msi_name" "$roam" "$client_kind"
fi
