#!/bin/bash
# Link's own test plan (TEST-PLAN.md of the Link repository), the cases TEMPO-4, BEATTIME-1 and
# STARTSTOPSTATE-2, run as a user would: LinkHut (ableton-link-utils) in a terminal of its own
# with keys typed into it, our clock path (tempovane-sync-source, what the window does without
# the window), tempovane-linkprobe as a listening peer, jack_midi_dump on our output; a private
# JACK server, in a private network namespace (loopback only), so nothing leaves the machine.
#   bench/link_test_plan.sh [build dir] [case ...]   cases: tempo4 beattime1 startstop2 (all)
# Logs go to /tmp/tempovane-link-plan.*; each case prints its figures.
set -u
build=$(cd "${1:-build}" && pwd)
shift || true
cases=("$@")
[ ${#cases[@]} -eq 0 ] && cases=(tempo4 beattime1 startstop2)
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${LINK_PLAN_IN_NETNS:-}" ]; then
    export LINK_PLAN_IN_NETNS=1
    if [ "$(id -u)" -eq 0 ]; then exec unshare -n "$0" "$build" "${cases[@]}"; fi
    exec unshare -r -n "$0" "$build" "${cases[@]}"
fi
ip link set lo up
ip route add 224.0.0.0/4 dev lo

source "$here/../tools/private_jack.sh"
logs=$(mktemp -d /tmp/tempovane-link-plan.XXXXXX)
private_jack_start tempovane-plan "$logs/jackd.log" realtime || { echo "no JACK server came up" >&2; exit 1; }
pids=()
stop_all() {
    for p in "${pids[@]}"; do kill -INT "$p" 2>/dev/null; done
    sleep 0.5
    pids=()
}
trap 'stop_all; private_jack_stop' EXIT
cd "$build"

# LinkHut in a terminal of its own, reading keys from a fifo. type KEYS NAME [SECONDS A KEY]
linkhut_start() {
    rm -f "$logs/keys"
    mkfifo "$logs/keys"
    script -qfc LinkHut /dev/null <"$logs/keys" >"$logs/linkhut-$1.log" 2>&1 &
    pids+=($!)
    exec 3>"$logs/keys"
    sleep 1
}
type() {
    python3 -c 'import os, sys, time
fd = os.open(sys.argv[1], os.O_WRONLY)
for c in sys.argv[2]:
    os.write(fd, c.encode())
    time.sleep(float(sys.argv[4]))
print("key %s mono %.6f" % (sys.argv[3], time.clock_gettime(time.CLOCK_MONOTONIC)))' \
        "$logs/keys" "$1" "$2" "${3:-0.1}" | tee -a "$logs/keys.log"
}
# LinkHut's own state line (Link on, peers, start/stop sync, playing) as it changed, with how
# many of its redraws (about 10 ms each) it stayed.
linkhut_states() {
    tr '\r' '\n' <"$1" | grep -a "^\(yes\|no\) " | awk -F'|' '{print $1 "|" $2 "|" $4}' |
        sed 's/  */ /g' | uniq -c | awk '{c = $1; $1 = ""; printf "LinkHut:%s (%d redraws)\n", $0, c}'
}
linkhut_quit() {
    type q quit >/dev/null
    exec 3>&-
    sleep 0.5
}

tempo4() {
    echo "=== TEMPO-4: LinkHut plays, we play in its session with limits 60 to 200 BPM;"
    echo "    LinkHut goes to 20 BPM, then to 999 BPM"
    linkhut_start tempo4
    type a link_on >/dev/null
    type ' ' hut_play >/dev/null
    ./tempovane-linkprobe --name probe --seconds 94 >"$logs/probe-tempo4.log" 2>&1 &
    pids+=($!)
    sleep 1
    ./tempovane-sync-source --port1 "JACK: probe:in" --link --limits 60:200 --bpm 100 \
        --at 2:f1 --seconds 90 >"$logs/ours-tempo4.log" 2>&1 &
    pids+=($!)
    sleep 10
    # More keys than steps: LinkHut stops at 20 and 999, and a key typed before its last tempo
    # change has reached the session counts from the same tempo again.
    type "$(printf 'w%.0s' $(seq 130))" hut_to_20 0.04
    sleep 15
    type "$(printf 'e%.0s' $(seq 1200))" hut_to_999 0.03
    wait "${pids[-1]}"
    linkhut_quit
    stop_all
    python3 - "$logs/ours-tempo4.log" "$logs/probe-tempo4.log" <<'PY'
import sys
ours, probe = sys.argv[1], sys.argv[2]
for line in open(ours):
    if line.startswith(("status", "running", "peers", "action")):
        print("ours:", line.rstrip())
# Our beats against the session's grid, by the session's tempo: where each beat of ours lands in
# the session's bar, and how far from the nearest point of the grid our beats belong on (every
# session beat when we run at a half, a quarter ... of its tempo; every quarter of a session
# beat when we run at four times it).
import math
groups = {}
for line in open(probe):
    f = line.split()
    if not f or f[0] != "beat" or len(f) < 12:
        continue
    session, measured, bar_beat = float(f[5]), float(f[7]), float(f[9])
    if measured <= 0:
        continue
    step = 2.0 ** round(math.log2(session / measured))  # session beats in a beat of ours
    unit = min(step, 1.0)
    off_us = (bar_beat - round(bar_beat / unit) * unit) * 60e6 / session
    groups.setdefault(round(session, 1), []).append((measured, off_us))
for session, beats in groups.items():
    settled = beats[2:]  # the change itself and the beat after it
    if len(settled) < 6:  # passed through while LinkHut's tempo was being typed
        continue
    offs = sorted(abs(o) for _, o in settled)
    tempos = [m for m, _ in settled]
    print("session %.1f BPM: %d beats of ours, our tempo (measured over each beat) %.3f to %.3f "
          "BPM, off our grid on the session's beats p50 %.0f us, max %.0f us"
          % (session, len(settled), min(tempos), max(tempos), offs[len(offs) // 2], offs[-1]))
PY
    grep SUMMARY "$logs/probe-tempo4.log"
}

beattime1() {
    echo "=== BEATTIME-1: we play alone (Start every bar), switch Link on and off twice, no peer"
    jack_midi_dump -a oursdump >"$logs/dump-beattime1.log" 2>&1 &
    local dump=$!
    sleep 0.5
    ./tempovane-sync-source --port1 "JACK: oursdump:input" --type "Start every bar" --bpm 120 \
        --at 1:f1 --at 6.3:link --at 12.1:unlink --at 17.7:link --at 23.2:unlink \
        --seconds 28 >"$logs/ours-beattime1.log" 2>&1
    kill -INT "$dump" 2>/dev/null
    sleep 0.3
    grep -h "action\|status" "$logs/ours-beattime1.log" | sed 's/^/ours: /'
    python3 - "$logs/dump-beattime1.log" <<'PY'
import sys
events = []
for line in open(sys.argv[1], errors="replace"):
    head, _, body = line.partition(":")
    if head.strip().isdigit():
        events.append((int(head), body.strip().lower()))
ticks = [f for f, b in events if b == "f8"]
nominal = 48000 * 60 / (120 * 24)
dev = [abs((b - a) - nominal) for a, b in zip(ticks, ticks[1:])]
bars, count = [], None
for f, b in events:
    if b == "fa":
        if count is not None:
            bars.append(count)
        count = 0
    elif b == "f8" and count is not None:
        count += 1
print("clocks %d, every interval within %.1f frames of %.0f (largest off: %s frames)"
      % (len(ticks), max(dev), nominal, ", ".join("%.0f" % d for d in sorted(dev)[-3:])))
if bars and bars[0] == 0:
    bars = bars[1:]  # F1's own Start, then the first bar line's right after it
print("bars (clocks from one Start to the next): %d, lengths %s"
      % (len(bars), sorted(set(bars))))
PY
}

startstop2() {
    echo "=== STARTSTOPSTATE-2: LinkHut plays with Link and start/stop sync on; we join ten"
    echo "    times, then start, stop and start"
    linkhut_start startstop2
    type a link_on >/dev/null
    type s sync_on >/dev/null
    type ' ' hut_play >/dev/null
    ./tempovane-linkprobe --name probe --seconds 64 >"$logs/probe-startstop2.log" 2>&1 &
    pids+=($!)
    sleep 1
    local at=()
    for k in $(seq 0 9); do at+=(--at "$((2 + 4 * k)):link" --at "$((5 + 4 * k)):unlink"); done
    ./tempovane-sync-source --port1 "JACK: probe:in" --bpm 120 "${at[@]}" --at 43:link \
        --at 47:f1 --at 53:f1 --at 57:f1 --seconds 61 >"$logs/ours-startstop2.log" 2>&1 &
    pids+=($!)
    wait "${pids[-1]}"
    linkhut_quit
    stop_all
    python3 - "$logs/ours-startstop2.log" "$logs/probe-startstop2.log" <<'PY'
import sys
ours, probe = sys.argv[1], sys.argv[2]
joins, started, running, t_link = 0, 0, False, None
lines = [l.split() for l in open(ours)]
for f in lines:
    if f[:2] == ["action", "link"]:
        joins += 1
        t_link = float(f[3])
    elif f[:2] == ["action", "f1"]:
        t_link = None  # our own start from here on
    elif f[0] == "running" and f[1] == "1" and t_link is not None:
        started += 1
print("joins while LinkHut played: %d, of them started our clock: %d" % (joins, started))
print("\n".join("ours: " + " ".join(f) for f in lines
                if f[0] in ("action", "running") and f[1] in ("f1", "0", "1")))
events = [l.split() for l in open(probe) if l.startswith("event playing") or l.startswith("event start") or l.startswith("event stop")]
print("\n".join("probe: " + " ".join(e) for e in events))
# Our first beats after each of our starts: where in the session's bar they land.
beats = [l.split() for l in open(probe) if l.startswith("beat ")]
firsts = [b for b in beats if b[1] == "0"]
for b in firsts:
    print("our first beat after a Start: session bar beat %s, %s us from the session's beat"
          % (b[9], b[3]))
PY
    grep SUMMARY "$logs/probe-startstop2.log"
    linkhut_states "$logs/linkhut-startstop2.log"
}

for c in "${cases[@]}"; do "$c"; done
echo "JACK: $(grep -c XRun "$logs/jackd.log") xrun lines in the server's log; logs: $logs"
