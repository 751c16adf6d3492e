#!/usr/bin/env bash
# Builds everything, then measures the wrapper against a minimal hand-written service under
# Wine's service control manager and prints the figures. Safe to run again.
set -euo pipefail
source "$(dirname "$0")/measure-env.sh"
export BASELINE_EXE=$RUN_BUILD/bench/BaselineService.exe
bench=$RUN_BUILD/bench/service_bench.exe
# The second pass deletes the benchmark's service entries should the first end early.
xvfb-run -a "$root/scripts/wine-session.sh" bash -c \
    '"$1" "$2"; rc=$?; "$1" "$2" --delete-services; exit $rc' - "$WINELOADER" "$bench"
