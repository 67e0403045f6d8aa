#!/usr/bin/env bash
# What the window costs while it waits: the program on a virtual X display (xvfb-run) with a
# private JACK server, its CPU share over a given time with the window shown and the clock
# stopped, then again running at 120 BPM on our own virtual JACK port.
#   bench/idle_cost.sh [seconds per measurement, default 60] [build folder, default build]
# Targets: under 0.5 % of one core stopped, under 2 % running. PRIVATE_JACK_PERIOD=1024 runs the
# server with longer periods (256 frames by default): JACK wakes every client once a period.
set -u
seconds=${1:-60}
build=$(cd "${2:-build}" && pwd)
source "$(dirname "$0")/../tools/private_jack.sh"
work=$(mktemp -d -t tempovane-idle.XXXXXX)

xvfb_pid=""
cleanup() {
    # xvfb-run stopped by a signal leaves its X server running: its children go first.
    if [ -n "$xvfb_pid" ]; then
        pkill -TERM -P "$xvfb_pid" 2>/dev/null
        kill -TERM "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    fi
    stop_started
    private_jack_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
private_jack_start tempovane-idle /dev/null plain || { echo "no JACK server came up" >&2; exit 1; }

# A JACK client that does nothing but wait for its cycles, measured over the same times: the
# floor any JACK client pays on this server, whatever it does in its cycle.
reference_pid=""
if command -v jack_midi_dump >/dev/null; then
    jack_midi_dump >/dev/null 2>&1 &
    reference_pid=$!
    started+=("$reference_pid")
fi

cat >"$work/clock.ini" <<'INI'
[APPLICATION_PRESETS]
DEFAULTSPEED=120
DONTASKSAVESETTINGS=1
[MIDIOUTPORT1]
MIDIPORTNAME=JACK: Tempovane virtual port
[MIDIOUTPORT2]
MIDIPORTNAME=None
INI
# The program and the key presses share one virtual display.
cat >"$work/session.sh" <<SH
#!/bin/bash
cd "$build"
./tempovane "$work/clock.ini" &
echo \$! > "$work/pid"
wait
SH
chmod +x "$work/session.sh"
xvfb-run -a -s "-screen 0 1280x800x24" "$work/session.sh" >"$work/log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/pid" ] && break; sleep 0.1; done
pid=$(cat "$work/pid")
# xvfb-run gives the session a display and an authority file of its own.
export DISPLAY XAUTHORITY
DISPLAY=$(tr '\0' '\n' <"/proc/$pid/environ" | sed -n 's/^DISPLAY=//p')
XAUTHORITY=$(tr '\0' '\n' <"/proc/$pid/environ" | sed -n 's/^XAUTHORITY=//p')
sleep 5  # start-up done, window shown

# Time on a CPU from the scheduler's own count in nanoseconds (/proc/<pid>/task/*/schedstat),
# summed over the threads: the CPU ticks in /proc/<pid>/stat come in 10 ms steps sampled at the
# timer tick, too coarse and too biased for threads that run 20 us at a time. (A thread that
# ended in between would drop out of the sum; none come or go while the window waits.)
runtime_of() {  # nanoseconds on a CPU so far, all threads of process $1
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ n += $1 } END { print n + 0 }'
}
percent() { awk -v a="$1" -v b="$2" -v s="$seconds" 'BEGIN { printf "%.2f", 100 * (b - a) / 1e9 / s }'; }
share() {  # CPU share of the program over $seconds, in % of one core
    local a b ra=0 rb=0
    a=$(runtime_of "$pid")
    [ -n "$reference_pid" ] && ra=$(runtime_of "$reference_pid")
    snapshot >"$work/threads.before"
    sleep "$seconds"
    b=$(runtime_of "$pid")
    [ -n "$reference_pid" ] && rb=$(runtime_of "$reference_pid")
    snapshot >"$work/threads.after"
    percent "$ra" "$rb" >"$work/reference"
    percent "$a" "$b"
}
reference() {
    [ -n "$reference_pid" ] || return 0
    echo "  a bare JACK client (jack_midi_dump) over the same time: $(cat "$work/reference") %"
}
snapshot() {  # thread id, name, nanoseconds on a CPU so far, times it was switched out so far
    local t
    for t in /proc/$pid/task/*; do
        echo "$(basename "$t") $(tr ' ' '_' <"$t/comm") $(awk '{ print $1 }' "$t/schedstat")" \
            "$(awk '/ctxt_switches/ { n += $2 } END { print n + 0 }' "$t/status")"
    done
}
# IDLE_THREADS=1: each thread's share over the same time and how often it woke, to see where it
# goes. JACK's process thread (libjack's, it keeps the program's name) wakes once a cycle,
# 187.5 times a second at 48 kHz and 256 frames, whether anything is sent or not.
threads() {
    [ -n "${IDLE_THREADS:-}" ] || return 0
    join "$work/threads.before" "$work/threads.after" | awk -v s="$seconds" \
        '{ printf "  thread %s %s: %.3f %%, %.1f wake-ups/s\n", $1, $2, 100 * ($6 - $3) / 1e9 / s,
                  ($7 - $4) / s }'
}
echo "window shown, clock stopped: $(share) % of one core over ${seconds}s"
reference
threads
window=$(xdotool search --name '^TEMPOVANE' | head -n 1)
# A click on the lamp starts and stops the clock (no window manager here to give keys focus).
click_lamp() {
    eval "$(xdotool getwindowgeometry --shell "$window")"
    xdotool mousemove $((X + 48)) $((Y + 48))
    xdotool mousedown 1
    sleep 0.1
    xdotool mouseup 1
    xdotool mousemove 0 0  # no hover effects while measuring
}
click_lamp
sleep 3
# IDLE_SHOT=file.png keeps a picture of the running window, to see that it runs.
[ -n "${IDLE_SHOT:-}" ] && import -window root "$IDLE_SHOT"
echo "running at 120 BPM: $(share) % of one core over ${seconds}s"
reference
threads
click_lamp
# The program closes its JACK client as it exits; its X display and server go after that.
kill -TERM "$pid"
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
