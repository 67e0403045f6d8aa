#!/usr/bin/env bash
# Soak: the headless program at 2500 BPM on both ports through a private JACK server for a given
# time, while 1000 input messages a second arrive and a tempo controller swings the tempo between
# 2400 and 2500 BPM every second.
#   bench/soak.sh [seconds, default 3600] [build folder, default build]
# Reports ticks sent (the program's count) and received on each port, lost ticks (sent but never
# received), ticks the program dropped, late deliveries (a spacing over 1.5 ticks at the
# receiver) and where the missing ticks were (the first or last second of the clock, near an xrun of the JACK graph, elsewhere),
# the server's xruns, the program's resident memory every minute and its CPU share over the run.
# PRIVATE_JACK_KEEP_AWAKE=1 keeps the cores from sleeping meanwhile.
set -u
seconds=${1:-3600}
build=$(cd "${2:-build}" && pwd)
source "$(dirname "$0")/../tools/private_jack.sh"
work=$(mktemp -d -t tempovane-soak.XXXXXX)
hz=$(getconf CLK_TCK)

cleanup() {
    stop_started
    private_jack_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Real-time where this user may have it (as a JACK user would run it); a non-real-time dummy
# driver on a busy machine misses cycles, which the soak would then count against us.
private_jack_start tempovane-soak "$work/jackd.log" realtime 70 || { echo "no JACK server came up" >&2; exit 1; }

"$build/tempovane-soak-probe" --rate 1000 --name soakprobe >"$work/probe.log" 2>&1 &
probe_pid=$!
started+=("$probe_pid")
wait_port soakprobe:out

# The program runs in place from a folder of its own, where its input map lives.
mkdir -p "$work/indrv" "$work/outdrv"
cp "$build/tempovane-headless" "$work/"
cat >"$work/indrv/Soak.ini" <<'INI'
; CC 20 sets 2400 + its value in BPM; everything else passes through the map unmatched.
[SPECIAL_COMMANDS]
INPUT0=B014E0
ACTION0=10000
[CUSTOMRANGE_TRANSFORMS]
RANGEMIN_E0=00
RANGEMAX_E0=7F
RANGEMULTIPLIER_E0=1
RANGEOFFSET_E0=2400
INI
cat >"$work/clockpresets.ini" <<'INI'
[APPLICATION_PRESETS]
DEFAULTSPEED=2500
BPMMINIMUM=20
BPMMAXIMUM=2500
SHOWFLASHING=1
[MIDIOUTPORT1]
MIDIPORTNAME=JACK: soakprobe:in1
[MIDIOUTPORT2]
MIDIPORTNAME=JACK: soakprobe:in2
[MIDIINPORT1]
MIDIPORTNAME=JACK: soakprobe:out
DEVICETYPE=Soak
INI
(cd "$work" && exec ./tempovane-headless --headless clockpresets.ini --start 2>"$work/headless.log") &
pid=$!
started+=("$pid")

cpu() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
sleep 1
cpu_start=$(cpu "$pid")
t_start=$(date +%s.%N)
awake=""
[ "${PRIVATE_JACK_KEEP_AWAKE:-0}" = 1 ] && awake=", cores kept awake (tools/private_jack.sh)"
echo "soak: ${seconds}s at 2500 BPM on both ports, 1000 input messages/s, tempo swing every second$awake"
echo "minute  rss_kB"
printf '%6d  %s\n' 0 "$(rss "$pid")"
elapsed=0
minute=0
while [ "$elapsed" -lt "$seconds" ]; do
    step=$(( seconds - elapsed < 60 ? seconds - elapsed : 60 ))
    sleep "$step"
    elapsed=$(( elapsed + step ))
    kill -0 "$pid" 2>/dev/null || { echo "the program ended early:"; cat "$work/headless.log"; exit 1; }
    if [ "$step" -eq 60 ]; then minute=$((minute + 1)); printf '%6d  %s\n' "$minute" "$(rss "$pid")"; fi
done
cpu_end=$(cpu "$pid")
t_end=$(date +%s.%N)
kill -TERM "$pid"
wait "$pid"
status=$?
sleep 0.5
kill -TERM "$probe_pid"
wait "$probe_pid"
started=()

sent=$(grep -o 'Clock ticks sent since the last start: [0-9]*' "$work/headless.log" | grep -o '[0-9]*$')
dropped=$(grep -o 'Clock ticks dropped since the last start[^:]*: [0-9]*' "$work/headless.log" | grep -o '[0-9]*$')
final=$(grep '^final' "$work/probe.log")
echo "exit status: $status"
echo "program CPU: $(awk -v a="$cpu_start" -v b="$cpu_end" -v s="$t_start" -v e="$t_end" -v hz="$hz" \
    'BEGIN { printf "%.2f %% of one core", 100 * (b - a) / hz / (e - s) }')"
echo "probe: $final"
for port in 1 2; do
    received=$(echo "$final" | grep -o "port$port ticks=[0-9]*" | grep -o '[0-9]*$')
    late=$(echo "$final" | grep -o "port$port ticks=[0-9]* starts=[0-9]* stops=[0-9]* gaps=[0-9]*" | grep -o '[0-9]*$')
    where=$(grep "^where port$port " "$work/probe.log" | sed 's/^where port[0-9] //')
    net=$(echo "$where" | grep -o -E '(first_second|last_second|at_xruns|elsewhere)=-?[0-9]+' | awk -F= '{ n += $2 } END { print n + 0 }')
    echo "port $port: ticks sent ${sent:-?}, received ${received:-?}, lost $(( ${sent:-0} - ${received:-0} )), late deliveries ${late:-?}"
    echo "  $where"
    # Sent is what the program handed to its ports; ticks it dropped (its clock thread held up
    # past the late-tick limit) are counted apart and are not in it. Lost is exact; where the receiver's
    # time line has its holes says where they went missing (a late tick spread after a gap
    # still shows as a hole there, so holes can outnumber the lost).
    lost=$(( ${sent:-0} - ${received:-0} ))
    echo "  ticks the program dropped (its clock thread woke too late to send them): ${dropped:-?}"
    echo "  holes in the receiver's time line ${net:-0} (gaps less the ticks bunched right after them), lost $lost"
done
grep '^where disturbances' "$work/probe.log"
echo "JACK server xruns: $(grep -ci xrun "$work/jackd.log")"
grep -v 'Running ...' "$work/headless.log" | tail -n 6
