#!/bin/bash
# Installs the Debian packages the builds and tests need, if any is missing.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64
          wine wine64 xvfb xauth x11-apps imagemagick doctest-dev python3 valgrind file
          wixl msitools)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
