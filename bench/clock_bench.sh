#!/usr/bin/env bash
# Measures Tempovane's clock at a real receiver: a private JACK server (dummy driver, 48 kHz,
# 256 frames), the program's clock path (tempovane-clock-source) sending into the clock meter.
#   bench/clock_bench.sh [build folder] [seconds per run]
# Runs 120 and 300 BPM on port 1, then 2500 BPM with both ports sending, each into a meter of
# its own; the 120 BPM run also goes to jack_midi_dump as a second, independent receiver.
set -u
build=${1:-build}
seconds=${2:-30}
server="tempovane-bench-$$-$RANDOM"
export JACK_DEFAULT_SERVER=$server JACK_NO_START_SERVER=1 JACK_NO_AUDIO_RESERVATION=1
dump=$(mktemp -t clockbench-dump.XXXXXX)

jackd -n "$server" -t 5000 --no-realtime -d dummy -r 48000 -p 256 >/dev/null 2>&1 &
jackd_pid=$!
# Every process this script starts, by id: cleanup stops these and nothing else, so a user's own
# monitors and meters on the machine are left alone.
started=()
cleanup() {
    local pid
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${started[@]}"; do wait "$pid" 2>/dev/null; done
    kill "$jackd_pid" 2>/dev/null
    wait "$jackd_pid" 2>/dev/null
    rm -f "$dump"
}
trap cleanup EXIT
for _ in $(seq 50); do timeout 5 jack_lsp >/dev/null 2>&1 && break; sleep 0.2; done

wait_port() { for _ in $(seq 50); do jack_lsp | grep -qx "$1" && return 0; sleep 0.1; done; return 1; }

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
