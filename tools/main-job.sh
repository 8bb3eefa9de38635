#!/bin/bash
# The main job: builds the programs, then runs the server side end to end
# under Wine with Xvfb: the real PyxVideoServer.exe serves a media file to
# the client emulator over the loopback platform, every byte checked, and is
# ended through its tray menu's "Exit". Prints the client's summary and the
# server's trace.
#
#   tools/main-job.sh [FILE | URL]
#
# Without an argument it serves a generated sample (a WAV file). A URL is
# served by the server's Internet source; the emulator downloads it once
# itself to have something to check the bytes against.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
input="${1:-}"

tools/install-deps.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
echo "== built: build/win32/bin/PyxVideoServer.exe (shipping, $(file -b build/win32/bin/PyxVideoServer.exe | cut -d, -f1))"
echo "==        build/win64/bin/PyxVideoServer.exe (run here)"

# A staging folder: the program with the loopback channel libraries beside
# it. The shipping folder (bin/) never holds them.
stage="$root/build/win64/mainjob"
rm -rf "$stage"
mkdir -p "$stage"
cp build/win64/bin/PyxVideoServer.exe build/win64/loopback/Wtsapi32.dll build/win64/loopback/wfapi.dll \
   build/win64/loopback/pyxclient.exe build/win64/devtools/tracecap.exe build/win64/devtools/traymenu.exe "$stage/"

source_file=""
if [ -z "$input" ]; then
  python3 tools/make_sample.py "$stage/sample.wav" 96
  source_file="$stage/sample.wav"
  name="$source_file"
elif [[ "$input" == *"://"* ]]; then
  source_file="$stage/download.bin"
  python3 -c 'import sys, urllib.request; urllib.request.urlretrieve(sys.argv[1], sys.argv[2])' "$input" "$source_file"
  name="$input"
else
  source_file=$(cd "$(dirname "$input")" && pwd)/$(basename "$input")
  name="$source_file"
fi

export WINEPREFIX="$root/build/win64/wineprefix"
export WINEDEBUG=-all
xvfb-run -a -s "-screen 0 1280x1024x24" tools/wine-session.sh "$WINEPREFIX" \
  tools/main-job-session.sh "$stage" "$name" "$source_file"
