#!/bin/bash
# Installs the Debian packages the builds and tests need, if any is missing,
# with one apt-get update (tried once more if the mirror fails it). Wine's 32-bit half (wine32:i386, for the 32-bit
# shipping build's test runs) comes with them; the i386 architecture is
# added for it first. Where it cannot be installed, or where the kernel does
# not run 32-bit programs (then the `wine` launcher would pick that half and
# every Wine run would fail: it is removed again), the 32-bit runs are
# skipped (tools/test.sh says so) and everything else still runs.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64
          wine wine64 xvfb xauth x11-apps imagemagick doctest-dev python3 valgrind file
          wixl msitools osslsigncode openssl
          pkg-config freerdp2-dev freerdp2-x11 libmpv-dev libx11-dev ffmpeg
          xrdp tigervnc-standalone-server)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
here=$(cd "$(dirname "$0")" && pwd)
want32=0
if ! "$here/runs-32bit.sh"; then
  if installed wine32:i386; then
    echo "== this kernel does not run 32-bit programs: removing wine32:i386, which would break every Wine run"
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq wine32:i386 >/dev/null
  fi
elif ! installed wine32:i386; then
  want32=1
fi
# A failed try at wine32:i386 is not repeated for six hours (each costs an
# apt-get update, and the mirror's i386 index may stay broken a while).
stamp=/var/tmp/tarsel-wine32-unavailable
if [ $want32 -eq 1 ] && [ -n "$(find "$stamp" -mmin -360 2>/dev/null)" ]; then
  want32=0
fi
if [ ${#missing[@]} -gt 0 ] || [ $want32 -eq 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  if [ $want32 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 || true
  fi
  # The mirror can be briefly inconsistent (an index that fails its check
  # while it syncs): try once more after a pause, then go on with the lists
  # we have; only a package that cannot be installed stops the command.
  if ! apt-get update -qq; then
    echo "== apt-get update failed; trying again in 15 s"
    sleep 15
    apt-get update -qq || echo "== apt-get update failed again: going on with the package lists there are"
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  if [ $want32 -eq 1 ]; then
    echo "== installing: wine32:i386 (runs the 32-bit shipping build)"
    if apt-get install -y -qq wine32:i386 >/dev/null 2>&1; then
      rm -f "$stamp"
    else
      touch "$stamp"
      echo "== wine32:i386 could not be installed: the 32-bit test runs will be skipped"
    fi
  fi
fi
