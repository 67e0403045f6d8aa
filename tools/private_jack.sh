# A private JACK server for a test run or a benchmark (dummy driver, 48 kHz, 256 frames a period
# unless PRIVATE_JACK_PERIOD says otherwise), under a name of its own so that parallel runs and a
# user's own server never meet. Two kinds, by PRIVATE_JACK_KIND: jackd (jackd2, the default) and
# pipewire (PipeWire with WirePlumber, whose own libjack the clients then load). Sourced, not run:
#   source tools/private_jack.sh
#   private_jack_start PREFIX LOGFILE [realtime|plain] [priority]   (0: up; 1: none came up)
#   private_jack_stop
# After a start, JACK_DEFAULT_SERVER names the server for every client the script starts and
# private_jack_pid is its process. With PRIVATE_JACK_KEEP_AWAKE=1 the cores are kept awake for as
# long as the server runs (see keep_cores_awake).

# No D-Bus device reservation (the dummy driver needs no device, and a test machine often has no
# session bus), and no client may start a server of its own by accident.
export JACK_NO_START_SERVER=1 JACK_NO_AUDIO_RESERVATION=1
private_jack_pid=""
private_jack_name=""
private_jack_args=()
private_jack_kind=${PRIVATE_JACK_KIND:-jackd}

# Whether the server answers a client. Not jack_lsp: its client is always "lsp", and jackd2
# names a client's socket after the client and the user, not the server, so two runs asking
# their own servers at once would take each other's socket.
private_jack_answers() {
    timeout 5 jack_wait -c -n "probe-$$-$RANDOM" 2>/dev/null | grep -qx running
}

# realtime: real-time scheduling where this user may have it. Without it the dummy driver's
# thread is an ordinary one, and on a busy machine it wakes late several times a second; each such
# late wake is an xrun that moves JACK's time line against its frames. plain: never real-time.
# The client timeout (-t 5000 ms) is generous: on a loaded machine, or under ThreadSanitizer, a
# process callback may now and then take longer than JACK's default allows, and the server would
# throw the client out of the graph in the middle of a run.
private_jackd_start() {
    local prefix=$1 log=$2 mode=${3:-realtime} priority=${4:-} try
    private_jack_args=(-t 5000 --no-realtime)
    if [ "$mode" = realtime ] && command -v chrt >/dev/null 2>&1 &&
        chrt -f 10 true 2>/dev/null; then
        private_jack_args=(-t 5000 --realtime)
        [ -n "$priority" ] && private_jack_args+=(-P "$priority")
    fi
    # JACK's registry of servers is shared by the machine and has eight places: when it is full
    # for a while (other runs), try again with a new name.
    for try in 1 2 3 4 5 6 7 8 9 10; do
        private_jack_name="$prefix-$$-$RANDOM"
        export JACK_DEFAULT_SERVER=$private_jack_name
        jackd -n "$private_jack_name" "${private_jack_args[@]}" -d dummy -r 48000 \
            -p "${PRIVATE_JACK_PERIOD:-256}" >"$log" 2>&1 &
        private_jack_pid=$!
        for _ in $(seq 100); do
            kill -0 "$private_jack_pid" 2>/dev/null || break
            if private_jack_answers; then
                [ "${PRIVATE_JACK_KEEP_AWAKE:-0}" = 1 ] && keep_cores_awake
                return 0
            fi
            sleep 0.1
        done
        private_jackd_stop
        [ "$try" -lt 10 ] && sleep 3
    done
    return 1
}

# Stops the server gently; one that does not stop within fifteen seconds (it may wait out the
# client timeout for a client that died) is killed, and since a killed server leaves its place
# in JACK's registry taken (after a few, no server starts any more), a server of the same name
# is started and stopped once more: that frees the place. The semaphores its clients left in
# /dev/shm, named after this server alone, go too.
private_jackd_stop() {
    [ -n "$private_jack_pid" ] || return 0
    local pid=$private_jack_pid killed=0
    private_jack_pid=""
    let_cores_sleep
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 150); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null
        killed=1
    fi
    wait "$pid" 2>/dev/null
    # A server that had to be killed, or that died by itself on the way out (jackd2 now and then
    # does, when a client leaves as it stops), is still listed in JACK's shared registry.
    if [ "$killed" = 1 ] || grep -qaF ":$private_jack_name:" /dev/shm/jack-shm-registry 2>/dev/null; then
        jackd -n "$private_jack_name" "${private_jack_args[@]}" -d dummy -r 48000 \
            -p "${PRIVATE_JACK_PERIOD:-256}" >/dev/null 2>&1 &
        pid=$!
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            private_jack_answers && break
            sleep 0.1
        done
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -f /dev/shm/jack_sem.*_"$private_jack_name"_* 2>/dev/null
}

