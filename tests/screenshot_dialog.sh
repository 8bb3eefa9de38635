#!/bin/sh
# Photographs a dialog under the X server of the test run. SHOW_EXE shows
# it and prints "shown X Y W H" with its window rectangle once it is up.
# Usage: screenshot_dialog.sh SHOW_EXE OUTPUT_FOLDER NAME
# Writes NAME_screen.png (the whole screen) and NAME.png (the dialog alone)
# into OUTPUT_FOLDER.
set -eu
exe="$1"; out="$2"; name="$3"
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
log="$out/$name.log"
# The last run's log goes first: the program's redirection truncates it only
# once the program starts, and its old "shown" line must not be read.
rm -f "$out/${name}_screen.png" "$out/$name.png" "$log"
# Without a window manager on the test display, let Wine draw the caption and
# frame itself (for this program only).
WINEPREFIX="${WINEPREFIX:-$(dirname "$(dirname "$exe")")/wineprefix}" WINEDEBUG=-all \
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$(basename "$exe")\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1 || true
"$here/../tools/wine-run.sh" "$exe" 5000 >"$log" 2>&1 &
pid=$!
i=0
while ! grep -qs '^shown' "$log"; do
  i=$((i + 1))
  if [ $i -gt 300 ] || ! kill -0 $pid 2>/dev/null; then
    echo "the dialog did not come up:"; cat "$log" 2>/dev/null; kill $pid 2>/dev/null || true; exit 1
  fi
  sleep 0.1
done
sleep 0.5
import -window root "$out/${name}_screen.png"
set -- $(grep '^shown' "$log" | tr -d '\r')
convert "$out/${name}_screen.png" -crop "${4}x${5}+${2}+${3}" +repage "$out/$name.png"
wait $pid
colours=$(identify -format %k "$out/$name.png")
echo "dialog ${4}x${5} at ${2},${3}, $colours colours: $out/$name.png"
[ "$colours" -gt 8 ]
