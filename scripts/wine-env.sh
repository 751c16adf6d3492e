# Sourced by the other scripts: where the builds and the Wine prefix live, and which Wine runs.
# Source it only after scripts/setup.sh: the choice below asks the installed Wine.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The product is 32-bit. Some hosts boot with 32-bit Linux programs switched off
# (ia32_emulation), and there 32-bit Wine cannot start: the same sources are then built
# for x86-64 and run under 64-bit Wine, while the 32-bit product is still built and checked.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    RUN_ARCH=i686
    export WINELOADER=/usr/lib/wine/wine WINEARCH=win32
else
    RUN_ARCH=x86_64
    export WINELOADER=/usr/lib/wine/wine64 WINEARCH=win64
fi
export WINEPREFIX=$root/build/wineprefix-$RUN_ARCH
export WINEDEBUG=${WINEDEBUG:--all}
export WINESERVER=/usr/lib/wine/wineserver
PRODUCT_BUILD=$root/build/i686
RUN_BUILD=$root/build/$RUN_ARCH
