#!/usr/bin/env bash
# Measures Tempovane's clock at a real receiver: a private JACK server (dummy driver, 48 kHz,
# 256 frames), the program's clock path (tempovane-clock-source) sending into the clock meter.
#   bench/clock_bench.sh [build folder] [seconds per run]
# Runs 120 and 300 BPM on port 1, then 2500 BPM with both ports sending, each into a meter of
# its own; the 120 BPM run also goes to jack_midi_dump as a second, independent receiver.
set -u
build=${1:-build}
seconds=${2:-30}
source "$(dirname "$0")/../tools/private_jack.sh"
dump=$(mktemp -t clockbench-dump.XXXXXX)

cleanup() {
    stop_started
    private_jack_stop
    rm -f "$dump"
}
trap cleanup EXIT
private_jack_start tempovane-bench /dev/null plain || { echo "no JACK server came up" >&2; exit 1; }


run() {  # bpm, then one meter name per port
    local bpm=$1 meter1=$2 meter2=${3:-}
    "$build/tempovane-clockmeter" --name "$meter1" --bpm "$bpm" --seconds $((seconds + 3)) --quiet \
        >"/tmp/$meter1.$$" 2>&1 &
    local p1=$! p2="" dump_pid=""
    started+=("$p1")
    wait_port "$meter1:in"
    local args=(--bpm "$bpm" --seconds "$seconds" --port1 "JACK: $meter1:in")
    if [ -n "$meter2" ]; then
        "$build/tempovane-clockmeter" --name "$meter2" --bpm "$bpm" --seconds $((seconds + 3)) \
            --quiet >"/tmp/$meter2.$$" 2>&1 &
        p2=$!
        started+=("$p2")
        wait_port "$meter2:in"
        args+=(--port2 "JACK: $meter2:in")
    fi
    if [ "$bpm" = 120 ]; then
        stdbuf -oL jack_midi_dump -a >"$dump" 2>/dev/null &
        dump_pid=$!
        started+=("$dump_pid")
        wait_port "midi-monitor:input"
        (sleep 1; jack_connect tempovane:clock_out_1 midi-monitor:input) &
    fi
    "$build/tempovane-clock-source" "${args[@]}"
    wait "$p1"
    echo "port 1 at $bpm BPM: $(grep '^SUMMARY' "/tmp/$meter1.$$")"
    if [ -n "$p2" ]; then
        wait "$p2"
        echo "port 2 at $bpm BPM: $(grep '^SUMMARY' "/tmp/$meter2.$$")"
    fi
    rm -f "/tmp/$meter1.$$" "/tmp/$meter2.$$"
    if [ "$bpm" = 120 ]; then
        kill "$dump_pid" 2>/dev/null
        wait "$dump_pid" 2>/dev/null
        # jack_midi_dump -a prints the frame of each event: the clock intervals, in frames.
        awk '$2 == "f8" { f = $1 + 0; if (n++) d[n] = f - last; last = f }
             END { m = 0; off = 0; for (i in d) { x = d[i] - 1000; if (x < 0) x = -x; if (x > m) m = x; if (x > 1) off++ }
                   printf "jack_midi_dump at 120 BPM: %d clocks, intervals off 1000 frames by more than 1: %d, worst %d frames\n", n, off, m }' "$dump"
    fi
}

run 120 meter120
run 300 meter300
run 2500 meterA meterB
