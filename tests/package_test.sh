#!/usr/bin/env bash
# The release's Windows Installer package around the executable under test (a 64-bit one in a
# 64-bit Wine, which runs no 32-bit one here): under Wine's own msiexec, taken through what an
# administrator does with it; then signed with a throwaway self-signed certificate, as
# scripts/release.sh signs.
#   package_test.sh EXE HEARTBEAT VERSION
# Wine hands over only the low 8 bits of msiexec's exit code (1603 arrives as 67). The wrapped
# sample, and the wrapper run by hand, lie in a folder of the prefix's own C:\Program Files that
# only its owner may change, wherever the checkout is.
set -u
root=$(cd "$(dirname "$0")/.." && pwd) exe=$1 work=$(mktemp -d /tmp/vornic-msi.XXXXXX) failures=0
name="Vornic Package Test" folder="$WINEPREFIX/drive_c/Program Files/VornicService"
programs="$WINEPREFIX/drive_c/Program Files/Vornic Test Programs" wrapper='C:\Program Files\Vornic Test Programs\VornicService.exe'
mkdir -p -m 755 "$programs" && cp "$exe" "$2" "$programs/" || exit 1
export MSI_ARCH=$([ "$WINEARCH" = win64 ] && echo x64 || echo x86)
win() { echo "Z:${1//\//\\}"; }
wine() { "$WINELOADER" "$@" 2>/dev/null | tr -d '\r'; }
check() { "${@:2}" || { echo "FAIL: $1"; failures=$((failures + 1)); }; } # what, a command
msi() { "$WINELOADER" msiexec /qn "${@:2}" >/dev/null 2>&1; check "msiexec ${*:2} ends with $1" [ $? = $(($1 & 255)) ]; }
entry() { wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$name"; }
has() { entry | grep -qxF -- "    $1"; }
nothing() { [ ! -e "$folder" ] && ! { wine reg query 'HKLM\SOFTWARE\VornicService'; wine reg query 'HKLM\SOFTWARE\VornicService Package'; } | grep -q REG_SZ; }
beating() { local n; n=$(cat "$work/beats" 2>/dev/null | wc -l); sleep 2; [ "$(wc -l <"$work/beats")" -gt "$n" ]; }
running() { for _ in $(seq 50); do wine sc query "$name" | grep -q RUNNING && break; sleep 0.2; done; beating; }
for v in "$3" 0.0.1 99.0.0; do "$root/scripts/package-msi.sh" "$exe" $v "$work/$v.msi" || exit 1; done
base=$(win "$work/$3.msi") lower=$(win "$work/0.0.1.msi") higher=$(win "$work/99.0.0.msi")
launch="C:\\Program Files\\Vornic Test Programs\\${2##*/} $(win "$work/beats")"
trap 'for p in "$higher" "$base"; do "$WINELOADER" msiexec /qn /x "$p" >/dev/null 2>&1; done
    "$WINELOADER" msiexec /qn /x "$base" SERVICENAME="$name" LAUNCH="$launch" >/dev/null 2>&1
    wine "$wrapper" -uninstall -name:"$name"; rm -rf "$work" "$programs"' EXIT

# What validation (ICE03, ICE60, ICE68) would say of the tables, for what they show here.
check "every file and folder has a short|long name" awk -F'[\t\r]' 'FNR > 3 && $3 !~ /^(SourceDir|\.|[^|]+\|.+)$/ {bad = 1} END {exit bad}' <(msiinfo export "$work/$3.msi" File) <(msiinfo export "$work/$3.msi" Directory)
check "the versioned file has a language" awk -F'[\t\r]' 'FNR > 3 && $5 != "" && $6 == "" {bad = 1} END {exit bad}' <(msiinfo export "$work/$3.msi" File)
check "no immediate action has the no-impersonate bit" awk -F'[\t\r]' 'FNR > 3 && int($2 / 2048) % 2 && !(int($2 / 1024) % 2) {bad = 1} END {exit bad}' <(msiinfo export "$work/$3.msi" CustomAction)

msi 0 /i "$base"
"$root/scripts/windows-texts.sh" "$work"
for f in "$exe" "$work/README.txt" "$work/LICENSE.txt"; do check "${f##*/} installed as built" cmp -s "$f" "$folder/${f##*/}"; done
msi 0 /x "$base"
check "uninstalling the files alone leaves nothing" nothing

msi 1603 /i "$base" SERVICENAME="$name" /l*v "$(win "$work/log")"
check "one property alone installs nothing, and the log says why" eval 'nothing && grep -q "go together" "$work/log"'
msi 1603 /i "$base" 'SERVICENAME=Vornic\Package' LAUNCH="$launch"
check "a name with \\ installs nothing" nothing
wine "$wrapper" -install -name:"$name" -launch:"$launch"
before=$(entry)
msi 1603 /i "$base" SERVICENAME="$name" LAUNCH="$launch"
check "an existing entry installs nothing and stays as it was" eval 'nothing && [ "$(entry)" = "$before" ]'
wine "$wrapper" -uninstall -name:"$name"

msi 0 /i "$base" SERVICENAME="$name" LAUNCH="$launch"
stored="ImagePath    REG_SZ    \"C:\\Program Files\\VornicService\\VornicService.exe\" /name:\"$name\" /start:\"$launch\""
for value in "$stored" "Type    REG_DWORD    0x110" "Start    REG_DWORD    0x2" "ObjectName    REG_SZ    LocalSystem"; do check "the entry holds $value" has "$value"; done
check "the service runs, and its child with it" running
msi 1603 /i "$lower"
wine sc description "$name" "set with sc.exe"
msi 0 /i "$higher"
check "an upgrade keeps the entry and what sc.exe set" eval 'has "$stored" && has "Description    REG_SZ    set with sc.exe"'
check "the service runs after an upgrade, with a second child" eval 'running && [ "$(cut -d" " -f7 "$work/beats" | sort -u | wc -l)" = 2 ]'
wine "$wrapper" -uninstall -name:"$name"
# A repair by the properties that /fa stands for: Wine's msiexec /f takes no product code, and with
# a package's path it ends with 1605.
msi 0 /i "$higher" REINSTALL=ALL REINSTALLMODE=omus
check "a repair brings back an entry deleted by hand, and starts it" eval 'has "$stored" && running'
msi 0 /x "$higher"
check "uninstalling deletes the entry, the files and the remembered values" eval '! has "$stored" && nothing'
check "uninstalling ends the child" eval '! beating'

# The remembered values deleted (a registry clean-up): no repair or uninstallation runs the
# wrapper without them, and none leaves an entry pointing at deleted files. Wine runs no rollback
# actions (a failed deferred action ends the session with 1627), so what RestoreTheService and
# UndoInstallTheService undo shows only on Windows.
msi 0 /i "$base" SERVICENAME="$name" LAUNCH="$launch"
wine reg delete 'HKLM\SOFTWARE\VornicService' /f
msi 1603 /i "$base" REINSTALL=ALL REINSTALLMODE=omus
msi 1603 /x "$base" /l*v "$(win "$work/log")"
check "without the remembered values, a repair and an uninstallation change nothing, and the log says why" eval 'has "$stored" && running && grep -q "VornicService is gone" "$work/log"'
msi 0 /x "$base" SERVICENAME="$name" LAUNCH="$launch"
check "given the values again, the uninstallation deletes the entry and the files" eval '! has "$stored" && nothing'

# Signing twice gives the same bytes (the signing time is the commit's, not the clock's), and a
# changed byte in a text the signature covers fails the verification.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=VornicService test" -addext \
    extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null || exit 1
export VORNIC_SIGN_CERT=$work/cert.pem VORNIC_SIGN_KEY=$work/key.pem
verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1; }
cp "$exe" "$work/program.exe"
for pair in program.exe:"DOS mode" "$3.msi":"go together"; do
    file=$work/${pair%%:*} && cp "$file" "$file.again" && "$root/scripts/sign.sh" "$file" && sleep 1 &&
        "$root/scripts/sign.sh" "$file.again" || exit 1
    check "the signed ${pair%%:*} verifies, and signed twice is the same" eval 'verifies "$file" && cmp -s "$file" "$file.again"'
    printf X | dd of="$file" bs=1 conv=notrunc seek="$(grep -obaF "${pair#*:}" "$file" | head -1 | cut -d: -f1)" 2>/dev/null
    check "${pair%%:*} with a changed byte fails the verification" eval '! verifies "$file"'
done
exit $((failures > 0))
