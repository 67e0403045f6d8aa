#!/usr/bin/env bash
# Priority inversion on the clock path: tempovane-inversion-bench with a CPU hog at SCHED_FIFO 10
# (below the clock thread's 60) in bursts on one core, each run first without, then with an
# ordinary thread calling the timer's tempo setters in a loop on that core, repeated, with the
# medians at the end. The clock's lateness should be the same both ways. Needs the right to
# real-time priorities (root, or rtprio in limits.conf); without it the hog runs at SCHED_OTHER
# and the figures say little.
#   bench/inversion_bench.sh [build folder, default build] [seconds per run, default 6]
#                            [rounds, default 5]
set -u
build=${1:-build}
seconds=${2:-6}
rounds=${3:-5}
if ! chrt -f 10 true 2>/dev/null; then
    echo "no right to SCHED_FIFO here: the hog and the clock run without real-time priority" >&2
fi
echo "$(date -u +%Y-%m-%d), $(nproc) cores:" \
    "$build/tempovane-inversion-bench --seconds $seconds --rounds $rounds --bpm 300 --bpm 2500"
exec "$build/tempovane-inversion-bench" --seconds "$seconds" --rounds "$rounds" --bpm 300 --bpm 2500
