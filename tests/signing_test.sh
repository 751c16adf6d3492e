#!/usr/bin/env bash
# The release's signing, with a throwaway self-signed code-signing certificate: the executable
# and the package verify against it, a changed byte fails the verification, and signing the same
# file twice gives the same bytes (the signing time is the commit's).
#   signing_test.sh EXE
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=VornicService test signing" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" \
    2>/dev/null || exit 1
export VORNIC_SIGN_CERT=$work/cert.pem VORNIC_SIGN_KEY=$work/key.pem
"$root/scripts/package-msi.sh" "$1" 1.0.0 "$work/package.msi" || exit 1
cp "$1" "$work/VornicService.exe"
verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1; }
failures=0
# A text that each file's signature covers: the DOS stub's, and a refusal's reason in the table
# of strings.
for file in VornicService.exe:"DOS mode" package.msi:"go together"; do
    signed=$work/${file%%:*}
    cp "$signed" "$signed.again"
    "$root/scripts/sign.sh" "$signed" || exit 1
    sleep 1 # a signing time taken from the clock would differ
    "$root/scripts/sign.sh" "$signed.again" || exit 1
    verifies "$signed" || { echo "FAIL: the signed ${file%%:*} does not verify"; failures=1; }
    cmp -s "$signed" "$signed.again" || { echo "FAIL: ${file%%:*} signed twice differs"; failures=1; }
    at=$(grep -obaF "${file#*:}" "$signed" | head -1 | cut -d: -f1)
    printf X | dd of="$signed" bs=1 seek="${at:?}" conv=notrunc 2>/dev/null
    ! verifies "$signed" || { echo "FAIL: ${file%%:*} with a changed byte verifies"; failures=1; }
done
exit $failures