# PipeWire as a desktop runs it: the daemon, its session manager WirePlumber and a session bus
# of their own, in a runtime folder of their own (so the daemon's socket, "pipewire-0" there, is
# this run's alone), with a configuration drop-in that fixes the rate and the period. Clients load
# PipeWire's libjack (what pw-jack does) through LD_LIBRARY_PATH, which the script exports. The
# daemons' configuration and state go to the same folder, which stop removes: nothing is left.
private_pipewire_dir=""
private_pipewire_pids=()
private_pipewire_start() {
    local prefix=$1 log=$2 tool dir bus period=${PRIVATE_JACK_PERIOD:-256}
    : >"$log"
    for tool in pipewire wireplumber dbus-daemon; do
        command -v "$tool" >/dev/null 2>&1 || { echo "private_jack.sh: $tool is missing" >>"$log"; return 1; }
    done
    dir=$(mktemp -d -t "$prefix-pw.XXXXXX") || return 1
    private_pipewire_dir=$dir
    mkdir -p -m 700 "$dir/run"
    mkdir -p "$dir/config/pipewire/pipewire.conf.d" "$dir/state"
    printf 'context.properties = {\n    default.clock.rate = 48000\n    default.clock.allowed-rates = [ 48000 ]\n    default.clock.quantum = %s\n    default.clock.min-quantum = %s\n    default.clock.max-quantum = %s\n}\n' \
        "$period" "$period" "$period" >"$dir/config/pipewire/pipewire.conf.d/90-private.conf"
    export XDG_RUNTIME_DIR=$dir/run
    # For a program that starts PipeWires of its own beside this one (a test stopping and
    # restarting its server): the same settings, the same folder.
    export PRIVATE_PIPEWIRE_HOME=$dir
    bus=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1 2>>"$log") || return 1
    export DBUS_SESSION_BUS_ADDRESS=${bus%%$'\n'*}
    private_pipewire_pids=("${bus##*$'\n'}")
    private_pipewire_daemons "$log" || return 1
    private_jack_name=pipewire-0
    export JACK_DEFAULT_SERVER=$private_jack_name
    # What pw-jack does: every JACK client this script starts talks to PipeWire.
    LD_LIBRARY_PATH='/usr/${LIB}/pipewire-0.3/jack'"${LD_LIBRARY_PATH+":$LD_LIBRARY_PATH"}"
    export LD_LIBRARY_PATH
    for _ in $(seq 100); do
        kill -0 "$private_jack_pid" 2>/dev/null || return 1
        if private_jack_answers; then
            [ "${PRIVATE_JACK_KEEP_AWAKE:-0}" = 1 ] && keep_cores_awake
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# PipeWire and WirePlumber in the folder made by private_pipewire_start (again, after a restart).
private_pipewire_daemons() {
    local log=$1 dir=$private_pipewire_dir
    XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$dir/state pipewire >>"$log" 2>&1 &
    private_jack_pid=$!
    private_pipewire_pids+=("$private_jack_pid")
    for _ in $(seq 100); do
        [ -S "$dir/run/pipewire-0" ] && break
        kill -0 "$private_jack_pid" 2>/dev/null || return 1
        sleep 0.05
    done
    XDG_CONFIG_HOME=$dir/config XDG_STATE_HOME=$dir/state wireplumber >>"$log" 2>&1 &
    private_pipewire_pids+=($!)
}

