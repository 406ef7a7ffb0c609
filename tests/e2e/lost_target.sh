#!/usr/bin/env bash
# A target that goes away or falls silent in the middle of a transfer, over real JACK ports: the program
# must end on its own, say so, and still wait for the key press. Usage: lost_target.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/lib.sh"
e2e_init "$@"

begin_case "the target vanishes after the last message of record 3"
# Six records of two data messages each: the handshake is message 1, record 3 is messages 6 and 7.
image ZENTRAVOX_vanish.led --lengths 22 --size 132 --seed 31
start_target e2e-target --exit-after 7
run_update
head="${banner}OK: File 'ZENTRAVOX_vanish.led' is open.\n$(found e2e-target)${step}- 0%% done${step}- 16%% done"
# Record 3 goes unanswered; sending it again either finds the port gone or, when the platform cannot
# tell, goes unanswered 20 times in all.
unanswered=''
for _ in $(seq 20); do unanswered+="${step}\\\\ 33%% done"; done
expect_transcript \
    "${head}${step}\\\\ 33%% done${step}\\\\ 33%% done\nError: The MIDI Out of device is missing!\n\n${prompt}" \
    "${head}${unanswered}\nFailed: Target is not responding.\n\n${prompt}"
stop_target e2e-target
expect_log_line e2e-target "message 7 arrived: leaving without an answer (--exit-after)"
expect_flash e2e-target ZENTRAVOX_vanish.led 2
jack_lsp 2>/dev/null | grep -q '^e2e-target' && problem "the target's ports are still there: $(jack_lsp | grep e2e-target)"
end_case

begin_case "the target falls silent from record 2: 20 sendings, then the program gives up"
image ZENTRAVOX_mute.led --lengths 22,6,12 --seed 32
start_target e2e-target --silent-from 2
run_update
unanswered=''
for _ in $(seq 20); do unanswered+="${step}- 55%% done"; done
expect_transcript "${banner}OK: File 'ZENTRAVOX_mute.led' is open.\n$(found e2e-target)\
${step}- 0%% done${unanswered}\nFailed: Target is not responding.\n\n${prompt}"
stop_target e2e-target
expect_flash e2e-target ZENTRAVOX_mute.led 1
expect_log_count e2e-target "record 2.*: 6 bytes, checksum ok, no reply" 20
end_case

finish
