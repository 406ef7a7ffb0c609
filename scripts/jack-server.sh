#!/usr/bin/env bash
# A private JACK server on the dummy backend, so the RtMidi backend can be tried against real MIDI ports
# on a machine with no sound hardware.
#
#   scripts/jack-server.sh start NAME    start server NAME unless one by that name already answers
#                                        (exit status 77 when jackd is not installed)
#   scripts/jack-server.sh stop NAME     stop server NAME, only if this script started it
#   scripts/jack-server.sh status NAME   exit 0 when server NAME answers, 3 when it does not
#
# Clients pick the server with JACK_DEFAULT_SERVER=NAME. The pid and jackd's log are kept in
# ${JACK_SERVER_STATE_DIR:-/tmp}/jack-server-NAME.{pid,log}; jackd never writes to the terminal. A stop
# removes them, and the server's semaphores and shared memory in /dev/shm.
set -u

usage() {
    echo "usage: $0 start|stop|status NAME" >&2
    exit 2
}

[ $# -eq 2 ] || usage
command=$1
name=$2
case $name in
    ''|*/*|-*) echo "jack-server: bad server name '$name'" >&2; exit 2 ;;
esac

state_dir=${JACK_SERVER_STATE_DIR:-/tmp}
pid_file=$state_dir/jack-server-$name.pid
log_file=$state_dir/jack-server-$name.log

# No client of ours may start a server behind our back (libjack does that by default).
export JACK_NO_START_SERVER=1
export JACK_DEFAULT_SERVER=$name

answers() {
    # Bounded: a server that is still coming up may keep a client waiting.
    [ "$(timeout 5 jack_wait -c 2>/dev/null)" = "running" ]
}

# The recorded pid, only while it is still the jackd we started for this name.
our_pid() {
    [ -f "$pid_file" ] || return 1
    local pid
    pid=$(cat "$pid_file" 2>/dev/null) || return 1
    case $pid in ''|*[!0-9]*) return 1 ;; esac
    [ -r "/proc/$pid/cmdline" ] || return 1
    local cmdline
    cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline")
    case $cmdline in
        *jackd*" -n $name "*) echo "$pid"; return 0 ;;
    esac
    return 1
}

# One attempt: jackd in a session of its own, then up to 20 s for it to answer. A jackd that exits
# during the wait is noticed at once rather than at the end of the wait.
launch() {
    rm -f "$pid_file"
    # -S (synchronous) and a 256-frame period: on a small machine a 128-frame asynchronous server
    # misses cycles and MIDI events go with them.
    setsid jackd -n "$name" --no-realtime -S --port-max 64 -d dummy -r 48000 -p 256 \
        </dev/null >>"$log_file" 2>&1 &
    local pid=$!
    echo "$pid" >"$pid_file"
    for _ in $(seq 100); do
        if answers; then
            echo "jack-server: '$name' started (pid $pid, log $log_file)"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.2
    done
    # A jackd that ignores SIGTERM for 5 s gets SIGKILL, so a failed start never hangs here.
    kill -TERM "$pid" 2>/dev/null
    (sleep 5; kill -KILL "$pid" 2>/dev/null) &
    local watchdog=$!
    wait "$pid" 2>/dev/null
    kill "$watchdog" 2>/dev/null
    wait "$watchdog" 2>/dev/null
    rm -f "$pid_file"
    return 1
}

start() {
    if answers; then
        echo "jack-server: '$name' already running"
        return 0
    fi
    if ! command -v jackd >/dev/null 2>&1; then
        echo "jack-server: jackd is not installed" >&2
        return 77
    fi
    mkdir -p "$state_dir" || return 1
    : >"$log_file"
    # A second attempt for a start that a busy machine let time out.
    launch || { echo "== retrying" >>"$log_file"; launch; } && return 0
    echo "jack-server: '$name' did not start; the end of $log_file:" >&2
    tail -n 15 "$log_file" | sed 's/^/  | /' >&2
    return 1
}

stop() {
    local pid
    if ! pid=$(our_pid); then
        rm -f "$pid_file"
        if answers; then
            echo "jack-server: '$name' was not started by this script; left running"
        else
            echo "jack-server: '$name' not running"
        fi
        return 0
    fi
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null
        sleep 0.2
    fi
    rm -f "$pid_file" "$log_file"
    # A server that stops, and clients it outlived or that were killed, leave their semaphores and
    # shared memory behind, named after the server: remove this server's, nobody else's.
    rm -f "/dev/shm/jack_sem.$(id -u)_${name}_"* "/dev/shm/jack_${name}_"*
    echo "jack-server: '$name' stopped"
    return 0
}

status() {
    if answers; then
        if pid=$(our_pid); then
            echo "jack-server: '$name' running (pid $pid, started by this script)"
        else
            echo "jack-server: '$name' running"
        fi
        return 0
    fi
    echo "jack-server: '$name' not running"
    return 3
}

case $command in
    start) start ;;
    stop) stop ;;
    status) status ;;
    *) usage ;;
esac
