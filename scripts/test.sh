#!/usr/bin/env bash
# Sets up, builds, and runs every test under Wine, with a virtual X display.
set -euo pipefail
"$(dirname "$0")/setup.sh"
source "$(dirname "$0")/wine-env.sh"
"$root/scripts/build.sh"
if [ "$RUN_ARCH" != i686 ]; then
    echo "note: this host cannot run 32-bit programs; the tests run the x86-64 build of the"
    echo "      same sources under 64-bit Wine, and check the 32-bit product's format."
fi
# Services take the system environment of the registry, read at the session's first
# service start: a marker set there beforehand lets a test see what reaches a wrapped child.
"$root/scripts/wine-session.sh" "$WINELOADER" reg add \
    'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v VORNIC_TEST_MARKER /d set-by-the-test-command /f >/dev/null
xvfb-run -a "$root/scripts/wine-session.sh" \
    ctest --test-dir "$RUN_BUILD" --output-on-failure
