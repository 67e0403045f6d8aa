#!/bin/bash
# Runs a test program in a private network namespace of its own, with only the loopback
# interface up and multicast routed to it, so Link peers find each other there and nothing ever
# leaves through the machine's real interfaces:
#   run_in_netns.sh <test binary> [args...]
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 <test binary> [args...]" >&2
    exit 2
fi
# Listing the tests (CTest does it to learn their names) needs no namespace.
for arg in "$@"; do
    [ "$arg" = "--gtest_list_tests" ] && exec "$@"
done

# root makes the namespace directly; anyone else as root of a user namespace of their own.
if [ "$(id -u)" -eq 0 ]; then
    unshare_args=(-n)
else
    unshare_args=(-r -n)
fi
exec unshare "${unshare_args[@]}" bash -c '
    ip link set lo up && ip route add 224.0.0.0/4 dev lo || {
        echo "run_in_netns.sh: cannot set up the private network" >&2
        exit 1
    }
    exec "$@"' run_in_netns "$@"
