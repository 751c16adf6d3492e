#!/usr/bin/env bash
# Builds everything, then measures the wrapper against a minimal hand-written service under
# Wine's service control manager and prints the figures. Safe to run again.
set -euo pipefail
"$(dirname "$0")/setup.sh"
source "$(dirname "$0")/wine-env.sh"
mkdir -p "$root/build"
log=$root/build/bench-build.log
if ! "$root/scripts/build.sh" >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
if [ "$RUN_ARCH" != i686 ]; then
    echo "note: this host cannot run 32-bit programs; the x86-64 build of the same sources is measured."
fi
export WRAPPER_EXE=$RUN_BUILD/VornicService.exe
export CHILD_HELPER_EXE=$RUN_BUILD/tests/ChildHelper.exe
export BASELINE_EXE=$RUN_BUILD/bench/BaselineService.exe
bench=$RUN_BUILD/bench/service_bench.exe
# The second pass deletes the benchmark's service entries should the first end early.
xvfb-run -a "$root/scripts/wine-session.sh" bash -c \
    '"$1" "$2"; rc=$?; "$1" "$2" --delete-services; exit $rc' - "$WINELOADER" "$bench"
