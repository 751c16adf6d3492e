#!/usr/bin/env bash
# scripts/package-msi.sh EXE VERSION OUT: builds the Windows Installer package of EXE as product
# version VERSION into OUT, from packaging/. A 32-bit package; with MSI_ARCH=x64 a 64-bit one
# around an x86-64 build, for tests on hosts without 32-bit Wine (never released), a product of its
# own: its own UpgradeCode and product codes, so that neither package ever removes the other.
# The same commit, version and files give the same bytes: the codes and times come from them, the
# commit's id from VORNIC_COMMIT and its time from SOURCE_DATE_EPOCH, else from git.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$(realpath "$1") version=$2 out=$(realpath -m "$3")
commit=${VORNIC_COMMIT:-$(git -C "$root" rev-parse HEAD)}
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
# The components' codes never change: each version shares them with the next (see the .wxs).
case ${MSI_ARCH:=x86} in
x86) options=(-a x86 -D Win64=no -D ProgramFiles=ProgramFilesFolder) template="Intel;1033"
    product="product" upgrade=CADCF7C0-5AA7-4ACC-823A-F037DDCF33F6
    files=9DCFE9DD-0844-5525-8B50-1117F92D2E04 remembered=7DF5C5A4-0B12-5D8C-96A4-9EDD3B715C9F
    with_service=0C2BE010-231F-5D9A-B9A9-C9392AF892B0 ;;
x64) options=(-a x64 -D Win64=yes -D ProgramFiles=ProgramFiles64Folder) template="x64;1033"
    product="x64 product" upgrade=AA22E274-30A3-4FAD-97DB-A3586541D7C5
    files=F8A62A62-ECFF-528B-8AB2-4F25E4508A22 remembered=1FCA9122-EB29-547D-9683-F58D3EBD31B3
    with_service=8E4B764F-9E81-4123-8756-CB9772E1E417 ;;
*) echo "package-msi.sh: MSI_ARCH must be x86 or x64" >&2; exit 1 ;;
esac

# A name-based UUID (RFC 4122, version 5) in the namespace of the 32-bit package's UpgradeCode.
name_uuid() {
    local hash
    hash=$({ printf "$(sed 's/../\\x&/g' <<<cadcf7c05aa74acc823af037ddcf33f6)"; printf %s "$1"; } |
        sha1sum)
    hash=${hash:0:12}5${hash:13:3}$(printf %x $(((0x${hash:16:1} & 3) | 8)))${hash:17:15}
    echo "${hash:0:8}-${hash:8:4}-${hash:12:4}-${hash:16:4}-${hash:20:12}" | tr a-f A-F
}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cd "$stage" # the builder takes a file's source only as a path relative to the working folder
cp "$exe" VornicService.exe
"$root/scripts/windows-texts.sh" .
touch -d "@$epoch" ./* # the cabinet records each file's time
# The file version from the executable's own version resource (VS_FIXEDFILEINFO), which decides
# whether an upgrade replaces the file, and its language (the first of VarFileInfo's Translation):
# a versioned file without one counts as another language, and a repair copies it again (ICE60).
read -r file_version file_language < <(perl -0777 -ne '
    /\xBD\x04\xEF\xFE.{4}(.{8})/s or die "no version resource\n";
    my ($ms, $ls) = unpack "V2", $1;
    /T\0r\0a\0n\0s\0l\0a\0t\0i\0o\0n\0\0\0(?:\0\0)?(..)/s or die "no Translation in the version resource\n";
    print join(".", $ms >> 16, $ms & 0xFFFF, $ls >> 16, $ls & 0xFFFF), " ", unpack("v", $1), "\n"' VornicService.exe)
# One product per version. Two different packages must never share a package code, so it names
# everything that goes into one: the commit, the version, the architecture and the files.
product_code=$(name_uuid "$product $version")
package_code=$(name_uuid "package $commit $version $MSI_ARCH $(sha256sum ./*)")

started=$(date +%s)
wixl "${options[@]}" -D Version="$version" -D ProductCode="$product_code" -D UpgradeCode=$upgrade \
    -D FilesGuid=$files -D RememberedGuid=$remembered -D WithServiceGuid=$with_service \
    -o package.msi "$root/packaging/VornicService.wxs"

# The refusals, each an action that raises its reason as an error (type 19), run after the
# searches and before anything else.
crlf() { printf '%s\r\n' "$@"; }
msiinfo export package.msi CustomAction >CustomAction.idt
msiinfo export package.msi InstallExecuteSequence >InstallExecuteSequence.idt
crlf $'Action\tDescription\tTemplate' $'s72\tL0\tL0' $'ActionText\tAction' >ActionText.idt
sequence=101
while IFS=$'\t' read -r action condition reason; do
    crlf "$action"$'\t19\t\t'"$reason"$'\t' >>CustomAction.idt
    crlf "$action"$'\t'"$condition"$'\t'$((sequence++)) >>InstallExecuteSequence.idt
    crlf "$action"$'\t'"$reason"$'\t' >>ActionText.idt
done < <(grep -v '^#' "$root/packaging/refusals.tsv")
# What else the builder cannot express: component conditions (it crashes on one), rollback
# actions (it makes every action immediate or deferred), the executable's version and language
# (without a version, a file is unversioned, and the versioned copy already installed wins over it
# in an upgrade), the package code (it writes a random one).
msibuild package.msi -i CustomAction.idt InstallExecuteSequence.idt ActionText.idt \
    -q "UPDATE \`Component\` SET \`Condition\` = 'SERVICENAME' WHERE \`Component\` = 'Remembered' OR \`Component\` = 'WithService'" \
    "UPDATE \`CustomAction\` SET \`Type\` = 3410 WHERE \`Action\` = 'UndoInstallTheService' OR \`Action\` = 'RestoreTheService'" \
    "UPDATE \`File\` SET \`Version\` = '$file_version', \`Language\` = '$file_language' WHERE \`File\` = 'VornicService.exe'" \
    "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = 'VornicService.exe'" \
    -s VornicService "The VornicService authors" "$template" "{$package_code}"

# The builder writes its clock into the summary as the times of creation and last saving (type
# VT_FILETIME, 0x40, then 100 ns steps since 1601): the commit's time replaces both.
perl -0777 -pi -e '
    BEGIN { ($from, $to, $commit) = map { ($_ + 11644473600) * 10_000_000 } splice @ARGV, 0, 3 }
    while (/\x40\0\0\0/g) {
        my $at = pos;
        my $time = unpack "Q<", substr($_, $at, 8);
        next unless $time >= $from && $time <= $to;
        substr($_, $at, 8) = pack "Q<", $commit;
        pos = $at + 8;
        $found++;
    }
    $found == 2 or die "package-msi.sh: $found build times in the summary, not 2\n";
    ' "$started" "$(($(date +%s) + 1))" "$epoch" package.msi
mkdir -p "$(dirname "$out")"
mv package.msi "$out"
