#!/usr/bin/env bash
# The whole update, on this machine, with no product at hand: installs what is missing, builds, puts the
# emulated target on MIDI ports, runs the update program on the sample image in examples/ as a user would,
# and checks that the target's flash now holds exactly the image.
#
# The target's ports are on the ALSA sequencer when there is one, else on a JACK server: one that already
# answers, or one of our own on the dummy backend, stopped again at the end. Lines of this script start
# with "== "; everything else is the update program's own console.
set -eu
source "$(dirname "$0")/setup.sh"
source "$(dirname "$0")/flash-check.sh"
cd "$repo_root"

image=examples/ZENTRAVOX_demo.led
demo_server=update-demo
work=""
target_pid=""
update_pid=""
started_jack=0

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    # Every step of the cleanup runs, whatever the one before it returned.
    set +e
    if [ -n "$update_pid" ] && kill -0 "$update_pid" 2>/dev/null; then
        kill -TERM "$update_pid" 2>/dev/null
        wait "$update_pid" 2>/dev/null
    fi
    if [ -n "$target_pid" ] && kill -0 "$target_pid" 2>/dev/null; then
        kill -TERM "$target_pid" 2>/dev/null
        wait "$target_pid" 2>/dev/null
    fi
    if [ "$started_jack" -eq 1 ]; then
        scripts/jack-server.sh stop "$demo_server" >/dev/null 2>&1 || true
        echo "== Stopped the JACK server '$demo_server' that the demo had started"
    fi
    [ -n "$work" ] && rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

ensure_packages "${NATIVE_PACKAGES[@]}"
echo "== Building into build/"
build_native "$repo_root/build" || { echo "== The build failed; see the messages above"; exit 1; }

work=$(mktemp -d)
# No client of ours may start a JACK server behind our back; we start one ourselves if needed.
export JACK_NO_START_SERVER=1

jack_answers() { [ "$(jack_wait -c 2>/dev/null)" = "running" ]; }

if [ -r /dev/snd/seq ] && [ -w /dev/snd/seq ]; then
    echo "== MIDI: the ALSA sequencer"
elif jack_answers; then
    echo "== MIDI: the JACK server '${JACK_DEFAULT_SERVER:-default}' that is already running"
else
    echo "== MIDI: no ALSA sequencer and no JACK server here; starting a JACK server on the dummy backend"
    if ! scripts/jack-server.sh status "$demo_server" >/dev/null 2>&1; then
        scripts/jack-server.sh start "$demo_server" >/dev/null ||
            { echo "== The JACK server did not start; see ${JACK_SERVER_STATE_DIR:-/tmp}/jack-server-$demo_server.log"; exit 1; }
        started_jack=1
    fi
    export JACK_DEFAULT_SERVER=$demo_server
fi

echo "== Starting the emulated target (build/zentravox-target)"
build/zentravox-target --quiet --flash "$work/flash.bin" >"$work/target.log" 2>"$work/target.err" </dev/null &
target_pid=$!
for _ in $(seq 200); do
    grep -q '^ready:' "$work/target.log" && break
    kill -0 "$target_pid" 2>/dev/null || break
    sleep 0.05
done
if ! grep -q '^ready:' "$work/target.log"; then
    echo "== The target did not get its ports ready:"
    sed 's/^/   /' "$work/target.err"
    exit 1
fi
echo "== Target $(sed -n 's/^ready: //p' "$work/target.log")"

# The user's terminal, when there is one, so that the closing prompt really waits for a key; held on
# descriptor 3 because a command in the background would otherwise read from /dev/null.
if [ -t 0 ]; then
    exec 3<&0
elif (exec </dev/tty) 2>/dev/null; then
    exec 3</dev/tty
else
    exec 3</dev/null
fi
echo "== Running build/update in examples/"
echo
# In the background, waited for: a signal to this script is then handled at once, not after a key press.
(cd examples && exec ../build/update <&3 3<&-) &
update_pid=$!
wait "$update_pid" || true
update_pid=""
echo
echo "== The update program has ended; stopping the target"

kill -TERM "$target_pid" 2>/dev/null
wait "$target_pid" || { echo "== The target ended with an error:"; sed 's/^/   /' "$work/target.err"; exit 1; }
target_pid=""
echo "== Target $(grep '^summary: ' "$work/target.log" | sed 's/, written to .*//')"

if where=$(flash_equals_image "$work/flash.bin" "$image"); then
    echo "== Flash equals the image: $(wc -c <"$work/flash.bin") bytes"
else
    echo "== Flash differs from the image: $where"
    exit 1
fi
