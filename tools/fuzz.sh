#!/bin/bash
# Builds the libFuzzer target of the data-channel request processing with
# clang (fuzzer, ASan, UBSan), seeds a corpus with one valid request of each
# kind and runs it. Not part of the test build.
#   tools/fuzz.sh [runs]      default 1000000 inputs; extra libFuzzer flags
#                             may follow the count.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-1000000}"
[ $# -gt 0 ] && shift
out=build/fuzz
mkdir -p "$out/corpus"

clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -Wall -Wextra -Werror -Icommon -Iserver \
  fuzz/fuzz_file_rpc.cpp \
  server/file_rpc_process.cpp server/local_file.cpp server/stream_table.cpp server/notification.cpp \
  common/protocol.cpp common/checksum.cpp common/trace.cpp common/trace_posix.cpp \
  -o "$out/fuzz_file_rpc"

le32() { printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)))"; }
le16() { printf "$(printf '\\%03o\\%03o' $(($1 & 255)) $((($1 >> 8) & 255)))"; }
# One record: code, then payload words; header with PSN 1 and channel 0.
record() {
  local code=$1; shift
  local size=$((4 * $#))
  le16 $((32 + size)); printf '%s' "$code"; le32 $size; le32 1; le32 0; le32 0; le32 0; le32 0; le32 0
  for w in "$@"; do le32 "$w"; done
}
# Settings: cap 64 KB, target 100 KB/s, throughput 50, clock step 1.
settings() { printf '\020\144\062\020'; }

fd=$((0x7FFFFFF0))   # stands for the fuzzed file's descriptor
{ settings; record READ $fd 4096 0; } >"$out/corpus/read"
{ settings; record READ $fd 200000 -1; } >"$out/corpus/read_long"
{ settings; record SEEK $fd -100 2; } >"$out/corpus/seek"
{ settings; record FDOP $fd 25202; } >"$out/corpus/fdop"
{ settings; record FDOP $fd 25202; record FRED 1 8 10; } >"$out/corpus/fred"
{ settings; record FDOP $fd 25202; record FSEK 1 100 0; } >"$out/corpus/fsek"
{ settings; record FDOP $fd 25202; record FTEL 1; } >"$out/corpus/ftel"

# Target output (trace lines) is closed; libFuzzer's own report stays.
exec "$out/fuzz_file_rpc" -runs="$runs" -close_fd_mask=2 -max_len=8192 "$@" "$out/corpus"
