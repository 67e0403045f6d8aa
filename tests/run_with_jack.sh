#!/bin/bash
# Runs a test program against a private JACK server of its own:
#   run_with_jack.sh <test binary> [args...]
# The server (dummy driver, no sound card) gets a name of its own, so parallel runs and a user's
# running server never meet. It is stopped however the test ends, and the test's exit status is
# returned. TEMPOVANE_TEST_SERVER=pipewire runs it against a private PipeWire instead of jackd2,
# with the test program on PipeWire's libjack (as pw-jack runs it).
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 <test binary> [args...]" >&2
    exit 2
fi

# Listing the tests (CTest does it to learn their names) needs no server.
for arg in "$@"; do
    [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done

export PRIVATE_JACK_KIND=${TEMPOVANE_TEST_SERVER:-jackd}
# The program's own JACK client (in the test process, or the headless program it starts) under
# a name of this run: jackd2 names a client's socket after the client and the user, not the
# server, so two runs at once, each on a server of its own, would take each other's socket.
export TEMPOVANE_TEST_JACK_CLIENT=tempovane-$$
source "$(dirname "$0")/../tools/private_jack.sh"
log="$(mktemp -t tempovane-test.XXXXXX.log)"
finish() {
    private_jack_stop
    rm -f "$log"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Real-time where this user may have it: a frame-exact test cannot tell a late wake-up of the
# driver (an xrun that moves the time line) from a misplaced tick, and on a loaded machine may
# never find a quiet second to measure again in. For the same reason the cores are kept awake
# while the server runs (tools/private_jack.sh says why); PRIVATE_JACK_KEEP_AWAKE=0 lets them sleep.
export PRIVATE_JACK_KEEP_AWAKE=${PRIVATE_JACK_KEEP_AWAKE:-1}
# Not for the xrun tests: they hold a server of their own still on purpose, and with every core
# kept busy jackd loses or repeats a cycle at nearly every such hold (a test that then cannot
# tell its own figure would skip); with the cores free, at few.
case "$*" in *--gtest_filter=JackXrun.*) PRIVATE_JACK_KEEP_AWAKE=0 ;; esac
if ! private_jack_start tempovane-test "$log" realtime; then
    echo "run_with_jack.sh: no JACK server came up; the last one's output:" >&2
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
