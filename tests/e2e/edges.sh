#!/usr/bin/env bash
# The program at its edges, over real JACK ports: a second update while one runs, an update killed
# outright, a run cut short by a signal (during the transfer and while looking for the target), and a
# run started with its standard descriptors closed. Usage: edges.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/lib.sh"
jack_server_script=$(realpath "$(dirname "$0")/../../scripts/jack-server.sh")
e2e_init "$@"

interrupted_sending='\nThe update was interrupted: the product holds part of the new firmware. Run update again before using it.\n'
interrupted_searching='\nThe update was interrupted: the product has not been changed.\n'

# The program in the background in FOLDER (out.txt, err.txt there), with Ctrl-C and Ctrl-\ at their
# default action as a terminal's shell gives them (a script's background job would have them ignored).
start_update_in() {   # FOLDER
    wait_for_update_lock
    (cd "$1" && exec env --default-signal=INT,QUIT timeout -k 5 "$UPDATE_TIMEOUT" "$update" \
        </dev/null >out.txt 2>err.txt) &
    update_pid=$!
}

# Waits (15 s at most) until FILE holds TEXT.
wait_for_text() {   # FILE TEXT
    local tries
    for tries in $(seq 300); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    problem "$(basename "$1") never showed '$2'"
    return 1
}

# The update started in the background: its status once it has ended.
# (The shell's own word on a job ended by a signal is not the case's.)
wait_update() {
    { wait "$update_pid"; update_status=$?; } 2>/dev/null
}

# The program's own process: the child of `timeout`, which the background job became.
update_process() { pgrep -P "$update_pid" | head -n 1; }

# The processes that hold the program's lock, from the kernel's table of locks.
lock_holders() {
    local inode
    inode=$(stat -c %i "$UPDATE_LOCK" 2>/dev/null) || return 0
    awk -v inode="$inode" '$2 == "FLOCK" { split($6, id, ":"); if (id[3] == inode) print $5 }' /proc/locks
}

# The start of a run's transcript up to the device lines, as a printf format.
found_format() {   # IMAGE_NAME CLIENT
    printf '%s' "${banner}OK: File '$1' is open.\\n$(found "$2")"
}

# Compares the start and the end of FILE with printf formats; the progress steps between may vary.
expect_framed() {   # FILE HEAD_FORMAT TAIL_FORMAT
    local head tail
    head=$(printf "$2"; echo .)
    tail=$(printf "$3"; echo .)
    head=${head%.}
    tail=${tail%.}
    local text
    text=$(cat "$1"; echo .)
    text=${text%.}
    [ "${text:0:${#head}}" = "$head" ] || problem "$(basename "$1") does not begin as expected: $(head -c 300 "$1" | od -c | head -n 8)"
    [ "${text: -${#tail}}" = "$tail" ] || problem "$(basename "$1") does not end as expected: $(tail -c 200 "$1" | od -c)"
}

begin_case "a second update during a transfer stops before it opens a port; the first goes on unharmed"
mkdir first second
(cd first && image ZENTRAVOX_first.led --size 6000 --payload 256 --seed 51)
(cd second && image ZENTRAVOX_second.led --lengths 22,6 --seed 52)
start_target e2e-target --delay 60
start_update_in first
wait_for_text first/out.txt 'Transferring'
(cd second && timeout -k 5 "$UPDATE_TIMEOUT" "$update" </dev/null >out.txt 2>err.txt)
second_status=$?
printf "${banner}OK: File 'ZENTRAVOX_second.led' is open.\\nError: Another update is running on this computer!\\n\\n${prompt}" \
    >second/expected.txt
cmp -s second/expected.txt second/out.txt || problem "the second update printed: $(od -c second/out.txt | head -n 12)"
[ -s second/err.txt ] && problem "the second update wrote to stderr: $(cat second/err.txt)"
[ "$second_status" -eq 0 ] || problem "the second update exited with status $second_status"
wait_update
[ "$update_status" -eq 0 ] || problem "the first update exited with status $update_status"
expect_framed first/out.txt "$(found_format ZENTRAVOX_first.led e2e-target)" "${done_ok}${prompt}"
stop_target e2e-target
# The second never reached the target: one handshake in all, and the first's records each once.
expect_log_count e2e-target handshake 1
expect_flash e2e-target first/ZENTRAVOX_first.led
expect_summary e2e-target "24 records accepted, 0 sendings refused or unanswered"
end_case

begin_case "an update killed outright leaves no lock: the next starts at once and succeeds"
image ZENTRAVOX_killed.led --size 4000 --payload 256 --seed 53
start_target e2e-first --delay 60
start_update_in .
wait_for_text out.txt 'Transferring'
killed=$(update_process)
lock_holders | grep -qx "$killed" || problem "the running update ($killed) holds no lock: $(lock_holders)"
kill -KILL "$killed"
wait_update
lock_holders | grep -qx "$killed" && problem "the lock outlived the killed update"
# A JACK client killed outright stalls the server's cycles until the server gives it up (about 5 s):
# the targets wait for that, the lock does not.
for _ in $(seq 300); do
    jack_lsp 2>/dev/null | grep -q "^update-$killed-" || break
    sleep 0.1
