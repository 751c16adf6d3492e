#!/usr/bin/env bash
# The product's main job, under Wine: wrap the sample program Heartbeat as a service and take
# it through its life, as an administrator would. Sets up and builds first; safe to run again.
set -euo pipefail
"$(dirname "$0")/setup.sh"
source "$(dirname "$0")/wine-env.sh"
"$root/scripts/build.sh"
if [ "$RUN_ARCH" != i686 ]; then
    echo "note: this host cannot run 32-bit programs; the demonstration runs the x86-64 build"
    echo "      of the same sources under 64-bit Wine."
fi
"$root/scripts/wine-session.sh" "$root/scripts/demo-steps.sh"
