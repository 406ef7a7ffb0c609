# Sourced after ../e2e/lib.sh by the scripts that run inside the guest (scripts/vm/guest.sh): the same
# cases and checks, with the target on ALSA sequencer ports instead of JACK.
#
#   vm_init [UPDATE TARGET MAKE_IMAGE] checks that the sequencer is there (exit 1: the guest is broken)
#   found_ports IN OUT                the device lines for that input and output, as the program shows them
#   start_target CLIENT [OPTION...]    the target on the sequencer's ports CLIENT-in:midi, CLIENT-out:midi
#   start_raw_target CLIENT DEVICE [OPTION...]
#                                      the target on the raw MIDI device DEVICE (hw:fmidi, hw:1,1 ...);
#                                      CLIENT names its log, flash and error files

vm_init() {
    if [ $# -eq 3 ]; then
        update=$(realpath "$1")
        target=$(realpath "$2")
        make_image=$(realpath "$3")
    fi
    # The system's own tools: a shim of a per-user tool manager on PATH costs seconds at every start
    # on the guest's emulated processor.
    export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
    # The guest has no JACK server, and a client of ours must not start one.
    export JACK_NO_START_SERVER=1
    if [ ! -e /dev/snd/seq ] || ! grep -q 'Midi Through' /proc/asound/seq/clients 2>/dev/null; then
        echo "FAILED: no ALSA sequencer with a Midi Through port in the guest"
        exit 1
    fi
    work_root=$(mktemp -d)
    cases_failed=0
    cases_passed=0
    trap e2e_cleanup EXIT
    trap 'exit 1' INT TERM
}

found_ports() {
    printf 'The Update Device is Open successfully:\\nMIDIIN Device: %s\\nMIDIOUT Device: %s\\n' "$1" "$2"
}

# The progress line of a 2048-byte image of eight records, 260 bytes each but the last (228): each step
# tells the share of the image sent before the record.
progress_2048="${step}- 0%% done${step}- 12%% done${step}\\\\ 25%% done${step}\\\\ 38%% done${step}| 50%% done\
${step}| 63%% done${step}/ 76%% done${step}/ 88%% done"

start_target() {
    local client=$1
    shift
    launch_target "$client" --api alsa --client "$client" "$@"
}

start_raw_target() {
    local client=$1 device=$2
    shift 2
    launch_target "$client" --rawmidi "$device" "$@"
}

launch_target() {
    local client=$1
    shift
    "$target" --flash "$case_dir/$client.flash" "$@" >"$case_dir/$client.log" 2>"$case_dir/$client.err" </dev/null &
    target_pids[$client]=$!
    local tries
    # Slower than on the host: the guest's processor is emulated.
    for tries in $(seq 400); do
        grep -q '^ready:' "$case_dir/$client.log" 2>/dev/null && return 0
        running "${target_pids[$client]}" || break
        sleep 0.05
    done
    problem "target $client did not get ready: $(cat "$case_dir/$client.err")"
    return 1
}

run_update() {
    aconnect -l >"$case_dir/ports-before-update.txt" 2>&1
    local started=$SECONDS
    timeout -k 5 "$UPDATE_TIMEOUT" "$update" </dev/null >"$case_dir/out.txt" 2>"$case_dir/err.txt"
    update_status=$?
    echo "update ran for about $((SECONDS - started)) s" >"$case_dir/duration.txt"
    [ "$update_status" -eq 124 ] && problem "update did not end within $UPDATE_TIMEOUT s"
}

# Starts the update in the background (update_pid) and returns once target $1 has logged record $2:
# the moment a fault case does its harm. A problem after 30 s without it.
start_update_until_record() {
    local client=$1 record=$2 tries
    timeout -k 5 "$UPDATE_TIMEOUT" "$update" </dev/null >"$case_dir/out.txt" 2>"$case_dir/err.txt" &
    update_pid=$!
    for tries in $(seq 600); do
        grep -q "^record $record\b" "$case_dir/$client.log" 2>/dev/null && return 0
        sleep 0.05
    done
    problem "the target never logged record $record"
}
