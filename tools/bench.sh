#!/bin/bash
# Benchmarks (programs that print figures), run from the win64 build under
# Wine: tools/bench.sh [MiB per row, channel alone] [MiB per row, file object]
#   [MiB per file, whole session]
#
# tools/bench.sh --compare COMMIT [ROUNDS] [MiB per file] [MiB, file object]
#   this build beside the build of COMMIT (made in a temporary work tree
#   under /tmp and removed after; BENCH_KEEP=1 keeps it for the next run, and
#   each round's output):
#   the session benchmark and the file object's, in alternating rounds
#   (default 3, 16 MiB per file, 32 MiB for the file object) in one Wine
#   session, and the median of each figure side by side.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${1:-}" != "--compare" ]; then
  cmake --build --preset win64 >/dev/null
  cd build/win64/tests
  xvfb-run -a "$root/tools/wine-session.sh" "$root/build/win64/wineprefix" \
    sh -c "'$root/tools/wine-run.sh' ./bench_loopback.exe '${1:-64}' && '$root/tools/wine-run.sh' ./bench_file_object.exe '${2:-256}' && '$root/tools/wine-run.sh' ./bench_session.exe '${3:-32}'"
  exit
fi

ref=$(git rev-parse --short "${2:?--compare needs a commit}")
rounds="${3:-3}"
session_mib="${4:-16}"
object_mib="${5:-32}"
targets=(bench_session bench_file_object)

cmake --build --preset win64 -j2 --target "${targets[@]}" >/dev/null
tree="/tmp/tarsel-bench-$ref"
out=$(mktemp -d /tmp/tarsel-compare.XXXXXX)
cleanup() {
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "each round's output: $out"; else rm -rf "$out"; fi
  if [ "${BENCH_KEEP:-0}" != 1 ] && [ -d "$tree" ]; then
    git worktree remove --force "$tree" >/dev/null 2>&1 || rm -rf "$tree"
    git worktree prune
  fi
}
trap cleanup EXIT
if [ ! -d "$tree" ]; then
  git worktree add --detach "$tree" "$ref" >/dev/null 2>&1
fi
echo "building $ref in $tree ..."
(cd "$tree" && cmake --preset win64 -DTARSEL_SIGN_PFX= >/dev/null && cmake --build --preset win64 -j2 --target "${targets[@]}" >/dev/null)

# Both builds run in this build's prefix, each with its own loopback
# libraries beside its programs; which one goes first alternates.
cat >"$out/rounds.sh" <<EOF
#!/bin/sh
run() {  # build-dir label round
  cd "\$1/tests"
  '$root/tools/wine-run.sh' ./bench_session.exe $session_mib >"$out/\$2.session.\$3" 2>&1 || true
  '$root/tools/wine-run.sh' ./bench_file_object.exe $object_mib >"$out/\$2.object.\$3" 2>&1 || true
}
r=1
while [ \$r -le $rounds ]; do
  echo "round \$r of $rounds" >&2
  if [ \$((r % 2)) -eq 1 ]; then
    run '$tree/build/win64' ref \$r; run '$root/build/win64' this \$r
  else
    run '$root/build/win64' this \$r; run '$tree/build/win64' ref \$r
  fi
  r=\$((r + 1))
done
EOF
chmod +x "$out/rounds.sh"
xvfb-run -a -s "-screen 0 1280x1024x24" "$root/tools/wine-session.sh" "$root/build/win64/wineprefix" "$out/rounds.sh"

python3 - "$out" "$ref" "$rounds" "$session_mib" "$object_mib" <<'EOF'
import glob, re, statistics, sys
out, ref, rounds, smib, omib = sys.argv[1:]
num = r"(-?[0-9.]+)"

def rows(kind, label, pattern):
    """{row key: [[figures of round 1], ...]} of every round's output."""
    table = {}
    for path in sorted(glob.glob(f"{out}/{label}.{kind}.*")):
        for line in open(path, errors="replace"):
            m = re.match(pattern, line)
            if m:
                key, figures = m.group(1), [float(x) for x in m.groups()[1:]]
                if "FAILED" in line:
                    figures = [float("nan")] * len(figures)
                table.setdefault(key, []).append(figures)
    return table

def medians(samples):
    return [statistics.median(column) for column in zip(*samples)]

session = r"^((?:RDP|ICA)\s+\d+\s+\d+ KiB)\s+" + num + r"\s+" + num + r"\s+" + num + r"%\s+" + num + r" ms\s+" + num + " ms"
obj = r"^((?:on|off)\s+\d+ KiB)\s+" + num + r"\s+" + num + r"\s+" + num + "%"
print(f"medians of {rounds} alternating rounds: {ref} beside this build")
print(f"\nwhole session, {smib} MiB per file (MB/s; first byte in ms)")
print(f"{'row':<18} {'channel':>8} | {'session':>8} {'ratio':>6} {'fb avg':>7} {'fb max':>7} | "
      f"{'session':>8} {'ratio':>6} {'fb avg':>7} {'fb max':>7}")
print(f"{'':<18} {'alone':>8} | {ref:^31} | {'this build':^31}")
a, b = rows("session", "ref", session), rows("session", "this", session)
for key in sorted(set(a) | set(b), key=lambda k: (k[:3] != "RDP", int(k.split()[1]), int(k.split()[2]))):
    ma = medians(a.get(key, [[float("nan")] * 5]))
    mb = medians(b.get(key, [[float("nan")] * 5]))
    channel = statistics.median([x[1] for x in a.get(key, []) + b.get(key, [])] or [float("nan")])
    k = " ".join(key.split())
    print(f"{k:<18} {channel:8.1f} | {ma[0]:8.1f} {ma[2]:5.0f}% {ma[3]:7.1f} {ma[4]:7.1f} | "
          f"{mb[0]:8.1f} {mb[2]:5.0f}% {mb[3]:7.1f} {mb[4]:7.1f}")
print(f"\none RDP file object, {omib} MiB, one READ at a time (MB/s)")
print(f"{'chunking, read':<18} {'channel':>8} | {'server':>8} {'ratio':>6} | {'server':>8} {'ratio':>6}")
print(f"{'':<18} {'alone':>8} | {ref:^15} | {'this build':^15}")
a, b = rows("object", "ref", obj), rows("object", "this", obj)
for key in sorted(set(a) | set(b), reverse=True):
    ma = medians(a.get(key, [[float("nan")] * 3]))
    mb = medians(b.get(key, [[float("nan")] * 3]))
    channel = statistics.median([x[1] for x in a.get(key, []) + b.get(key, [])] or [float("nan")])
    k = " ".join(key.split())
    print(f"{k:<18} {channel:8.1f} | {ma[0]:8.1f} {ma[2]:5.0f}% | {mb[0]:8.1f} {mb[2]:5.0f}%")
EOF
