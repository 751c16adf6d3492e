# Sourced by bench.sh and soak.sh: sets up, builds (showing the log only when the build fails),
# and exports the programs that the measurements wrap.
"$(dirname "${BASH_SOURCE[0]}")/setup.sh"
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
mkdir -p "$root/build"
log=$root/build/measure-build.log
if ! "$root/scripts/build.sh" >"$log" 2>&1; then
    cat "$log"
    exit 1
fi
if [ "$RUN_ARCH" != i686 ]; then
    echo "note: this host cannot run 32-bit programs; the x86-64 build of the same sources is measured."
fi
export WRAPPER_EXE=$RUN_BUILD/VornicService.exe
export CHILD_HELPER_EXE=$RUN_BUILD/tests/ChildHelper.exe
