#!/bin/bash
# Checks the Authenticode signatures of what the packages carry:
#   check_signatures.sh PFX BUILD...
# For each build folder: the programs and the custom-action library in
# installer/files/ and every package in installer/ must carry a valid
# signature by the certificate PFX (its certificate, PFX with .pem for .pfx,
# is the CA file: a self-signed throwaway); a copy changed after signing,
# kept outside build/, must fail. Without a certificate (the build is not
# signed) the check is skipped (exit code 77).
set -uo pipefail
pfx="$1"; shift
if [ -z "$pfx" ]; then echo "skipped: the build is not signed (no TARSEL_SIGN_PFX)"; exit 77; fi
ca="${pfx%.pfx}.pem"
[ -f "$ca" ] || { echo "FAIL no certificate $ca beside $pfx"; exit 1; }
failures=0
checked=0
verify() { osslsigncode verify -CAfile "$ca" -in "$1" 2>&1; }
for build in "$@"; do
  files=("$build"/installer/files/PyxVideoServer.exe "$build"/installer/files/PyxUserInterface.exe
         "$build"/installer/files/tarsel_setup.dll "$build"/installer/*.msi)
  for f in "${files[@]}"; do
    out=$(verify "$f")
    if [ $? -eq 0 ] && grep -q "Signature verification: ok" <<<"$out" && grep -q "CN=Tarsel Test Signing" <<<"$out"; then
      echo "ok   signed: ${f#"$build"/} ($(basename "$build"), $(stat -c %s "$f") bytes)"
    else
      echo "FAIL not signed by the certificate: $f"; echo "$out" | tail -5; failures=$((failures + 1))
    fi
    checked=$((checked + 1))
  done
done
# One file's verification in full, for the record.
echo "--- osslsigncode verify of $1/installer/files/PyxVideoServer.exe:"
verify "$1/installer/files/PyxVideoServer.exe" | grep -E "Message digest algorithm|Signer's certificate|Subject:|Signature verification|Succeeded" | head -8

# A program changed by one byte after signing fails.
changed=$(mktemp -d /tmp/tarsel-changed.XXXXXX)
trap 'rm -rf "$changed"' EXIT
cp "$1/installer/files/PyxUserInterface.exe" "$changed/"
size=$(stat -c %s "$changed/PyxUserInterface.exe")
printf '\x5a' | dd of="$changed/PyxUserInterface.exe" bs=1 seek=$((size / 2)) conv=notrunc status=none
if verify "$changed/PyxUserInterface.exe" >/dev/null; then
  echo "FAIL a copy changed after signing still verifies"; failures=$((failures + 1))
else
  echo "ok   a copy changed after signing fails the check"
fi
[ "$failures" -eq 0 ] && echo "all $checked signatures valid" || { echo "$failures signature check(s) failed"; exit 1; }
