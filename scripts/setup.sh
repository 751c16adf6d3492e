#!/usr/bin/env bash
# Installs what the cross build, the Wine tests and the release need, from Debian's packages.
# Does nothing when everything is already there; must run as root on Debian 12.
set -euo pipefail

# g++-mingw-w64-i686 brings both the -posix compilers (the tests) and the -win32 ones (the
# product's runtime, see cmake/mingw.cmake). The x86-64 compilers serve hosts that cannot run
# 32-bit programs (see wine-env.sh). wixl and msitools build and read the Windows Installer
# package, osslsigncode and openssl sign it, spin checks the model of the stop protocol.
packages=(wine wine32 wine64 g++-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64-posix
    mingw-w64-x86-64-dev cmake xvfb xauth googletest zip wixl msitools osslsigncode openssl spin)

missing=()
for p in "${packages[@]}"; do
    [ "$p" = wine32 ] && p=wine32:i386
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror caught in a sync serves an index that does not match its release file, and apt
# then goes on without it: try again for a while.
for wait in 20 40 0; do
    log=$(apt-get update -q 2>&1) || true
    printf '%s\n' "$log"
    grep -q '^E:' <<<"$log" || break
    sleep "$wait"
done
# Without the i386 index of the security suite, an amd64 library there and its i386 twin from
# the release differ in version, and multiarch wants them equal: take the release's versions.
apt-get install -y -q --no-install-recommends "${missing[@]}" ||
    apt-get install -y -q --no-install-recommends -t bookworm "${missing[@]}"
