#!/bin/bash
# Runs a test program against a private JACK server of its own:
#   run_with_jack.sh <test binary> [args...]
# The server (dummy driver, no sound card, no real-time rights needed) gets a name of its own,
# so parallel runs and a user's running server never meet. It is stopped however the test ends,
# and the test's exit status is returned.
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 <test binary> [args...]" >&2
    exit 2
fi

# Listing the tests (CTest does it to learn their names) needs no server.
for arg in "$@"; do
    [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done

server="tempovane-test-$$-$RANDOM"
log="$(mktemp -t "${server}.XXXXXX.log")"
jackd_pid=""

stop_server() {
    if [ -n "$jackd_pid" ] && kill -0 "$jackd_pid" 2>/dev/null; then
        kill -TERM "$jackd_pid" 2>/dev/null
        for _ in $(seq 50); do
            kill -0 "$jackd_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$jackd_pid" 2>/dev/null
        wait "$jackd_pid" 2>/dev/null
    fi
    jackd_pid=""
    rm -f "$log"
}
trap stop_server EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# No D-Bus device reservation: the dummy driver needs no device, and a test machine often has
# no session bus.
export JACK_NO_AUDIO_RESERVATION=1
# A generous client timeout (-t, ms): on a loaded machine, or under ThreadSanitizer, a process
# callback may now and then take longer than JACK's default allows, and the server would then
# throw the client out of the graph in the middle of a test.
# Real-time scheduling where this user may have it: without it the dummy driver's thread is an
# ordinary one, and on a busy machine it wakes tens of microseconds late several times a second.
# Each such late wake is an xrun that restarts the driver's time line a frame or two further on,
# which a frame-exact test cannot tell from a misplaced tick (it then measures again, and on a
# loaded machine may never find a quiet second). Real-time threads wake on time.
realtime="--no-realtime"
if command -v chrt >/dev/null 2>&1 && chrt -f 10 true 2>/dev/null; then
    realtime="--realtime"
fi
jackd -n "$server" -t 5000 $realtime -d dummy -r 48000 -p 256 >"$log" 2>&1 &
jackd_pid=$!

export JACK_DEFAULT_SERVER="$server"
ready=0
for _ in $(seq 100); do
    if ! kill -0 "$jackd_pid" 2>/dev/null; then
        break
    fi
    if timeout 5 jack_lsp >/dev/null 2>&1; then
        ready=1
        break
    fi
    sleep 0.1
done
if [ "$ready" != 1 ]; then
    echo "run_with_jack.sh: the JACK server \"$server\" did not come up; its output:" >&2
    cat "$log" >&2
    exit 1
fi

"$@"
status=$?
if [ "$status" != 0 ]; then
    echo "run_with_jack.sh: the test failed; the last lines of the JACK server's output:" >&2
    tail -n 30 "$log" >&2
fi
exit "$status"
