#!/usr/bin/env bash
# The Windows Installer package under Wine's own msiexec, built around the executable under test
# (MSI_ARCH=x64 for the x86-64 build), taken through what an administrator does with it.
#   package_test.sh EXE HEARTBEAT VERSION
# Wine hands over only the low 8 bits of msiexec's exit code (1603 arrives as 67).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$1 version=$3
work=$(mktemp -d /tmp/vornic-msi.XXXXXX)
win() { echo "Z:${1//\//\\}"; }
wine() { "$WINELOADER" "$@" 2>/dev/null | tr -d '\r'; }
folder="$WINEPREFIX/drive_c/Program Files/VornicService" name="Vornic Package Test"
service="HKLM\\System\\CurrentControlSet\\Services\\$name"
launch="$(win "$2") $(win "$work/heartbeat.log")"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { "${@:2}" || fail "$1"; } # what, then a command that must succeed
msi() { # the exit code expected, msiexec's arguments
    "$WINELOADER" msiexec /qn "${@:2}" >/dev/null 2>&1
    local code=$?
    [ $code = $(($1 & 255)) ] || fail "msiexec ${*:2} ended with $code, not $1"
}
gone() { ! "$WINELOADER" reg query "$1" >/dev/null 2>&1; }
entry() { wine reg query "$service"; }
holds() { grep -qxF -- "$2" <<<"$1"; }
nothing_installed() { [ ! -e "$folder" ] && gone 'HKLM\SOFTWARE\VornicService'; }
beats() { cat "$work/heartbeat.log" 2>/dev/null | wc -l; }
beating() { local before; before=$(beats); sleep 2; [ "$(beats)" -gt "$before" ]; }
child() { tail -1 "$work/heartbeat.log" | awk '{print $NF}'; }
quiet() { ! beating; }
state() { wine sc query "$name" | awk '/STATE/ {print $4}'; }
running() {
    for _ in $(seq 50); do [ "$(state)" = RUNNING ] && break; sleep 0.2; done
    [ "$(state)" = RUNNING ] && beating
}
next=$((${version%%.*} + 1)).0.0
for v in "$version" 0.0.1 $next; do "$root/scripts/package-msi.sh" "$exe" $v "$work/$v.msi" || exit 1; done
base=$(win "$work/$version.msi") lower=$(win "$work/0.0.1.msi") higher=$(win "$work/$next.msi")
trap 'for p in "$higher" "$base"; do "$WINELOADER" msiexec /qn /x "$p" >/dev/null 2>&1; done
    wine "$(win "$exe")" -uninstall -name:"$name"; rm -rf "$work"' EXIT

msi 0 /i "$base"
"$root/scripts/windows-texts.sh" "$work"
for file in "$exe" "$work/README.txt" "$work/LICENSE.txt"; do
    check "$(basename "$file") is installed byte for byte" cmp -s "$file" "$folder/$(basename "$file")"
done
msi 0 /x "$base"
check "uninstalling the files alone leaves nothing" nothing_installed

msi 1603 /i "$base" SERVICENAME="$name" /l*v "$(win "$work/refused.log")"
check "one property alone installs nothing" nothing_installed
check "the log says why" grep -q "SERVICENAME and LAUNCH go together" "$work/refused.log"
msi 1603 /i "$base" 'SERVICENAME=Vornic\Package' LAUNCH="$launch"
check "a name with \\ installs nothing" nothing_installed
wine "$(win "$exe")" -install -name:"$name" -launch:"$launch"
before=$(entry)
msi 1603 /i "$base" SERVICENAME="$name" LAUNCH="$launch"
check "an existing entry of the name installs nothing" nothing_installed
check "an existing entry of the name stays as it was" [ "$(entry)" = "$before" ]
wine "$(win "$exe")" -uninstall -name:"$name"

msi 0 /i "$base" SERVICENAME="$name" LAUNCH="$launch"
stored="\"C:\\Program Files\\VornicService\\VornicService.exe\" /name:\"$name\" /start:\"$launch\""
for value in "ImagePath    REG_SZ    $stored" "Type    REG_DWORD    0x110" \
    "Start    REG_DWORD    0x2" "ObjectName    REG_SZ    LocalSystem"; do
    check "the entry holds $value" holds "$(entry)" "    $value"
done
check "the service runs, and its child with it" running
msi 1603 /i "$lower"
check "a lower version leaves the entry as it was" holds "$(entry)" "    ImagePath    REG_SZ    $stored"

wine sc description "$name" "set with sc.exe"
before=$(child)
msi 0 /i "$higher"
check "an upgrade keeps the entry" holds "$(entry)" "    ImagePath    REG_SZ    $stored"
check "an upgrade keeps what sc.exe set" holds "$(entry)" "    Description    REG_SZ    set with sc.exe"
check "the service runs after an upgrade, with a new child" running
check "an upgrade restarts the child" [ "$(child)" != "$before" ]

msi 0 /x "$higher"
check "uninstalling deletes the entry" gone "$service"
check "uninstalling removes the files and the remembered values" nothing_installed
check "uninstalling ends the child" quiet
exit $((failures > 0))
