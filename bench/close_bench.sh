#!/usr/bin/env bash
# How long Tempovane takes to end when asked to, on both JACK servers, and whether it ever hangs:
#   bench/close_bench.sh [build folder] [closes per row] [servers...]
# For each server (jackd and pipewire by default; each private, see tools/private_jack.sh), the
# headless program and the window (on a virtual display) are started with the clock running into
# jack_midi_dump and ended with SIGTERM, each so many times (100 by default): once with the
# server left alone, once with the server stopped and started again just before the close (the
# program is then in the middle of finding it again). A close that takes over two seconds counts
# as a hang (the program is killed after ten). Prints one markdown table: closes, hangs, the
# slowest and the median close, and how many ended with a status other than 0.
# CLOSE_BENCH_ROWS picks rows, e.g. "window:1" (program:restarted); all four by default.
set -u
build=$(cd "${1:-build}" && pwd)
closes=${2:-100}
shift 2 2>/dev/null
servers=("$@")
[ ${#servers[@]} -eq 0 ] && servers=(jackd pipewire)
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d -t closebench.XXXXXX)
for tool in "$build/tempovane" "$build/tempovane-headless"; do
    [ -x "$tool" ] || { echo "close_bench.sh: $tool is missing" >&2; exit 2; }
done
for tool in jack_midi_dump Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "close_bench.sh: $tool is missing" >&2; exit 2; }
done

xvfb=""
cleanup() {
    [ -n "${dump:-}" ] && kill "$dump" 2>/dev/null
    private_jack_stop 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A display of our own for the window.
for display in $(seq 90 130); do
    [ -e "/tmp/.X11-unix/X$display" ] && continue
    Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    sleep 1
    kill -0 "$xvfb" 2>/dev/null && break
    xvfb=""
done
[ -n "$xvfb" ] || { echo "close_bench.sh: no virtual display came up" >&2; exit 1; }
export DISPLAY=":$display"

cat >"$work/settings.ini" <<'EOF'
[APPLICATION_PRESETS]
DEFAULTSPEED=300
DONTASKSAVESETTINGS=1
[MIDIOUTPORT1]
MIDIPORTNAME=JACK: midi-monitor:input
[MIDIOUTPORT2]
MIDIPORTNAME=None
EOF

now_ms() { echo $(($(date +%s%N) / 1000000)); }

start_dump() {
    jack_midi_dump >/dev/null 2>&1 &
    dump=$!
    wait_port midi-monitor:input
}

# One close: program (headless|window), restart (0|1). Sets took (milliseconds) and status.
one_close() {
    local program=$1 restart=$2 pid start
    # A copy of the settings each time: the window saves nothing (no question is asked on
    # SIGTERM), but a run must never see another's lock.
    cp "$work/settings.ini" "$work/run.ini"
    if [ "$program" = headless ]; then
        "$build/tempovane-headless" "$work/run.ini" --start >"$work/program.log" 2>&1 &
    else
        (cd "$build" && exec ./tempovane "$work/run.ini") >"$work/program.log" 2>&1 &
    fi
    pid=$!
    sleep 1.5
    if [ "$program" = window ]; then
        # F1 starts the clock, as a user would.
        local window
        window=$(xdotool search --onlyvisible --name TEMPOVANE 2>/dev/null | head -n 1)
        [ -n "$window" ] && xdotool windowfocus --sync "$window" key F1 2>/dev/null
        sleep 0.3
    fi
    if [ "$restart" = 1 ]; then
        kill "$dump" 2>/dev/null
        wait "$dump" 2>/dev/null
        private_jack_restart "$work/server.log" >/dev/null 2>&1
        start_dump
    fi
    start=$(now_ms)
    kill -TERM "$pid"
    for _ in $(seq 1000); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.01
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        took=10000 status=hung
        return
    fi
    took=$(($(now_ms) - start))
    wait "$pid"
    status=$?
}

source "$here/tools/private_jack.sh"
echo "Closes on private servers (dummy driver, 48 kHz, 256 frames), $closes a row, SIGTERM with the clock running"
echo
echo "| server | program | server restarted just before | closes | hangs (> 2 s) | median ms | slowest ms | status not 0 |"
echo "|---|---|---|---|---|---|---|---|"
for kind in "${servers[@]}"; do
    private_jack_kind=$kind
    private_jack_start tempovane-close "$work/server.log" realtime ||
        { echo "close_bench.sh: no $kind server came up" >&2; exit 1; }
    start_dump
    for row in ${CLOSE_BENCH_ROWS:-headless:0 headless:1 window:0 window:1}; do
            program=${row%%:*} restart=${row##*:}
            : >"$work/times"
            hangs=0 bad=0
            for _ in $(seq "$closes"); do
                one_close "$program" "$restart"
                echo "$took" >>"$work/times"
                [ "$took" -gt 2000 ] && hangs=$((hangs + 1))
                [ "$status" != 0 ] && bad=$((bad + 1))
            done
            median=$(sort -n "$work/times" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
            slowest=$(sort -n "$work/times" | tail -n 1)
            printf '| %s | %s | %s | %s | %s | %s | %s | %s |\n' "$kind" "$program" \
                "$([ "$restart" = 1 ] && echo yes || echo no)" "$closes" "$hangs" "$median" \
                "$slowest" "$bad"
    done
    kill "$dump" 2>/dev/null
    wait "$dump" 2>/dev/null
    dump=""
    private_jack_stop
done
