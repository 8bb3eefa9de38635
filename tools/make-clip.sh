#!/bin/bash
# A test clip, made once and kept: tools/make-clip.sh OUT.mp4 WxH SECONDS
# H.264 (a moving test picture, 30 frames per second, a key frame each
# second, as streaming encoders make them) and AAC (a tone).
set -euo pipefail
out="$1"; size="$2"; seconds="$3"
[ -s "$out" ] && exit 0
mkdir -p "$(dirname "$out")"
ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=30" -f lavfi -i "sine=frequency=440" -t "$seconds" \
  -c:v libx264 -preset veryfast -g 30 -pix_fmt yuv420p -c:a aac -b:a 128k -movflags +faststart "$out.part.mp4"
mv "$out.part.mp4" "$out"
