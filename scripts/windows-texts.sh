#!/usr/bin/env bash
# scripts/windows-texts.sh DIR: writes the texts that ship beside the executable into DIR, with
# CRLF line ends: README.txt (the README without its sections for this machine and for
# building) and LICENSE.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
awk '/^## / {skip = /^## (On this machine|Building)/} !skip' "$root/README.md" |
    sed 's/$/\r/' >"$1/README.txt"
sed 's/$/\r/' "$root/LICENSE" >"$1/LICENSE.txt"
