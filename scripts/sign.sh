#!/usr/bin/env bash
# scripts/sign.sh FILE...: signs each executable or Windows Installer package in place with
# Authenticode (SHA-256), with the PEM certificate and chain in VORNIC_SIGN_CERT and the private
# key in VORNIC_SIGN_KEY. With VORNIC_SIGN_TIMESTAMP, the RFC 3161 time-stamp server at that
# address vouches for the time; without it, the signing time is SOURCE_DATE_EPOCH (the commit's
# time, else git's), so that signing the same file twice gives the same bytes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${VORNIC_SIGN_TIMESTAMP:-}" ]; then
    when=(-ts "$VORNIC_SIGN_TIMESTAMP")
else
    when=(-time "${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}")
fi
for file in "$@"; do
    osslsigncode sign -certs "$VORNIC_SIGN_CERT" -key "$VORNIC_SIGN_KEY" -h sha256 \
        -n VornicService "${when[@]}" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
done
