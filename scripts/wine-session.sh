#!/usr/bin/env bash
# Runs a command inside a Wine session of the build's own prefix: the prefix is created on
# first use and reused; one persistent wineserver serves the whole run and is ended after it.
# Services take their environment from the process that boots the session, so export what
# they must see (DISPLAY, markers) before calling this.
set -uo pipefail
source "$(dirname "$0")/wine-env.sh"

"$WINESERVER" -k 2>/dev/null
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the prefix $WINEPREFIX"
    "$WINELOADER" wineboot -i >/dev/null 2>&1
    # A virtual desktop closes message boxes in milliseconds instead of seconds.
    "$WINELOADER" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    "$WINELOADER" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f \
        >/dev/null 2>&1
    "$WINESERVER" -w
fi
setsid "$WINESERVER" -p </dev/null >/dev/null 2>&1 &
"$WINELOADER" wineboot >/dev/null 2>&1
"$@"
rc=$?
"$WINESERVER" -k 2>/dev/null
exit $rc
