#!/usr/bin/env bash
# The fault matrix: the real `update` program over real JACK ports against `zentravox-target` while
# things go wrong on the target's side or in the MIDI system. In every case the program must end within
# its bounds, print the ending that fits, exit 0 with nothing on stderr, and, whenever it reports
# success, the target's flash must hold exactly the image. Ends with one line of figures.
# Usage: fault_matrix.sh UPDATE TARGET MAKE_IMAGE JACK_SERVER_SCRIPT
source "$(dirname "$0")/../e2e/lib.sh"
jack_server_script=$(realpath "$4")
e2e_init "$1" "$2" "$3"

false_successes=0 hangs=0 bytes_lost=0

readonly ENDING_SUCCESS="success"
readonly ENDING_MISSING="output missing"
readonly ENDING_SILENT="not responding"
readonly ENDING_REFUSED="error in updating"

ending_of() {   # the way the run ended, from its transcript
    if grep -q 'Target update successfully!' "$case_dir/out.txt"; then echo "$ENDING_SUCCESS"
    elif grep -q 'Error: The MIDI Out of device is missing!' "$case_dir/out.txt"; then echo "$ENDING_MISSING"
    elif grep -q 'Failed: Target is not responding.' "$case_dir/out.txt"; then echo "$ENDING_SILENT"
    elif grep -q 'Error in updating.' "$case_dir/out.txt"; then echo "$ENDING_REFUSED"
    else echo "unknown"; fi
}

# Bytes of the image that the flash does not hold, counted from the first difference.
missing_bytes() {   # FLASH IMAGE
    local where size same
    where=$(flash_equals_image "$1" "$2") && { echo 0; return; }
    size=$(image_bytes "$2" | wc -c)
    case $where in
        *" differ: byte "*) same=${where#* differ: byte }; same=$((${same%%,*} - 1)) ;;
        *" after byte "*) same=${where#* after byte }; same=${same%%[!0-9]*} ;;   # one ends where the other goes on
        *) same=0 ;;   # no flash, or an empty one
    esac
    echo $((size > same ? size - same : 0))
}

# Judges the finished run: ALLOWED is a list of endings separated by '|'.
judge() {   # ALLOWED CLIENT IMAGE
    local allowed=$1 client=$2 image=$3 ending lost
    if [ "$update_status" -eq 124 ]; then
        hangs=$((hangs + 1))
        return
    fi
    ending=$(ending_of)
    case_name="$case_name: $ending"
    case "|$allowed|" in *"|$ending|"*) ;; *) problem "ended with '$ending', expected one of: $allowed" ;; esac
    [ "$update_status" -eq 0 ] || problem "update exited with status $update_status"
    [ -s "$case_dir/err.txt" ] && problem "update wrote to stderr: $(head -c 300 "$case_dir/err.txt")"
    grep -q 'Press any key to continue' "$case_dir/out.txt" || problem "no key-press prompt at the end"
    if [ "$ending" = "$ENDING_SUCCESS" ]; then
        lost=$(missing_bytes "$case_dir/$client.flash" "$image")
        if [ "$lost" -ne 0 ]; then
            false_successes=$((false_successes + 1))
            bytes_lost=$((bytes_lost + lost))
            problem "success was reported, but the flash lacks $lost bytes of the image"
        fi
    fi
}

# The program in the background, so that the fault can strike during the transfer.
start_update() {
    wait_for_update_lock
    timeout -k 5 "$UPDATE_TIMEOUT" "$update" </dev/null >"$case_dir/out.txt" 2>"$case_dir/err.txt" &
    update_pid=$!
}
wait_update() { wait "$update_pid"; update_status=$?; }

# Waits until the target has logged record N.
wait_for_record() {   # CLIENT N
    local tries
    for tries in $(seq 400); do
        grep -q "^record $2\b" "$case_dir/$1.log" 2>/dev/null && return 0
        sleep 0.025
    done
    problem "the target never logged record $2"
}

# A run that goes through undisturbed: the target misbehaves only in the options it is given.
options_case() {   # NAME ALLOWED IMAGE_OPTIONS TARGET_OPTION...
    local name=$1 allowed=$2 image_options=$3
    shift 3
    begin_case "$name"
    # shellcheck disable=SC2086
    image ZENTRAVOX_fault.led $image_options
    start_target fault-target "$@"
    run_update
    stop_target fault-target
    judge "$allowed" fault-target ZENTRAVOX_fault.led
    end_case
}

small="--lengths 260,23,12,100,6 --seed 71"
large="--size 6000 --payload 256 --seed 72"

begin_case "the target killed mid-transfer"
image ZENTRAVOX_fault.led $large
start_target fault-target
start_update
wait_for_record fault-target 5
kill -KILL "${target_pids[fault-target]}" 2>/dev/null
wait "${target_pids[fault-target]}" 2>/dev/null
unset "target_pids[fault-target]"
wait_update
judge "$ENDING_MISSING|$ENDING_SILENT" fault-target ZENTRAVOX_fault.led
end_case