done
stop_target e2e-first
start_target e2e-target
mv out.txt killed-out.txt
run_update
expect_framed out.txt "$(found_format ZENTRAVOX_killed.led e2e-target)" "${done_ok}${prompt}"
[ "$update_status" -eq 0 ] || problem "update exited with status $update_status"
[ -s err.txt ] && problem "update wrote to stderr: $(cat err.txt)"
stop_target e2e-target
expect_flash e2e-target ZENTRAVOX_killed.led
end_case

for signal in INT TERM HUP; do
    begin_case "SIG$signal during the transfer: the line, the signal's own end; the next run succeeds"
    image ZENTRAVOX_cut.led --size 4000 --payload 256 --seed 54
    start_target e2e-cut --delay 60
    start_update_in .
    wait_for_text e2e-cut.log 'record 3'
    kill -"$signal" "$(update_process)"
    wait_update
    number=$(kill -l "$signal")
    # timeout passes its child's end by a signal on as 128 + the signal's number.
    [ "$update_status" -eq $((128 + number)) ] ||
        problem "update ended with status $update_status, not by SIG$signal ($((128 + number)))"
    expect_framed out.txt "$(found_format ZENTRAVOX_cut.led e2e-cut)${step}- 0%% done" "${interrupted_sending}"
    grep -q 'Press any key' out.txt && problem "the key-press prompt after an interruption"
    [ -s err.txt ] && problem "update wrote to stderr: $(cat err.txt)"
    stop_target e2e-cut
    start_target e2e-target
    mv out.txt interrupted-out.txt
    run_update
    expect_framed out.txt "$(found_format ZENTRAVOX_cut.led e2e-target)" "${done_ok}${prompt}"
    stop_target e2e-target
    expect_flash e2e-target ZENTRAVOX_cut.led
    end_case
done

begin_case "SIGTERM while looking for the target: nothing has been sent, and the line says so"
image ZENTRAVOX_search.led --lengths 22,6 --seed 55
start_target e2e-silent --handshake-reply silent
start_update_in .
wait_for_text e2e-silent.log 'handshake 1'
kill -TERM "$(update_process)"
wait_update
[ "$update_status" -eq 143 ] || problem "update ended with status $update_status, not by SIGTERM (143)"
printf "${banner}OK: File 'ZENTRAVOX_search.led' is open.\\n${interrupted_searching}" >expected.txt
cmp -s expected.txt out.txt || problem "update printed: $(od -c out.txt | head -n 12)"
[ -s err.txt ] && problem "update wrote to stderr: $(cat err.txt)"
stop_target e2e-silent
expect_log_count e2e-silent record 0
end_case

# Started with a standard descriptor closed, the program's text once went into the next file any
# library opened: libjack's metadata database, shared by every JACK client of the user, which was then
# broken for all of them. Run in a /dev/shm of its own (a mount namespace), with a JACK server of its
# own there, so that a fault breaks nobody's database.
begin_case "standard descriptors closed: the text goes nowhere, and JACK's shared database stays whole"
if [ "$(id -u)" -eq 0 ]; then namespace=(unshare --mount); else namespace=(unshare --mount --map-root-user); fi
if ! "${namespace[@]}" true 2>/dev/null; then
    echo "  (skipped: no mount namespace can be made here for a /dev/shm of the case's own)"
else
    image ZENTRAVOX_closed.led --lengths 22,6,12 --seed 56
    "${namespace[@]}" bash -c '
        mount -t tmpfs tmpfs /dev/shm || exit 90
        export JACK_SERVER_STATE_DIR=$PWD JACK_DEFAULT_SERVER=e2e-closed JACK_NO_START_SERVER=1
        "$1" start e2e-closed >server.txt 2>&1 || exit 91
        jack_property -l >property-before.txt 2>&1 || exit 92
        "$2" --api jack --client e2e-target --flash e2e-target.flash >e2e-target.log 2>e2e-target.err </dev/null &
        target=$!
        for _ in $(seq 100); do grep -q "^ready:" e2e-target.log && break; sleep 0.05; done
        free() { flock -s -w 150 /tmp/zentravox-update.lock true 2>/dev/null; }
        free; "$3" </dev/null >&-; echo "$?" >status-stdout-closed.txt
        free; "$3" <&- >&- 2>&-; echo "$?" >status-all-closed.txt
        jack_property -l >property-after.txt 2>&1; echo "$?" >status-property.txt
        grep -rlF "Zentravox" /dev/shm >text-in-shm.txt 2>/dev/null
        kill -TERM $target; wait $target
        "$1" stop e2e-closed >>server.txt 2>&1
        ' closed "$jack_server_script" "$target" "$update"
    status=$?
    [ "$status" -eq 0 ] || problem "the case's own JACK world could not be set up (status $status): $(cat server.txt 2>/dev/null)"
    [ "$(cat status-stdout-closed.txt 2>/dev/null)" = 0 ] || problem "update >&- did not exit 0"
    [ "$(cat status-all-closed.txt 2>/dev/null)" = 0 ] || problem "update <&- >&- 2>&- did not exit 0"
    [ "$(cat status-property.txt 2>/dev/null)" = 0 ] ||
        problem "jack_property -l fails after the runs: $(head -c 300 property-after.txt)"
    [ -s text-in-shm.txt ] && problem "the program's text is in /dev/shm: $(cat text-in-shm.txt)"
    expect_log_count e2e-target handshake 2
    # Both runs wrote the whole image: the flash holds it twice.
    cat ZENTRAVOX_closed.led ZENTRAVOX_closed.led >twice.led
    expect_flash e2e-target twice.led
fi
end_case

finish
