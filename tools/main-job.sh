#!/bin/bash
# The main job: builds everything and tells what was built and where.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
for preset in native win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
echo "Built:"
for dir in build/win32 build/win64; do
  find "$dir" -maxdepth 3 \( -name '*.exe' -o -name '*.dll' \) -not -path '*/CMakeFiles/*' -not -path '*/wineprefix/*' | sort | while read -r f; do
    printf '  %-60s %s\n' "$f" "$(file -b "$f" | cut -d, -f1)"
  done
done
