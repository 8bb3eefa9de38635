#!/bin/bash
# The client's add-in with the real programs, as a user runs them: the
# session part of the main job with the FreeRDP add-in of the client build
# (in the channel host, through vcrelay) as the client player, playing a
# generated 720p clip with libmpv to its end.
#   client_addin_session.sh CLIENT_BUILD WIN_BUILD SOURCE_DIR
set -uo pipefail
client="$1"; build="$2"; source="$3"
export TARSEL_VC_HOST="$client/loopback/host/tarsel_vc_host"
export TARSEL_ADDIN="$client/client/libtarsel-client.so"
for f in "$TARSEL_VC_HOST" "$TARSEL_ADDIN"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "missing $f: build the client first (cmake --build --preset client)"; exit 1; }
done
stage="$build/client-addin"
rm -rf "$stage"; mkdir -p "$stage"
cp "$build/bin/PyxVideoServer.exe" "$build/bin/PyxUserInterface.exe" "$build/loopback/Wtsapi32.dll" \
   "$build/loopback/wfapi.dll" "$build/loopback/vcrelay.exe" "$build/devtools/tracecap.exe" \
   "$build/devtools/traymenu.exe" "$build/devtools/playerctl.exe" "$stage/" || exit 1
clip="$build/clips/clip-720p-10s.mp4"
"$source/tools/make-clip.sh" "$clip" 1280x720 10 || exit 1
timeout 150 "$source/tools/main-job-session.sh" "$stage" "$clip" staged "" 0 addin
