#!/bin/bash
# The Link and clock-lock figures, on a private JACK server (dummy driver, 48 kHz, 256 frames)
# and, for Link, in a private network namespace (loopback only), so nothing leaves the machine.
#   bench/sync_bench.sh link [build dir]   Tempovane + a second Tempovane + tempovane-linkprobe
#   bench/sync_bench.sh linkhut [build dir] Tempovane + LinkHut (keys typed into its terminal)
#                                           + tempovane-linkprobe, 60 s measured
#   bench/sync_bench.sh lock [build dir]   jack_midi_clock -J 10 at 128, stepped to 140
#   bench/sync_bench.sh follow [build dir] the same master, followed the half-second way
# JITTER=0 sets jack_midi_clock's jitter (default 10 %). Its jitter is added to every interval,
# so the master's phase wanders (several milliseconds within a few seconds at 10 %).
# Logs go to /tmp/tempovane-sync-bench.*; the figures are printed at the end.
# PRIVATE_JACK_KEEP_AWAKE=1 keeps the cores from sleeping meanwhile (tools/private_jack.sh).
set -u
mode=${1:-link}
build=$(cd "${2:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${SYNC_BENCH_IN_NETNS:-}" ]; then
    export SYNC_BENCH_IN_NETNS=1
    exec unshare -n "$0" "$mode" "$build"
fi
ip link set lo up
ip route add 224.0.0.0/4 dev lo

source "$here/../tools/private_jack.sh"
logs=$(mktemp -d /tmp/tempovane-sync-bench.XXXXXX)
# Real-time where this user may have it (as the JACK tests do): without it the dummy driver
# wakes late now and then, and every such xrun moves JACK's time line against its frames.
private_jack_start tempovane-sync "$logs/jackd.log" realtime || { echo "no JACK server came up" >&2; exit 1; }
realtime=${private_jack_args[*]:2}
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -INT "$p" 2>/dev/null; done
    sleep 0.5
    private_jack_stop
}
trap cleanup EXIT
cd "$build"
mono() { python3 -c 'import time; print("%.6f" % time.clock_gettime(time.CLOCK_MONOTONIC))'; }

case "$mode" in
link)
    # The probe and a second Tempovane join first; Tempovane starts the session after a second,
    # on a bar line. Tempo: the second Tempovane changes it at 25 s, the probe at 45 s, ours at
    # 65 s. Start/stop: the probe stops the session at 80 s and starts it at 83 s.
    ./tempovane-linkprobe --name linkprobe --seconds 95 --skip 5 \
        --tempo-at 45:128.25 --play-at 80:0 --play-at 83:1 >"$logs/probe.log" 2>&1 &
    pids+=($!)
    sleep 1
    ./tempovane-sync-source --port1 "JACK: linkprobe:in" --link --start --bpm 120 --seconds 92 \
        --tempo-at 65:131.5 >"$logs/ours.log" 2>&1 &
    pids+=($!)
    ./tempovane-sync-source --port1 "JACK: Tempovane virtual port" --link --bpm 120 --seconds 92 \
        --tempo-at 25:133.7 >"$logs/second.log" 2>&1 &
    pids+=($!)
    wait "${pids[0]}"
    sleep 1
    grep SUMMARY "$logs/probe.log"
    echo "--- tempo and transport events (CLOCK_MONOTONIC seconds)"
    grep -h "event set\|event playing\|event tempo" "$logs/probe.log" | sed 's/^/probe: /'
    grep -h "set_tempo\|^tempo\|running" "$logs/ours.log" | sed 's/^/ours: /'
    grep -h "set_tempo\|^tempo\|running" "$logs/second.log" | sed 's/^/second: /'
    ;;
linkhut)
    # LinkHut in a terminal of its own; what is written to the fifo is typed into it, each key
    # logged with the CLOCK_MONOTONIC time it was typed, to compare with our tempo and run lines.
    mkfifo "$logs/keys"
    script -qfc LinkHut /dev/null <"$logs/keys" >"$logs/linkhut.log" 2>&1 &
    pids+=($!)
    exec 3>"$logs/keys"
    type() {
        python3 -c 'import os, sys, time
fd = os.open(sys.argv[1], os.O_WRONLY)
for c in sys.argv[2]:
    t = time.clock_gettime(time.CLOCK_MONOTONIC)
    os.write(fd, c.encode())
    time.sleep(0.1)
print("key %s mono %.6f" % (sys.argv[3], t))' "$logs/keys" "$1" "$2" >>"$logs/keys.log"
    }
    # LinkHut starts with Link off and start/stop sync off: both on before we join.
    sleep 1
    type a link_on
    type s startstop_sync_on
    ./tempovane-linkprobe --name linkprobe --seconds 70 --skip 5 >"$logs/probe.log" 2>&1 &
    pids+=($!)
    sleep 1
    ./tempovane-sync-source --port1 "JACK: linkprobe:in" --link --start --bpm 120 --seconds 66 \
        --tempo-at 35:131.5 >"$logs/ours.log" 2>&1 &
    pids+=($!)
    sleep 18
    type eeeeeeeeee hut_tempo_plus_10
    sleep 24
    type ' ' hut_stop
    sleep 5
    type ' ' hut_start
    wait "${pids[1]}"
    type q quit
    exec 3>&-
    sleep 1
    grep SUMMARY "$logs/probe.log"
    grep SYNCSOURCE "$logs/ours.log"
    echo "--- keys typed into LinkHut (the last of each), our tempo and run lines, the probe's session events"
    cat "$logs/keys.log"
    grep -h "set_tempo\|^tempo\|running" "$logs/ours.log" | sed 's/^/ours: /'
    grep -h "event set\|event playing\|event tempo" "$logs/probe.log" | sed 's/^/probe: /'
    echo "--- clients that did not finish a cycle"
    grep "not finished" "$logs/jackd.log" | sed 's/.*client = \([^ ]*\).*/\1/' | sort | uniq -c
    ;;
