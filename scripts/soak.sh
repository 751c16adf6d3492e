#!/usr/bin/env bash
# Builds everything, then runs [cycles] cycles (1000 when not given) of the races around a stop
# under Wine's service control manager, each on a service name of its own: a start and a stop
# control while the child runs, ends by itself or cannot start. Prints a line every 100 cycles
# and the totals; exits non-zero if a cycle was lost or hung. Safe to run again.
set -euo pipefail
cycles=${1:-1000}
source "$(dirname "$0")/measure-env.sh"
soak=$RUN_BUILD/bench/service_soak.exe
# The second pass deletes the soak's service entries should the first end early.
xvfb-run -a "$root/scripts/wine-session.sh" bash -c \
    '"$1" "$2" "$3"; rc=$?; "$1" "$2" --delete-services; exit $rc' - "$WINELOADER" "$soak" "$cycles"
