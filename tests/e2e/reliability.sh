#!/usr/bin/env bash
# The program's reception over real JACK ports when the target's answers are unusual but sound: long
# replies, slow replies, a flood of other messages around them, a broken one-byte message before the
# handshake's answer. Each time the update must go through as usual.
# Usage: reliability.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/lib.sh"
e2e_init "$@"

complete_update() {   # NAME TARGET_OPTION...
    local name=$1
    shift
    begin_case "$name"
    image ZENTRAVOX_small.led --lengths 22,6,12 --seed 41
    start_target e2e-target "$@"
    run_update
    expect_transcript "${banner}OK: File 'ZENTRAVOX_small.led' is open.\n$(found e2e-target)\
${step}- 0%% done${step}- 55%% done${step}\\\\ 70%% done${done_ok}${prompt}"
    stop_target e2e-target
    expect_flash e2e-target ZENTRAVOX_small.led
    expect_summary e2e-target "3 records accepted, 0 sendings refused or unanswered, 40 bytes in flash"
    end_case
}

# More than the program's 200-byte receive buffer: the code is at the front, the rest must not matter.
complete_update "replies padded to 300 bytes" --pad 300
# Two thirds of the program's 600 ms wait for each record's reply.
complete_update "every reply 400 ms late" --delay 400
# 300 short messages after each data message: some 900 bytes for the program to skip each time.
complete_update "a flood of short messages around every reply" --flood 300
# A one-byte system-exclusive message is no reply; the answer right behind it is.
complete_update "a lone F0 before each handshake answer" --lone-f0

finish
