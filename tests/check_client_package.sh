#!/bin/bash
# The client's Debian package as a user installs it: it puts the add-in into
# FreeRDP's add-in folder, installs with apt, and xfreerdp loads it from
# there with /vc:tarsel (the connection itself goes nowhere).
#   check_client_package.sh tarsel-client_VERSION_ARCH.deb
set -euo pipefail
deb=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
dir="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/freerdp2"
dpkg-deb -c "$deb" | grep -c " \.$dir/libtarsel-client.so$" >/dev/null || { echo "the package has no $dir/libtarsel-client.so"; exit 1; }
apt-get install -y -qq --reinstall "$deb" >/dev/null 2>&1 || { echo "apt could not install $deb"; exit 1; }
log=$(mktemp)
timeout 30 xvfb-run -a xfreerdp /vc:tarsel,log:"$log" /v:127.0.0.1:1 /cert:ignore >/dev/null 2>&1 || true
if grep -q '^client: loaded, RDP layout' "$log"; then
  echo "== $(basename "$deb"): installed into $dir, loaded by xfreerdp /vc:tarsel"
  rm -f "$log"
else
  echo "== xfreerdp did not load the add-in (its log: $(cat "$log"))"; rm -f "$log"; exit 1
fi
