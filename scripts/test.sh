#!/usr/bin/env bash
# Sets up, builds, and runs every test under Wine, with a virtual X display.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
"$root/scripts/build.sh"
if [ "$RUN_ARCH" != i686 ]; then
    echo "note: this host cannot run 32-bit programs; the tests run the x86-64 build of the"
    echo "      same sources under 64-bit Wine, and check the 32-bit product's format."
fi
# Seen by the wrapped children of the services, which inherit the session's environment.
export VORNIC_TEST_MARKER=inherited-from-the-session
xvfb-run -a "$root/scripts/wine-session.sh" \
    ctest --test-dir "$RUN_BUILD" --output-on-failure --timeout 1800