# Stops WirePlumber, PipeWire and the bus by their process ids (a daemon that does not stop
# within five seconds is killed) and removes the folder with everything they wrote.
private_pipewire_stop() {
    local pid i
    let_cores_sleep
    for ((i = ${#private_pipewire_pids[@]} - 1; i >= 0; i--)); do
        pid=${private_pipewire_pids[i]}
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    private_pipewire_pids=()
    private_jack_pid=""
    [ -n "$private_pipewire_dir" ] && rm -rf "$private_pipewire_dir"
    private_pipewire_dir=""
}

private_jack_start() {
    if [ "$private_jack_kind" = pipewire ]; then
        private_pipewire_start "$@"
    else
        private_jackd_start "$@"
    fi
}
private_jack_stop() {
    if [ "$private_jack_kind" = pipewire ]; then
        private_pipewire_stop
    else
        private_jackd_stop
    fi
}

# The same server stopped in good order and started again under its name, as a user does with
# a control panel; clients that stay (the program under test) find it again by themselves.
#   private_jack_restart LOGFILE   (0: back; 1: it did not come back)
private_jack_restart() {
    local log=$1 pid
    if [ "$private_jack_kind" = pipewire ]; then
        for pid in "${private_pipewire_pids[@]:1}"; do kill -TERM "$pid" 2>/dev/null; done
        for pid in "${private_pipewire_pids[@]:1}"; do wait "$pid" 2>/dev/null; done
        private_pipewire_pids=("${private_pipewire_pids[0]}")
        private_pipewire_daemons "$log" || return 1
    else
        kill -TERM "$private_jack_pid" 2>/dev/null
        wait "$private_jack_pid" 2>/dev/null
        jackd -n "$private_jack_name" "${private_jack_args[@]}" -d dummy -r 48000 \
            -p "${PRIVATE_JACK_PERIOD:-256}" >>"$log" 2>&1 &
        private_jack_pid=$!
    fi
    for _ in $(seq 100); do
        timeout 5 jack_lsp >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# On a virtual machine an idle core sleeps in the hypervisor, and waking it for the server's
# next cycle can take milliseconds: most of the server xruns seen on the shared test machine went
# whenever every core had work (a bench row with a busy loop per core ran without one, the
# plain rows beside it had 5 to 60 in 20 s). A real-time audio machine is set up so that its
# cores never sleep deeply (the firmware's C-states, /dev/cpu_dma_latency); where neither can be
# reached, a busy loop per core at the lowest scheduling class does the same: it runs only when
# nothing else wants the core, so it takes no time from the server or its clients.
# Each loop also ends by itself once the script that started it is gone, even one killed
# without a chance to clean up (a test timed out). Under a CPU quota (a container given a share
# of a bigger machine) the loops would spend the quota, and the scheduler would then hold every
# thread of the group still for the rest of its period: there the cores are left to sleep.
cpu_quota_set() {
    local own max path file
    # cgroup v2: cpu.max of the process's own group and of every group above it.
    own=$(sed -n 's/^0:://p' /proc/self/cgroup 2>/dev/null)
    path=$own
    while :; do
        if [ -r "/sys/fs/cgroup$path/cpu.max" ]; then
            read -r max _ <"/sys/fs/cgroup$path/cpu.max"
            [ "$max" != max ] && return 0
        fi
        [ -z "$path" ] || [ "$path" = / ] && break
        path=${path%/*}
    done
    # cgroup v1: cpu.cfs_quota_us, likewise.
    own=$(sed -n 's/^[0-9]*:\(cpu\|cpu,cpuacct\|cpuacct,cpu\):\(.*\)$/\2/p' /proc/self/cgroup 2>/dev/null)
    path=$own
    while :; do
        for file in "/sys/fs/cgroup/cpu$path/cpu.cfs_quota_us" \
            "/sys/fs/cgroup/cpu,cpuacct$path/cpu.cfs_quota_us"; do
            if [ -r "$file" ]; then
                read -r max <"$file"
                [ "${max:--1}" -gt 0 ] 2>/dev/null && return 0
                break
            fi
        done
        [ -z "$path" ] || [ "$path" = / ] && break
        path=${path%/*}
    done
    return 1
}
keep_awake_pids=()
keep_cores_awake() {
    local i
    if cpu_quota_set; then
        echo "private_jack.sh: a CPU quota is set; the cores are left to sleep" >&2
        return 0
    fi
    for ((i = 0; i < $(nproc); i++)); do
        chrt -i 0 nice -n 19 bash -c \
            'while kill -0 "$1" 2>/dev/null; do for ((j = 0; j < 100000; j++)); do :; done; done' \
            keep-awake $$ &
        keep_awake_pids+=($!)
    done
}
let_cores_sleep() {
    local pid
    for pid in "${keep_awake_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${keep_awake_pids[@]}"; do wait "$pid" 2>/dev/null; done
    keep_awake_pids=()
}

# Every process a script starts, by id (started+=($!)): stop_started stops these and nothing
# else, so a user's own monitors and meters on the machine are left alone.
started=()
stop_started() {
    local pid
    for pid in "${started[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${started[@]}"; do wait "$pid" 2>/dev/null; done
    started=()
}

# Waits up to ten seconds for a port of that full name to be listed; 1 if it never is.
wait_port() {
    for _ in $(seq 100); do
        jack_lsp | grep -qx "$1" && return 0
        sleep 0.1
    done
    return 1
}
