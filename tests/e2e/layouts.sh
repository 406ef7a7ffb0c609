#!/usr/bin/env bash
# Finding the target among many pairs of real JACK ports, each pair but the target's a target that never
# answers a handshake: 3 x 3 with the target in the middle, 10 x 10 with the target on the last pair,
# and targets on the last of 3 pairs that answer handshakes 400 ms and 1.5 s late. The pair kept is the
# target's own (the names printed), the flash equals the image, no other pair is sent a record, and
# nothing goes to stderr. Usage: layouts.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/lib.sh"
e2e_init "$@"

# Each client's ports go to the end of the server's lists: the pairs come in the order the targets start.
# Starts the silent targets e2e-s1..e2e-sN before the target e2e-target (started with the options
# given) and the silent ones numbered from N+1 to TOTAL-1 after it.
lay_out() {   # TOTAL TARGET_INDEX [TARGET_OPTION...]
    local total=$1 at=$2 i
    shift 2
    for ((i = 0; i < total; i++)); do
        if [ "$i" -eq "$at" ]; then
            start_target e2e-target "$@"
        else
            start_target "e2e-s$i" --handshake-reply silent
        fi
    done
    # The program's inputs are the servers' readable MIDI ports, its outputs the writable ones.
    local inputs outputs
    inputs=$(jack_lsp -p -t 2>/dev/null | awk '/^[^ \t]/ {name = $0} /properties: output/ {out = 1}
        /properties: input/ {out = 0} /raw midi/ && out {print name}')
    outputs=$(jack_lsp -p -t 2>/dev/null | awk '/^[^ \t]/ {name = $0} /properties: output/ {out = 1}
        /properties: input/ {out = 0} /raw midi/ && !out {print name}')
    echo "$inputs" >"$case_dir/inputs.txt"
    echo "$outputs" >"$case_dir/outputs.txt"
    [ "$(echo "$inputs" | grep -c .)" -eq "$total" ] && [ "$(echo "$outputs" | grep -c .)" -eq "$total" ] ||
        problem "the server lists other MIDI ports than this case's: $(echo "$inputs" "$outputs" | tr '\n' ' ')"
    [ "$(echo "$inputs" | sed -n "$((at + 1))p")" = e2e-target-out:midi ] &&
        [ "$(echo "$outputs" | sed -n "$((at + 1))p")" = e2e-target-in:midi ] ||
        problem "the target's ports are not pair $at of the lists: $(echo "$inputs" "$outputs" | tr '\n' ' ')"
}

# Updated: the target's pair named, its flash the image, its handshakes answered, and the silent targets
# sent no record (each logs a line per whole record it receives).
expect_target_updated() {   # IMAGE TOTAL TARGET_INDEX
    local image=$1 total=$2 at=$3 i
    expect_transcript "${banner}OK: File '$image' is open.\n$(found e2e-target)\
${step}- 0%% done${step}- 55%% done${step}\\\\ 70%% done${done_ok}${prompt}"
    stop_target e2e-target
    expect_flash e2e-target "$image"
    expect_summary e2e-target "3 records accepted, 0 sendings refused or unanswered, 40 bytes in flash"
    for ((i = 0; i < total; i++)); do
        [ "$i" -eq "$at" ] && continue
        stop_target "e2e-s$i"
        expect_log_count "e2e-s$i" record 0
        expect_summary "e2e-s$i" "0 records accepted, 0 sendings refused or unanswered, 0 bytes in flash"
    done
}

begin_case "3 x 3, the target on the middle pair"
image ZENTRAVOX_middle.led --lengths 22,6,12 --seed 41
lay_out 3 1
run_update
expect_target_updated ZENTRAVOX_middle.led 3 1
end_case

begin_case "10 x 10, the target on the last pair"
image ZENTRAVOX_last.led --lengths 22,6,12 --seed 42
lay_out 10 9
run_update
expect_target_updated ZENTRAVOX_last.led 10 9
end_case

begin_case "3 x 3, the target on the last pair answers handshakes 400 ms late"
image ZENTRAVOX_late.led --lengths 22,6,12 --seed 43
lay_out 3 2 --handshake-delay 400
run_update
expect_target_updated ZENTRAVOX_late.led 3 2
end_case

# Searched pair by pair, this target's answers to the handshakes of pair 1/2 came after input 2 had
# opened for pair 2/0, and that pair was kept.
begin_case "3 x 3, the target on the last pair answers handshakes 1.5 s late"
image ZENTRAVOX_later.led --lengths 22,6,12 --seed 44
lay_out 3 2 --handshake-delay 1500
run_update
expect_target_updated ZENTRAVOX_later.led 3 2
end_case

finish
