#!/usr/bin/env bash
# Checks the model of the stop protocol, verification/StopProtocol.pml, with SPIN in every
# interleaving: prints the states explored and the time, and exits non-zero with SPIN's trail
# on any violation.
#   scripts/verify.sh               the protocol as it is; then, that each fault below put back
#                                   and each known window fails with the property it names, and
#                                   that no run of the model goes on for ever
#   scripts/verify.sh --fault NAME  one fault put back, or one window (--limit NAME): its trail
set -euo pipefail
"$(dirname "$0")/setup.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
model=$root/verification/StopProtocol.pml

# name|switches|the property that must fail
faults=(
    "before-lifetime-start|-DOLD_START -DNO_JOB -DNO_KILL|no_child_left"
    "before-lifetime-exit|-DOLD_EXIT|stop_ends_stopped_with_0"
    "before-lifetime-kill|-DNO_JOB|no_child_left"
    "before-lifetime-thread|-DOLD_START|worker_not_used_after_destroy"
    "stopped-reported-again|-DNO_STOPPED_GUARD|stopped_last"
    "running-stored|-DRUNNING_STORE|running_not_after_stop_pending"
    "no-handler-wait|-DNO_HANDLER_WAIT|handler_returned"
    "worker-without-exchange|-DWORKER_NO_EXCHANGE|worker_destroyed_once"
    "start-after-stop|-DSTART_WITHOUT_STOP_TEST -DSTOP_CONTROLS=1 -DINTERROGATES=0|worker_destroyed_once"
    "process-end-unclaimed|-DPROCESS_END_UNCLAIMED|stop_ends_stopped_with_0"
    "state-after-registration|-DOLD_REGISTRATION -DSTOP_CONTROLS=0|no_report_of_state_0"
    "job-list-trusted|-DPRE_WIN10 -DTRUST_JOB_LIST|no_child_left"
)
limits=(
    "pre-windows-10|-DPRE_WIN10|no_suspended_child_left"
    "no-sleep|-DNO_SLEEP_ASSUMPTION|controls_answered"
)
# No cycle at all: every run ends where NoWaitForEver judges it. Bounded to one stop control,
# at which every loop of the model still runs, to stay within CI's time.
cycles="-DSTOP_CONTROLS=1 -DINTERROGATES=0"
# Code edits that the tie must catch, each made with perl in a copy of src/: name|file|edit
# shellcheck disable=SC2016 # $1 is perl's
edits=(
    'exchange-split|src/app/Worker.cpp|s/Worker\.exchange\(nullptr\);/Worker;\n    Worker = nullptr;/'
    'execute-done-first|src/app/Worker.cpp|s/(\n *TExecuteThread\* expected = self;)(.*?)(\n *self->ExecuteDone = true;)/$3$1$2/s'
    'stopped-before-stop-hook|src/service/ServiceRuntime.cpp|s/(\n *OnServiceStop\(\);)(\n *CurrentState = SERVICE_STOPPED;\n *ReportServiceStatus\(\);)/$2$1/'
    'stop-worker-unlocked|src/app/Worker.cpp|s/(void StopWorker\(\) \{)\n *AcquireSRWLockExclusive\(&WorkerLock\);(.*?)\n *ReleaseSRWLockExclusive\(&WorkerLock\);/$1$2/s'
    'process-end-unclaimed|src/service/ServiceRuntime.cpp|s/ &&\s*\(state & ProcessEnding\) == 0//'
)
# And one that it must let pass: a line that names no shared value moved, a comment that names one.
# shellcheck disable=SC2016
harmless='src/app/Worker.cpp|s/(\n *const auto result = .*?;)(\n *TExecuteThread\* expected = self;)/$2\n    \/\/ Worker, in a comment$1/'

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# check NAME "SWITCHES" [PROPERTY] [cycles]: runs SPIN in $work/NAME; its summary goes to
# $work/NAME/summary, and "clean", "violated" or "incomplete" to $work/NAME/result.
check() {
    local name=$1 switches=$2 only=${3:-} mode=${4:-safety} dir=$work/$1
    mkdir -p "$dir"
    cp "$model" "$dir/"
    (
        cd "$dir"
        local compile="-O2 -DSAFETY" search=""
        # A put-back fault fails early: compiling fast matters more than searching fast.
        [ -n "$only" ] && compile="-O0 -DSAFETY"
        [ "$mode" = cycles ] && compile="-O2 -DNP" search=-l
        # shellcheck disable=SC2086
        spin -a $switches ${only:+-DONLY=$only} StopProtocol.pml >/dev/null
        # shellcheck disable=SC2086
        gcc $compile -DMEMLIM=8192 -o pan pan.c
        # -E: NoWaitForEver judges every state where nothing can move, and does it better.
        # shellcheck disable=SC2086
        ./pan $search -m200000 -E >pan.out 2>&1 || true
        local states seconds
        states=$(awk '/states, stored/ { print $1; exit }' pan.out)
        seconds=$(awk '/elapsed time/ { print $4; exit }' pan.out)
        if grep -Eq 'max search depth too small|out of memory' pan.out; then
            echo incomplete
        elif grep -q 'errors: 0' pan.out; then
            echo clean
        elif grep -Eq 'errors: [1-9]' pan.out; then
            echo violated
        else
            echo incomplete
        fi >result
        printf '%s states, %s s' "${states:-?}" "${seconds:-?}" >summary
    )
}