begin_case "the JACK server stopped mid-transfer"
# One name for every run: a run killed before it stopped its server leaves that name in JACK's registry
# of servers (eight places), and only a server of the same name takes the place back. A second fault
# matrix running at the same time gets a name of its own.
own_server=update-faults
"$jack_server_script" status "$own_server" >/dev/null 2>&1 && own_server=update-faults-$$
if JACK_SERVER_STATE_DIR=$work_root "$jack_server_script" start "$own_server" >/dev/null 2>"$case_dir/jack-start.txt"; then
    saved_server=$JACK_DEFAULT_SERVER
    export JACK_DEFAULT_SERVER=$own_server
    image ZENTRAVOX_fault.led $large
    start_target fault-target
    start_update
    wait_for_record fault-target 5
    JACK_SERVER_STATE_DIR=$work_root "$jack_server_script" stop "$own_server" >/dev/null 2>&1
    wait_update
    # The target loses its server too; it is not what is judged here.
    kill -KILL "${target_pids[fault-target]}" 2>/dev/null
    wait "${target_pids[fault-target]}" 2>/dev/null
    unset "target_pids[fault-target]"
    export JACK_DEFAULT_SERVER=$saved_server
    judge "$ENDING_MISSING|$ENDING_SILENT" fault-target ZENTRAVOX_fault.led
    # Nothing of the stopped server may stay behind for the next run to trip over.
    left=$(ls "/dev/shm/jack_sem.$(id -u)_${own_server}_"* "/dev/shm/jack_${own_server}_"* \
              "$work_root/jack-server-$own_server".* 2>/dev/null | tr '\n' ' ')
    [ -z "$left" ] || problem "the stopped JACK server left behind: $left"
else
    problem "a second JACK server could not be started:
$(cat "$case_dir/jack-start.txt")"
fi
end_case

options_case "replies of 300 bytes" "$ENDING_SUCCESS" "$small" --pad 300
options_case "300 short messages after every data message" "$ENDING_SUCCESS" "$small" --flood 300
# Garbage that looks like a reply may be taken for one: a refusal, never an acceptance.
options_case "3 garbage SysEx messages after every data message" "$ENDING_SUCCESS|$ENDING_REFUSED" "$small" --garbage 3
# A slow target is waited for, up to 2 s a record, and each record goes out once.
options_case "replies 640 ms late" "$ENDING_SUCCESS" "$small" --delay 640
options_case "replies 1.5 s late" "$ENDING_SUCCESS" "$small" --delay 1500
options_case "replies 1.5 s late, record 3 refused once" "$ENDING_SUCCESS" "$small" --delay 1500 --refuse 3:20
# Later than that, a record goes out again while the target is still writing it: the target writes it
# twice and says so twice, and the run must not end in success. The wait is 2000 polls, not 2 s: on a
# loaded machine the polls can outlast 2.5 s, each record then goes out once and the update succeeds,
# which the flash check judges like any other success.
options_case "record answers 2.5 s late, record 3 refused once" "$ENDING_REFUSED|$ENDING_SILENT|$ENDING_SUCCESS" "$small" \
    --delay 2500 --handshake-delay 0 --refuse 3:20
options_case "a one-byte message before each handshake answer" "$ENDING_SUCCESS" "$small" --lone-f0
# How answers travel. Two in one JACK cycle: record 2's first sending accepted 2.05 s late, together
# with the answer to its second sending (the target writes both): both must count.
options_case "record 2 accepted 2.05 s late, in one cycle with its second sending's answer" \
    "$ENDING_SUCCESS|$ENDING_REFUSED" "$small" --late 2:2050 --burst 100
# Every answer twice: in the same cycle (a patchbay connecting the target twice), or 3 ms apart (a
# merge). One answer more than there were sendings: never a success.
options_case "every answer twice, in one cycle" "$ENDING_REFUSED" "$small" --echo 0
options_case "every answer twice, 3 ms apart" "$ENDING_REFUSED" "$small" --echo 3
options_case "a clock and active sensing inside every answer" "$ENDING_SUCCESS" "$small" --realtime-inside
options_case "another device's SysEx behind every answer, in one cycle" "$ENDING_SUCCESS" "$small" --foreign-behind
# A refusal of record 3's first sending 2.1 s late, after it went out again: the second sending's own
# answer decides, and the record goes out no third time.
options_case "record 3 refused 2.1 s late, its second sending accepted" "$ENDING_SUCCESS" "$small" \
    --late 3:2100 --refuse 3:20

cases=$((cases_passed + cases_failed))
echo "fault matrix: $cases cases, $cases_passed passed, $false_successes false successes, $hangs hangs, $bytes_lost bytes lost"
finish
