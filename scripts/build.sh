#!/usr/bin/env bash
# Builds the 32-bit product in build/i686, and the tree that runs under this host's Wine
# (the same one, or build/x86_64 where 32-bit programs cannot run). Safe to run again.
set -euo pipefail
"$(dirname "$0")/setup.sh"
source "$(dirname "$0")/wine-env.sh"

configure() { # build dir, arch, extra options
    local dir=$1 arch=$2
    shift 2
    cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw.cmake" \
        -DMINGW_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
}

if [ "$RUN_ARCH" = i686 ]; then
    configure "$PRODUCT_BUILD" i686 -DBUILD_TESTING=ON
else
    configure "$PRODUCT_BUILD" i686 -DBUILD_TESTING=OFF
    configure "$RUN_BUILD" x86_64 -DBUILD_TESTING=ON -DPRODUCT_EXE="$PRODUCT_BUILD/VornicService.exe"
    cmake --build "$PRODUCT_BUILD" -j"$(nproc)"
fi
cmake --build "$RUN_BUILD" -j"$(nproc)"
echo "build: $PRODUCT_BUILD/VornicService.exe ($(stat -c %s "$PRODUCT_BUILD/VornicService.exe") bytes)"