# tie NAME FILE EDIT: the tie on a copy of src/ with the edit made; "caught", "passed" or "stale"
# (the edit no longer applies) to $work/tie-NAME/result, what the tie said to $work/tie-NAME/out.
tie() {
    local dir=$work/tie-$1
    mkdir -p "$dir"
    cp -r "$root/src" "$dir/"
    perl -0pi -e "$3" "$dir/$2"
    if cmp -s "$root/$2" "$dir/$2"; then
        echo stale
    elif "$root/scripts/check-tie.pl" "$dir" >"$dir/out"; then
        echo passed
    else
        echo caught
    fi >"$dir/result"
}

# The tie of the code as it is, then each edit; fails when any is not as it must be.
check_tie() {
    local status=0 started entry name file edit result wanted
    started=$(date +%s%N)
    "$root/scripts/check-tie.pl" || status=1
    for entry in "${edits[@]}" "harmless|$harmless"; do
        IFS='|' read -r name file edit <<<"$entry"
        tie "$name" "$file" "$edit"
        result=$(cat "$work/tie-$name/result")
        wanted=caught
        [ "$name" = harmless ] && wanted=passed
        echo "tie, edit $name: $result ($(head -n 1 "$work/tie-$name/out" 2>/dev/null))"
        [ "$result" = "$wanted" ] || status=1
    done
    echo "tie: $((($(date +%s%N) - started) / 1000000)) ms"
    [ $status = 0 ] || echo "verify: the code has left the model, or the tie no longer catches an edit" >&2
    return $status
}

# The trail, replayed: what each thread did, then every step.
show_trail() {
    local dir=$work/$1 switches=$2
    (
        cd "$dir"
        [ -f StopProtocol.pml.trail ] || return 0
        echo "--- trail (threads: 1 main, 2 ServiceMain, 3 worker, 4 Wine's dispatcher thread)"
        # shellcheck disable=SC2086
        spin -t $switches StopProtocol.pml | sed -n 's/^ *//; /^spin: trail ends/q; /./p'
        echo "--- every step"
        # shellcheck disable=SC2086
        spin -t -p $switches StopProtocol.pml |
            sed -n 's/^ *\([0-9]*\):\tproc  *[0-9]* (\([A-Za-z]*\):1) [^:]*:\([0-9]*\) (state [0-9]*)[^[]*\[\(.*\)\]$/\1 \2 line \3: \4/p' |
            grep -Ev ': (else|\.\(goto\)|goto .*|printf\(.*|\(1\))$'
    )
}

run_one() {
    local kind=$1 wanted=$2 entry
    for entry in "${faults[@]}" "${limits[@]}"; do
        IFS='|' read -r name switches property <<<"$entry"
        [ "$name" = "$wanted" ] || continue
        check "$name" "$switches" "$property"
        echo "$kind $name: $(cat "$work/$name/summary"), $(cat "$work/$name/result")"
        show_trail "$name" "$switches -DONLY=$property"
        [ "$(cat "$work/$name/result")" = clean ]
        return
    done
    echo "verify: no $kind named $wanted" >&2
    exit 2
}

case "${1:-}" in
--tie)
    check_tie
    exit
    ;;
--fault | --limit)
    run_one "${1#--}" "${2:?"usage: $0 [--tie | --fault NAME | --limit NAME]"}"
    exit
    ;;
"") ;;
*)
    echo "usage: $0 [--tie | --fault NAME | --limit NAME]" >&2
    exit 2
    ;;
esac

start=$SECONDS
status=0
check_tie || status=1
# The protocol as it is and the cycle check, beside the faults: two cores.
{
    check protocol ""
    check cycles "$cycles" "" cycles
} &
for entry in "${faults[@]}" "${limits[@]}"; do
    IFS='|' read -r name switches property <<<"$entry"
    check "$name" "$switches" "$property"
done
wait

echo "protocol as it is: $(cat "$work/protocol/summary"), $(cat "$work/protocol/result")"
if [ "$(cat "$work/protocol/result")" != clean ]; then
    show_trail protocol ""
    tail -n 30 "$work/protocol/pan.out"
    status=1
fi
echo "no cycle ($cycles): $(cat "$work/cycles/summary"), $(cat "$work/cycles/result")"
if [ "$(cat "$work/cycles/result")" != clean ]; then
    cat "$work/cycles/pan.out"
    status=1
fi
for entry in "${faults[@]}" "${limits[@]}"; do
    IFS='|' read -r name switches property <<<"$entry"
    result=$(cat "$work/$name/result")
    echo "$name, caught by $property: $(cat "$work/$name/summary"), $result"
    if [ "$result" != violated ]; then
        echo "verify: the model no longer catches $name" >&2
        status=1
    fi
done
echo "verify: $((SECONDS - start)) s in all"
exit $status
