#!/usr/bin/env bash
# Installs what the cross build, the Wine tests and the release need, from Debian's packages.
# Does nothing when everything is already there; must run as root on Debian 12.
set -euo pipefail

# g++-mingw-w64-i686 brings both the -posix compilers (the tests) and the -win32 ones (the
# product's runtime, see cmake/mingw.cmake). The x86-64 compilers serve hosts that cannot run
# 32-bit programs (see wine-env.sh).
packages=(wine wine32 wine64 g++-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64-posix
    mingw-w64-x86-64-dev cmake xvfb xauth googletest zip)

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
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