lock|follow)
    # jack_midi_clock plays the master from JACK transport at 128 BPM with 10 % jitter; at 40 s
    # jack_transport becomes timebase master at 140 BPM (a step). The probe compares our clock
    # with the master's; the clock meter measures our output's jitter at 128 BPM.
    jack_midi_clock -b 128 -J "${JITTER:-10}" >"$logs/master.log" 2>&1 &
    pids+=($!)
    sleep 1
    mclk=$(jack_lsp | grep -m1 jack_midi_clock)
    meter_pid=""
    ./tempovane-clockmeter --name clockmeter --bpm 128 --seconds 38 --quiet \
        >"$logs/meter.log" 2>&1 &
    meter_pid=$!
    ./tempovane-linkprobe --name linkprobe --reference "$mclk" --seconds 70 --skip 6 \
        >"$logs/probe.log" 2>&1 &
    pids+=($!)
    sleep 0.5
    opt=--lock
    [ "$mode" = follow ] && opt=--follow
    ./tempovane-sync-source --port1 "JACK: linkprobe:in" $opt "JACK: $mclk" --bpm 100 \
        --seconds 68 >"$logs/ours.log" 2>&1 &
    pids+=($!)
    sleep 0.5
    for _ in $(seq 30); do jack_connect tempovane:clock_out_1 clockmeter:in 2>/dev/null && break; sleep 0.1; done
    # Every tick of the master and of ours, with its frame, for the interval figures.
    jack_midi_dump -a masterdump >"$logs/master.dump" 2>&1 &
    pids+=($!)
    jack_midi_dump -a oursdump >"$logs/ours.dump" 2>&1 &
    pids+=($!)
    for _ in $(seq 30); do jack_connect "$mclk" masterdump:input 2>/dev/null && break; sleep 0.1; done
    for _ in $(seq 30); do jack_connect tempovane:clock_out_1 oursdump:input 2>/dev/null && break; sleep 0.1; done
    { sleep 0.5; echo play; sleep 40; echo "tempo 140"; echo master; echo "step $(mono)" >"$logs/step"
      sleep 30; echo stop; sleep 1; echo quit; } | jack_transport >"$logs/transport.log" 2>&1 &
    pids+=($!)
    wait "${pids[1]}"
    wait "$meter_pid"
    grep SUMMARY "$logs/meter.log" | sed 's/^/our output at 128 BPM: /'
    for p in "${pids[@]:3}"; do kill -INT "$p" 2>/dev/null; done
    sleep 0.3
    python3 "$here/sync_ticks.py" master "$logs/master.dump"
    python3 "$here/sync_ticks.py" output "$logs/ours.dump" 128 48000
    python3 "$here/sync_ticks.py" output "$logs/ours.dump" 140 48000
    # Our tempo 4 s after it first followed the master (the lock's first estimate).
    awk '/^tempo/ && $2 != 100 && !t0 { t0 = $4 } /^tempo/ && t0 && $4 <= t0 + 4 { bpm = $2 }
        END { if (t0) printf "our tempo 4 s after the first estimate: %.4f BPM\n", bpm }' "$logs/ours.log"
    grep SUMMARY "$logs/probe.log" | sed 's/^/our beat against the master: /'
    # The beat offset at 128 BPM alone: the probe's reference line (two seconds either side)
    # bends across the step, which would otherwise fill the top percent.
    python3 "$here/sync_ticks.py" offset "$logs/probe.log" 6 36
    cat "$logs/step" | sed 's/^/master steps to 140 BPM at mono /'
    step=$(awk '{print $2}' "$logs/step")
    awk -v step="$step" '/^tempo/ && $4 > step && $2 > 139 && $2 < 141 && !done \
        { printf "our tempo first within 1 BPM of 140: %.2f s after the step\n", $4 - step; done = 1 }' \
        "$logs/ours.log"
    echo "--- our tempo (CLOCK_MONOTONIC seconds) and status"
    grep -h "^tempo\|status\|running" "$logs/ours.log"
    echo "--- per beat (seconds into the probe's run)"
    grep beat_at "$logs/probe.log" | awk 'NR % 8 == 0'
    ;;
esac
awake=""
[ "${PRIVATE_JACK_KEEP_AWAKE:-0}" = 1 ] && awake=", cores kept awake"
echo "JACK: $realtime$awake, $(grep -c XRun "$logs/jackd.log") xrun lines in the server's log"
echo "logs: $logs"
