#!/bin/bash
# Checks the Authenticode signatures of what the packages carry:
#   check_signatures.sh PFX BUILD...
# For each build folder: the programs and the custom-action library in
# installer/files/ and every package in installer/ must carry a valid
# signature by the certificate PFX (its certificate, PFX with .pem for .pfx,
# is the CA file: a self-signed throwaway); a copy changed after signing,
# kept outside build/, must fail.
#   check_signatures.sh --env-password PFX PASSWORD_FILE SOURCE TOOLCHAIN SCRATCH
# Signs with the password (PASSWORD_FILE's, or TARSEL_SIGN_PASSWORD's) from
# the build's environment in a throwaway build folder SCRATCH of SOURCE left
# as older versions left it (the password in its cache and sign.pass): not
# without it, then with it; the signature must verify, and neither SCRATCH
# nor the temporary folder may keep the password.
# Without a certificate (the build is not signed) the check is skipped (77).
set -uo pipefail
mode=packages
if [ "${1:-}" == --env-password ]; then mode=env-password; shift; fi
pfx="$1"; shift
if [ -z "$pfx" ]; then echo "skipped: the build is not signed (no TARSEL_SIGN_PFX)"; exit 77; fi
ca="${pfx%.pfx}.pem"
[ -f "$ca" ] || { echo "FAIL no certificate $ca beside $pfx"; exit 1; }
failures=0
checked=0
verify() { osslsigncode verify -CAfile "$ca" -in "$1" 2>&1; }
signed_by_us() {
  local out
  out=$(verify "$1") && grep -q "Signature verification: ok" <<<"$out" && grep -q "CN=Tarsel Test Signing" <<<"$out" ||
    { echo "$out" | tail -5; return 1; }
}

if [ "$mode" == env-password ]; then
  passfile="$1" source="$2" toolchain="$3" scratch="$4"
  if [ -n "$passfile" ]; then password=$(cat "$passfile")
  elif [ -n "${TARSEL_SIGN_PASSWORD:-}" ]; then password="$TARSEL_SIGN_PASSWORD"
  else echo "skipped: no password to sign with (no TARSEL_SIGN_PASSWORD_FILE, no TARSEL_SIGN_PASSWORD)"; exit 77
  fi
  fail() { echo "FAIL $*"; [ -z "${2:-}" ] || tail -20 "$2"; exit 1; }
  dll=installer/files/tarsel_setup.dll
  tmp=$(mktemp -d /tmp/tarsel-signtmp.XXXXXX)
  trap 'rm -rf "$tmp"' EXIT
  mkdir -p "$scratch/installer" "$tmp/t"
  rm -f "$scratch/CMakeCache.txt" "$scratch/$dll"   # objects kept: quick from the second run on
  (umask 077; printf '%s' "$password" >"$scratch/installer/sign.pass")
  unset TARSEL_SIGN_PASSWORD TARSEL_SIGN_PASSWORD_FILE TARSEL_SIGN_TIMESTAMP_URL
  cmake -S "$source" -B "$scratch" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTARSEL_SIGN_PFX="$pfx" -DTARSEL_SIGN_PASSWORD="$password" >"$tmp/log" 2>&1 || fail "configure" "$tmp/log"
  cmake --build "$scratch" --target "$dll" -j2 >"$tmp/log" 2>&1 && fail "signed without TARSEL_SIGN_PASSWORD"
  grep -q "TARSEL_SIGN_PASSWORD is not set" "$tmp/log" || fail "build without the password" "$tmp/log"
  TMPDIR="$tmp/t" TARSEL_SIGN_PASSWORD="$password" cmake --build "$scratch" --target "$dll" -j2 >"$tmp/log" 2>&1 ||
    fail "build with TARSEL_SIGN_PASSWORD" "$tmp/log"
  signed_by_us "$scratch/$dll" || fail "not signed by the certificate: $scratch/$dll"
  echo "ok   signed with the password of the build's environment, not without it: $dll"
  [ -z "$(ls -A "$tmp/t")" ] || fail "the signing left a file in the temporary folder: $(ls -A "$tmp/t")"
  leaks=$(grep -rlaF -- "$password" "$scratch")
  [ -z "$leaks" ] || fail "the password is in the build folder: $(echo $leaks)"
  echo "ok   the password is in no file of $scratch ($(find "$scratch" -type f | wc -l) files)"
  exit 0
fi

for build in "$@"; do
  files=("$build"/installer/files/PyxVideoServer.exe "$build"/installer/files/PyxUserInterface.exe
         "$build"/installer/files/tarsel_setup.dll "$build"/installer/*.msi)
  for f in "${files[@]}"; do
    if signed_by_us "$f"; then
      echo "ok   signed: ${f#"$build"/} ($(basename "$build"), $(stat -c %s "$f") bytes)"
    else
      echo "FAIL not signed by the certificate: $f"; failures=$((failures + 1))
    fi
    checked=$((checked + 1))
  done
done
# One file's verification in full, for the record.
echo "--- osslsigncode verify of $1/installer/files/PyxVideoServer.exe:"
verify "$1/installer/files/PyxVideoServer.exe" | grep -E "Message digest algorithm|Signer's certificate|Subject:|Signature verification|Succeeded" | head -8

# A program changed by one byte after signing fails. The byte gets its
# complement, a value it cannot have had.
changed=$(mktemp -d /tmp/tarsel-changed.XXXXXX)
trap 'rm -rf "$changed"' EXIT
copy="$changed/PyxUserInterface.exe"
cp "$1/installer/files/PyxUserInterface.exe" "$copy"
middle=$(( $(stat -c %s "$copy") / 2 ))
byte=$(od -An -tu1 -j "$middle" -N1 "$copy" | tr -d ' ')
printf "\\x$(printf %02x $((255 - byte)))" | dd of="$copy" bs=1 seek="$middle" conv=notrunc status=none
cmp -s "$copy" "$1/installer/files/PyxUserInterface.exe" && { echo "FAIL the copy was not changed"; exit 1; }
if verify "$changed/PyxUserInterface.exe" >/dev/null; then
  echo "FAIL a copy changed after signing still verifies"; failures=$((failures + 1))
else
  echo "ok   a copy changed after signing fails the check"
fi
[ "$failures" -eq 0 ] && echo "all $checked signatures valid" || { echo "$failures signature check(s) failed"; exit 1; }
