#!/bin/bash
# Signs with the PFX password the build finds in its environment, so that
# the password lands neither in the build's cache nor in a file of the build
# folder:   TARSEL_SIGN_PASSWORD=... sign-env-password.sh OSSLSIGNCODE ARGS...
# osslsigncode gets it by -readpass (an argument would show in the process
# list) from a file in the temporary folder that only its owner can read
# from its creation on, removed when the command ends.
set -euo pipefail
if [ -z "${TARSEL_SIGN_PASSWORD+set}" ]; then
  echo "sign-env-password.sh: TARSEL_SIGN_PASSWORD is not set. The build signs with TARSEL_SIGN_PFX and" \
       "takes the password from the environment when it runs (or from the file TARSEL_SIGN_PASSWORD_FILE" \
       "named at configure time)." >&2
  exit 1
fi
umask 077
pass=$(mktemp "${TMPDIR:-/tmp}/tarsel-sign.XXXXXX")
trap 'rm -f "$pass"' EXIT
trap 'exit 130' INT TERM HUP
printf '%s' "$TARSEL_SIGN_PASSWORD" >"$pass"
"$@" -readpass "$pass"
