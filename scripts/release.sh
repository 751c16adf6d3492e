#!/usr/bin/env bash
# Builds the release of the 32-bit product and writes dist/VornicService-<version>-win32.zip:
# the executable, a readme for Windows and SHA256SUMS. The executable is built a second time
# from a copy of the sources in another folder, and both builds must give the same bytes.
# Sets up first; safe to run again.
set -euo pipefail
"$(dirname "$0")/setup.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/release
log=$work/build.log
mkdir -p "$work"
: >"$log"

build() { # source folder, build folder
    cmake -S "$1" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw.cmake" -DMINGW_ARCH=i686 \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >>"$log" 2>&1 &&
        cmake --build "$2" --target VornicService -j"$(nproc)" >>"$log" 2>&1 ||
        { cat "$log"; exit 1; }
}

build "$root" "$work/product"
exe=$work/product/VornicService.exe
"$root/tests/check_executable.sh" "$exe" >>"$log" || { cat "$log"; exit 1; }

# The second build: other source and build folders, nothing carried over from the first.
copy=$work/elsewhere
rm -rf "$copy"
mkdir -p "$copy/sources"
tar -C "$root" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$copy/sources" -xf -
build "$copy/sources" "$copy/product"
sum=$(sha256sum "$exe" | cut -d' ' -f1)
again=$(sha256sum "$copy/product/VornicService.exe" | cut -d' ' -f1)
echo "SHA-256 of the build in $work/product:   $sum"
echo "SHA-256 of the build in $copy/product: $again"
if [ "$sum" != "$again" ]; then
    echo "FAIL: two builds of the same sources differ"
    exit 1
fi

# The readme for Windows: the README without its sections for this machine and for building,
# with CRLF line ends.
stage=$work/stage
rm -rf "$stage"
mkdir -p "$stage"
cp "$exe" "$stage/"
awk '/^## / {skip = /^## (On this machine|Building)/} !skip' "$root/README.md" |
    sed 's/$/\r/' >"$stage/README.txt"
(cd "$stage" && sha256sum VornicService.exe README.txt >SHA256SUMS)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$work/product/CMakeCache.txt")
zip=$root/dist/VornicService-$version-win32.zip
mkdir -p "$root/dist"
rm -f "$zip"
(cd "$stage" && zip -q -X "$zip" VornicService.exe README.txt SHA256SUMS)
echo "release: $zip"
echo "executable: $(stat -c %s "$exe") bytes, SHA-256 $sum"
