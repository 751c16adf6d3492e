#!/usr/bin/env bash
# The steps of the demonstration, inside a Wine session (see demo.sh).
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"

name="Vornic Demo"
# Installed where an administrator puts programs: the wrapper refuses to run, as LocalSystem,
# what an ordinary user could change, and a checkout under /tmp is such a place.
folder="$WINEPREFIX/drive_c/Program Files/VornicService"
mkdir -p "$folder"
cp "$RUN_BUILD/VornicService.exe" "$RUN_BUILD/Heartbeat.exe" "$folder/"
wrapper='C:\Program Files\VornicService\VornicService.exe'
log="$folder/heartbeat.log"
wine() { "$WINELOADER" "$@" 2>/dev/null | tr -d '\r'; }
step() { printf '\n== %s\n' "$*"; }
state() { wine sc query "$name" | awk '/STATE/ {print $4}'; }
wait_for() { # state, seconds
    for _ in $(seq 1 $(( $2 * 10 ))); do [ "$(state)" = "$1" ] && return 0; sleep 0.1; done
    echo "the service did not reach $1"; return 1
}
# An installed entry starts with every Wine session: never leave one behind, nor the files.
trap 'wine "$wrapper" -uninstall -name:"$name" >/dev/null || true; rm -rf "$folder"' EXIT
rm -f "$log"

step "Install, from C:\\Program Files\\VornicService: VornicService.exe -install -name:\"$name\" -launch:\"Heartbeat.exe heartbeat.log\""
wine "$wrapper" -install -name:"$name" -launch:"Heartbeat.exe heartbeat.log"
# Wine's sc has no "qc": the entry is read from where the service manager keeps it.
step "The stored entry (HKLM\\System\\CurrentControlSet\\Services\\$name)"
wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$name" |
    grep -E 'DisplayName|ImagePath|ObjectName|Start|Type|ErrorControl'

step "sc start \"$name\""
wine sc start "$name" >/dev/null
wait_for RUNNING 10
wine sc query "$name" | grep -E 'SERVICE_NAME|STATE'
echo "waiting three seconds for the wrapped Heartbeat.exe to write..."
sleep 3
step "What Heartbeat.exe wrote, in the wrapper's folder ($log)"
cat "$log"

step "sc stop \"$name\""
wine sc stop "$name" >/dev/null || true
wait_for STOPPED 10
wine sc query "$name" | grep -E 'SERVICE_NAME|STATE'
lines=$(wc -l < "$log")
sleep 2
echo "lines in the log: $lines, two seconds later: $(wc -l < "$log") (the child is gone)"

step "Uninstall: VornicService.exe -uninstall -name:\"$name\""
wine "$wrapper" -uninstall -name:"$name"
trap 'rm -rf "$folder"' EXIT
[ -z "$(state)" ] && echo "sc query \"$name\": no such service any more"
echo "done: the service was installed, ran Heartbeat.exe hidden, stopped and was removed."
