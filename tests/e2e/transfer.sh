#!/usr/bin/env bash
# The transfer over real JACK ports: a whole update whose flash equals the image, refusals of each kind
# answered by sending the record again, the target restarting before the end, and a record refused until
# the program gives up. Usage: transfer.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/lib.sh"
e2e_init "$@"

begin_case "a complete update: the flash equals the image"
# One record of every shape: the shortest (4 bytes), exactly one data message (11), one byte more (12),
# a length field above 255 (260), and one whose reply comes only after 91 data messages (1000).
image ZENTRAVOX_full.led --lengths 4,11,12,22,23,64,260,1000,6,96 --seed 11
start_target e2e-target
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_full.led' is open.\n$(found e2e-target)\
${step}- 0%% done${step}- 0%% done${step}\\\\ 1%% done${step}\\\\ 1%% done${step}| 3%% done\
${step}| 4%% done${step}/ 9%% done${step}/ 26%% done${step}- 93%% done${step}- 93%% done\
${done_ok}${prompt}"
stop_target e2e-target
expect_flash e2e-target ZENTRAVOX_full.led
expect_log_count e2e-target handshake 1
expect_log_line e2e-target "record 8: 1000 bytes, checksum ok, reply 1A"
expect_summary e2e-target "10 records accepted, 0 sendings refused or unanswered, 1498 bytes in flash"
end_case

begin_case "refusals of each kind, each followed by the same record again"
image ZENTRAVOX_refused.led --lengths 22,6,12,23,11,64,22 --seed 12
start_target e2e-target --refuse 2:20 --refuse 3:22 --refuse 4:24:2 --refuse 6:25
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_refused.led' is open.\n$(found e2e-target)\
${step}- 0%% done${step}- 13%% done\nThe CRC of the download file is error!\n${step}- 13%% done\
${step}\\\\ 17%% done\nThe download file has been damaged!\n${step}\\\\ 17%% done\
${step}\\\\ 25%% done\nThe download file verifies error!\n${step}\\\\ 25%% done\
\nThe download file verifies error!\n${step}\\\\ 25%% done\
${step}| 39%% done${step}| 46%% done\nThe MCU erases error!\n${step}| 46%% done\
${step}/ 86%% done${done_ok}${prompt}"
stop_target e2e-target
expect_flash e2e-target ZENTRAVOX_refused.led
expect_log_line e2e-target "record 4, sending 3: 23 bytes, checksum ok, reply 1A"
expect_summary e2e-target "7 records accepted, 5 sendings refused or unanswered, 160 bytes in flash"
end_case

begin_case "the target restarts after record 3 of 5: success, and the rest is not sent"
image ZENTRAVOX_restart.led --lengths 22,6,12,23,11 --seed 13
start_target e2e-target --restart-after 3
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_restart.led' is open.\n$(found e2e-target)\
${step}- 0%% done${step}- 29%% done${step}\\\\ 37%% done${done_restart}${prompt}"
stop_target e2e-target
expect_flash e2e-target ZENTRAVOX_restart.led 3
expect_log_count e2e-target record 3
end_case

begin_case "a record refused 20 times in a row: the program gives up"
image ZENTRAVOX_stuck.led --lengths 22,6,12 --seed 14
start_target e2e-target --refuse 2:20:0
run_update
refused=''
for _ in $(seq 19); do refused+="\nThe CRC of the download file is error!\n${step}- 55%% done"; done
expect_transcript "${banner}OK: File 'ZENTRAVOX_stuck.led' is open.\n$(found e2e-target)\
${step}- 0%% done${step}- 55%% done${refused}\nError in updating.\n${prompt}"
stop_target e2e-target
expect_flash e2e-target ZENTRAVOX_stuck.led 1
expect_summary e2e-target "1 records accepted, 20 sendings refused or unanswered, 22 bytes in flash"
end_case

finish
