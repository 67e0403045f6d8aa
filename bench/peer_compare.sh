#!/usr/bin/env bash
# Tempovane's clock side by side with x42's jack_midi_clock on one private JACK server (dummy
# driver, 48 kHz, 256 frames), each measured by a clock meter of its own in the same run:
#   bench/peer_compare.sh [build folder] [seconds per run]
# Runs 120, 300 and 2500 BPM, then 2500 BPM again with a busy loop on every core, so that the
# clock threads of both wake up late. Tempovane sends on both ports, each into its own meter;
# jack_midi_clock (fixed tempo, JACK transport rolling) into a third. Prints one markdown table:
# clocks received, lost ticks, intervals more than one frame off, jitter p50/p99/max, the tempo
# the receiver saw, and the server's xruns during the run; then, per Tempovane run, the ticks
# that reached JACK too late for their frame and the clock thread's CPU. With
# PRIVATE_JACK_KEEP_AWAKE=1 the cores are kept from sleeping during the runs (tools/private_jack.sh
# says why).
set -u
build=${1:-build}
seconds=${2:-20}
source "$(dirname "$0")/../tools/private_jack.sh"
work=$(mktemp -d -t peercompare.XXXXXX)

for tool in jackd jack_midi_clock jack_transport jack_lsp; do
    command -v "$tool" >/dev/null || { echo "peer_compare.sh: $tool is missing" >&2; exit 2; }
done
for tool in tempovane-clockmeter tempovane-clock-source; do
    [ -x "$build/$tool" ] || { echo "peer_compare.sh: $build/$tool is missing" >&2; exit 2; }
done

cleanup() {
    stop_started
    private_jack_stop
    [ -n "${KEEP_WORK:-}" ] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# As the JACK tests: real-time scheduling for the server where this user may have it.
private_jack_start tempovane-peer "$work/jackd.log" realtime || { echo "no JACK server came up" >&2; exit 1; }
realtime=${private_jack_args[*]:2}
server="jackd2 $realtime"
[ "$private_jack_kind" = pipewire ] && server="PipeWire $(pipewire --version 2>/dev/null | sed -n 's/.*libpipewire \([0-9.]*\).*/\1/p' | head -n 1)"

field() { sed -n "s/.* $2=\([^ ]*\).*/\1/p" "$1" | tail -n 1; }

# jack_midi_clock sends only while the JACK transport rolls.
printf 'play\n' | timeout 5 jack_transport >/dev/null 2>&1

row() {  # run label, source, port, meter output
    local f=$4
    if ! grep -q '^SUMMARY' "$f"; then
        printf '| %s | %s | %s | no result | | | | | | | |\n' "$1" "$2" "$3"
        return
    fi
    printf '| %s | %s | %s | %s | %s | %s | %.1f | %.1f | %.1f | %.3f | %s |\n' "$1" "$2" "$3" \
        "$(field "$f" ticks)" "$(field "$f" lost)" "$(field "$f" off_over_1_frame)" \
        "$(field "$f" jitter_p50_us)" "$(field "$f" jitter_p99_us)" "$(field "$f" jitter_max_us)" \
        "$(field "$f" received_bpm)" "$(field "$f" xruns)"
}

notes=()
run() {  # bpm, load (0 or 1)
    local bpm=$1 load=$2 label="$1 BPM" pids=() busy=() pid
    [ "$load" = 1 ] && label="$1 BPM, all cores busy"
    jack_midi_clock -b "$bpm" -B >/dev/null 2>&1 &
    local peer=$!
    started+=("$peer")
    wait_port "jack_midi_clock:mclk_out" || { echo "jack_midi_clock did not come up" >&2; return; }
    # Tempovane's meters listen a little longer than the source runs, so they see it all.
    for meter in tv1 tv2; do
        "$build/tempovane-clockmeter" --name "$meter" --bpm "$bpm" --seconds $((seconds + 2)) \
            --quiet >"$work/$meter" 2>&1 &
        pids+=($!)
        started+=($!)
        wait_port "$meter:in"
    done
    if [ "$load" = 1 ]; then
        for _ in $(seq "$(nproc)"); do
            bash -c 'while :; do :; done' &
            busy+=($!)
            started+=($!)
        done
    fi
    # The peer's meter listens for the same span as Tempovane's source sends.
    "$build/tempovane-clockmeter" --name peer --bpm "$bpm" --seconds "$seconds" \
        --connect jack_midi_clock:mclk_out --quiet >"$work/peer" 2>&1 &
    pids+=($!)
    started+=($!)
    "$build/tempovane-clock-source" --bpm "$bpm" --seconds "$seconds" \
        --port1 "JACK: tv1:in" --port2 "JACK: tv2:in" >"$work/source" 2>&1
    for pid in "${pids[@]}"; do wait "$pid"; done
    for pid in "${busy[@]}" "$peer"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    row "$label" "jack_midi_clock" "-" "$work/peer"
    row "$label" "Tempovane" "1" "$work/tv1"
    row "$label" "Tempovane" "2" "$work/tv2"
    local s="$work/source"
    notes+=("$label: Tempovane ticks late for their frame $(field "$s" late_for_their_frame), time line restarts $(field "$s" time_line_restarts), clock thread CPU $(field "$s" clock_thread_cpu_percent) % of a core, latency $(field "$s" latency_ms) ms")
}

awake=""
[ "${PRIVATE_JACK_KEEP_AWAKE:-0}" = 1 ] && awake=", cores kept awake"
echo "Side by side on one private server ($server, dummy driver, 48 kHz, 256 frames$awake), $seconds s a run"
echo
echo "| run | source | port | clocks | lost | off > 1 frame | p50 us | p99 us | max us | BPM received | xruns |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
run 120 0
run 300 0
run 2500 0
run 2500 1
echo
for note in "${notes[@]}"; do echo "- $note"; done
