#!/usr/bin/env bash
# Builds the release of the 32-bit product into dist/: VornicService-<version>-win32.zip (the
# executable, a readme for Windows, the license and their SHA256SUMS), the Windows Installer
# package VornicService-<version>-x86.msi, and SHA256SUMS of both. The executable and the package
# are built a second time from a copy of the sources in another folder, and both builds must give
# the same bytes. With VORNIC_SIGN_CERT and VORNIC_SIGN_KEY set, the executable is signed before
# it is packed, and then the package (see scripts/sign.sh). Sets up first; safe to run again.
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
same() { # what, first file, second file
    local first second
    first=$(sha256sum "$2" | cut -d' ' -f1)
    second=$(sha256sum "$3" | cut -d' ' -f1)
    echo "SHA-256 of the $1 in $(dirname "$2"): $first"
    echo "SHA-256 of the $1 in $(dirname "$3"): $second"
    [ "$first" = "$second" ] || { echo "FAIL: two builds of the same sources differ"; exit 1; }
}
same executable "$exe" "$copy/product/VornicService.exe"

# The package, from each build with its own copy of the scripts. The copy has no git history:
# the commit's id and time come from here.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$work/product/CMakeCache.txt")
VORNIC_COMMIT=$(git -C "$root" rev-parse HEAD)
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
export VORNIC_COMMIT SOURCE_DATE_EPOCH
"$root/scripts/package-msi.sh" "$exe" "$version" "$work/product/package.msi" >>"$log" 2>&1 ||
    { cat "$log"; exit 1; }
"$copy/sources/scripts/package-msi.sh" "$copy/product/VornicService.exe" "$version" \
    "$copy/product/package.msi" >>"$log" 2>&1 || { cat "$log"; exit 1; }
same package "$work/product/package.msi" "$copy/product/package.msi"

signing=${VORNIC_SIGN_CERT:+${VORNIC_SIGN_KEY:+yes}}
stage=$work/stage
rm -rf "$stage"
mkdir -p "$stage" "$root/dist"
cp "$exe" "$stage/"
[ -z "$signing" ] || "$root/scripts/sign.sh" "$stage/VornicService.exe"
"$root/scripts/windows-texts.sh" "$stage"
(cd "$stage" && sha256sum VornicService.exe README.txt LICENSE.txt >SHA256SUMS)
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/* # the zip records each file's time

zip=VornicService-$version-win32.zip
msi=VornicService-$version-x86.msi
rm -f "$root/dist/$zip"
(cd "$stage" && TZ=UTC zip -q -X "$root/dist/$zip" VornicService.exe README.txt LICENSE.txt SHA256SUMS)
"$root/scripts/package-msi.sh" "$stage/VornicService.exe" "$version" "$root/dist/$msi"
[ -z "$signing" ] || "$root/scripts/sign.sh" "$root/dist/$msi"
(cd "$root/dist" && sha256sum "$zip" "$msi" >SHA256SUMS)
echo "release: $root/dist/$zip, $root/dist/$msi ($(stat -c %s "$root/dist/$msi") bytes)${signing:+, signed}"
echo "executable: $(stat -c %s "$stage/VornicService.exe") bytes, SHA-256 $(sha256sum "$stage/VornicService.exe" | cut -d' ' -f1)"
