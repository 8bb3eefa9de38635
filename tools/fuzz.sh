#!/bin/bash
# Builds a libFuzzer target with clang (fuzzer, ASan, UBSan), seeds a corpus
# and runs it from that corpus. Not part of the test build.
#   tools/fuzz.sh [--target file_rpc|client_core] [runs] [libFuzzer flags...]
# file_rpc (the default): the data-channel request processing, seeded with
# one valid request of each kind. client_core: the client core fed the
# server's bytes on any channel in any pieces, seeded with whole sessions
# (the target writes its own seeds). Default 1000000 inputs.
# Prints libFuzzer's final statistics; the whole log is build/fuzz/fuzz.log.
# A crash leaves its input in build/fuzz/ (crash-*) and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
target=file_rpc
if [ "${1:-}" = "--target" ]; then
  target="${2:?--target needs file_rpc or client_core}"
  shift 2
fi
runs="${1:-1000000}"
[ $# -gt 0 ] && shift
out=build/fuzz
mkdir -p "$out"
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Wall -Wextra -Werror)

# Seeds afresh each time; what libFuzzer finds goes to a corpus folder of its
# own, also started afresh, so that each run's figures start from the same
# place.
rm -rf "$out/seeds" "$out/corpus"
mkdir -p "$out/seeds" "$out/corpus"

run() {
  local bin=$1 maxlen=$2
  shift 2
  echo "== $bin -runs=$runs -max_len=$maxlen -print_final_stats=1 -artifact_prefix=$out/ $* $out/corpus $out/seeds"
  rc=0
  "$bin" -runs="$runs" -max_len="$maxlen" -print_final_stats=1 -artifact_prefix="$out/" "$@" "$out/corpus" "$out/seeds" \
    >"$out/fuzz.log" 2>&1 || rc=$?
  grep -E '^INFO: Seed:|INITED|DONE|^Done |^stat::|ERROR|SUMMARY|^==[0-9]+==|crash-|past the received|fuzz_client_core:' "$out/fuzz.log" || true
  [ $rc -eq 0 ] || { echo "== fuzzer failed (exit $rc); see $out/fuzz.log"; tail -40 "$out/fuzz.log"; }
  exit $rc
}

case "$target" in
client_core)
  clang++ "${flags[@]}" -Icommon -Iclient -Ifuzz \
    fuzz/fuzz_client_core.cpp fuzz/seeds_client_core.cpp client/*.cpp \
    common/protocol.cpp common/player_msg.cpp common/player_check.cpp common/chunk_join.cpp common/utf8.cpp \
    common/channel_io.cpp \
    -o "$out/fuzz_client_core"
  TARSEL_FUZZ_WRITE_SEEDS="$out/seeds" "$out/fuzz_client_core" -runs=0 "$out/seeds" >/dev/null 2>&1
  run "$out/fuzz_client_core" 16384 "$@"
  ;;
file_rpc) ;;
*) echo "unknown target $target (file_rpc or client_core)" >&2; exit 2 ;;
esac

clang++ "${flags[@]}" -Icommon -Iserver \
  fuzz/fuzz_file_rpc.cpp \
  server/file_rpc_process.cpp server/local_file.cpp server/local_file_posix.cpp server/local_name.cpp server/stream_table.cpp \
  server/notification.cpp server/notification_posix.cpp \
  common/protocol.cpp common/checksum.cpp common/trace.cpp common/last_error_posix.cpp common/utf8.cpp \
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
s="$out/seeds"
{ settings; record READ $fd 4096 -1; } >"$s/read"
{ settings; record READ $fd 4096 150000; } >"$s/read_position"
{ settings; record READ $fd 200000 -1; } >"$s/read_long"
{ settings; record SEEK $fd -100 2; } >"$s/seek"
{ settings; record FDOP $fd 25202; } >"$s/fdop"
{ settings; record FDOP $fd 25202; record FRED 1 8 10; } >"$s/fred"
{ settings; record FDOP $fd 25202; record FSEK 1 100 0; } >"$s/fsek"
{ settings; record FDOP $fd 25202; record FTEL 1; } >"$s/ftel"

run "$out/fuzz_file_rpc" 8192 "$@"
