#!/usr/bin/env bash
# The shipped executable: 32-bit (machine 0x14C), GUI subsystem (2), a 256 KiB default stack
# reserve, imports from Windows system DLLs only (user32 not among them: it is loaded when
# needed), and at most 160 KiB.
set -u
exe=$1
fail=0
headers=$(i686-w64-mingw32-objdump -p "$exe") || { echo "cannot read $exe"; exit 1; }

machine=$(od -An -tx2 -j $(( $(od -An -tu4 -j 60 -N4 "$exe") + 4 )) -N2 "$exe" | tr -d ' ')
subsystem=$(awk '/^Subsystem/ {print $2}' <<<"$headers")
stack=$(awk '/^SizeOfStackReserve/ {print $2}' <<<"$headers")
echo "machine 0x$machine, subsystem $subsystem, stack reserve 0x$stack"
[ "$machine" = 014c ] || { echo "FAIL: machine is not i386"; fail=1; }
[ "$subsystem" = 00000002 ] || { echo "FAIL: subsystem is not Windows GUI"; fail=1; }
[ "$stack" = 00040000 ] || { echo "FAIL: stack reserve is not 256 KiB"; fail=1; }

allowed='^(kernel32|advapi32|msvcrt)\.dll$'
dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers")
echo "imports:" $dlls
[ -n "$dlls" ] || { echo "FAIL: no import table found"; fail=1; }
for dll in $dlls; do
    grep -Eq "$allowed" <<<"$dll" || { echo "FAIL: imports from $dll"; fail=1; }
done
size=$(stat -c %s "$exe")
echo "size: $size bytes"
[ "$size" -le $(( 160 * 1024 )) ] || { echo "FAIL: larger than 160 KiB"; fail=1; }
exit $fail
