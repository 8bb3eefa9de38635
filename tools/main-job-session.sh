#!/bin/bash
# The session part of the main job, inside one Wine session under Xvfb:
#   main-job-session.sh STAGE NAME SOURCE
# NAME is what the client asks the server to open (a path or a URL); SOURCE
# the local copy it checks the bytes against.
set -uo pipefail
stage="$1"; name="$2"; source="$3"
export WINEDLLOVERRIDES="wtsapi32=n,b;wfapi=n,b;mscoree,mshtml="
winpath() { case "$1" in *://*) echo "$1" ;; *) winepath -w "$1" 2>/dev/null ;; esac; }

# What an installation writes per user, and the service that makes Wine's
# console an ICA session for the program.
key='HKCU\Software\Mervalt\Tarsel\InstallationPath'
dir=$(winpath "$stage/")
wine reg add "$key" /v Path /d "$dir" /f >/dev/null 2>&1
wine reg add "$key" /v ServerApplication /d PyxVideoServer.exe /f >/dev/null 2>&1
wine reg add "$key" /v GuiApplication /d PyxUserInterface.exe /f >/dev/null 2>&1
wine reg add "$key" /v GuiCommandLine /d ' "%1"' /f >/dev/null 2>&1
wine sc create HalvernService binpath= 'C:\windows\system32\svchost.exe' >/dev/null 2>&1 || true

cd "$stage"
echo "== client: $name"
wine ./pyxclient.exe --protocol ica --file "$(winpath "$name")" --source "$(winpath "$source")" \
     --request-size 65536 --read-cap 0 --rate 0 --chunking 1 --policy 0 --timeout-ms 20000 \
     > client.txt 2>&1 &
client=$!
sleep 1
wine ./tracecap.exe --out trace.txt ./PyxVideoServer.exe > tracecap.txt 2>&1 &
server=$!

wait $client
client_rc=$?
cat client.txt
echo "== ending the server through its tray menu"
wine ./traymenu.exe exit --timeout-ms 15000
tray_rc=$?
wait $server
server_rc=$?
echo "== server trace (build/win64/mainjob/trace.txt, $(wc -l < trace.txt) lines; first and last lines)"
head -n 25 trace.txt
echo "   ..."
tail -n 15 trace.txt
wine sc delete HalvernService >/dev/null 2>&1 || true
echo "== client exit $client_rc, tray exit $tray_rc, server exit $server_rc"
[ $client_rc -eq 0 ] && [ $tray_rc -eq 0 ] && [ $server_rc -eq 0 ]
