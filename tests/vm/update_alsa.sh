#!/usr/bin/env bash
# Inside the guest, booted with --virmidi 1: a whole update over ALSA sequencer ports. Every output
# before the target's is offered the handshake and passed over: Midi Through, which sends the handshake
# straight back, and a VirMIDI port, which stays silent. Usage: update_alsa.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/lib.sh"
vm_init "$@"

begin_case "a whole update over the ALSA sequencer, the target behind Midi Through and VirMIDI 0-0"
image ZENTRAVOX_alsa.led --size 2048 --seed 31
start_target vm-target
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_alsa.led' is open.\n$(found_ports vm-target-out:midi vm-target-in:midi)\
${progress_2048}${done_ok}${prompt}"
stop_target vm-target
expect_flash vm-target ZENTRAVOX_alsa.led
xxd -r -p ZENTRAVOX_alsa.led | cmp -s - vm-target.flash || problem "the flash differs from the image (xxd | cmp)"
# Midi Through's echo is the handshake itself, never an answer. The target hears the handshake that
# goes out on every output at once, then its own output's, and the one that confirms it.
expect_log_count vm-target handshake 3
expect_summary vm-target "8 records accepted, 0 sendings refused or unanswered, 2048 bytes in flash"
cat "$case_dir/duration.txt"
end_case

finish
