#!/usr/bin/env bash
# Runs a command in a Linux pids cgroup of its own, named to it in VORNIC_PIDS_CGROUP, so
# that it can cap its own thread count. The group is made in the pids hierarchy of cgroup v1,
# or else in the unified hierarchy of cgroup v2 once the pids controller is enabled there for
# the groups below. Without either the variable stays empty.
set -u
if [ -d /sys/fs/cgroup/pids ]; then
    root=/sys/fs/cgroup/pids
    origin=$(awk -F: '$2 == "pids" {print $3}' /proc/$$/cgroup)
elif grep -qw pids /sys/fs/cgroup/cgroup.controllers 2>/dev/null; then
    root=/sys/fs/cgroup
    origin=$(awk -F: '$1 == "0" {print $3}' /proc/$$/cgroup)
    # Refused below the namespace's root where that group holds processes: then no group here.
    grep -qw pids "$root/cgroup.subtree_control" ||
        echo +pids >"$root/cgroup.subtree_control" 2>/dev/null || root=
else
    root=
fi
group=$root/vornic-$$
if [ -n "$root" ] && mkdir "$group" 2>/dev/null; then
    # The group can go only once empty: this shell goes back to where it was first.
    trap 'echo $$ >"$root${origin%/}/cgroup.procs"; rmdir "$group"' EXIT
    echo $$ >"$group/cgroup.procs"
    export VORNIC_PIDS_CGROUP=$group
else
    echo "no pids cgroup here: the thread-cap test is skipped"
    export VORNIC_PIDS_CGROUP=
fi
"$@"
