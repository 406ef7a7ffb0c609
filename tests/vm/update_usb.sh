#!/usr/bin/env bash
# Inside the guest, booted with --usb-gadget --virmidi 0: a whole update through a USB MIDI device. The
# target's ports are wired to the gadget side (f_midi), so the program reaches it through the host
# side's "Emulated product MIDI 1" port: the sequencer, the USB audio driver and a USB cable, in
# software. Usage: update_usb.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/lib.sh"
vm_init "$@"

begin_case "a whole update through the USB MIDI device, the target behind its gadget side"
image ZENTRAVOX_usb.led --size 2048 --seed 32
start_target vm-target
aconnect f_midi:0 vm-target-in:0 || problem "cannot connect f_midi to the target's input"
aconnect vm-target-out:0 f_midi:0 || problem "cannot connect the target's output to f_midi"
run_update
# The device lines: "Emulated product:Emulated product MIDI 1 N:0", cut to 31 characters.
expect_transcript "${banner}OK: File 'ZENTRAVOX_usb.led' is open.\nThe Update Device is Open successfully:\n\
MIDIIN Device: Emulated product:Emulated produ\nMIDIOUT Device: Emulated product:Emulated produ\n\
${step}- 0%% done${step}- 12%% done${step}\\\\ 25%% done${step}\\\\ 38%% done${step}| 50%% done\
${step}| 63%% done${step}/ 76%% done${step}/ 88%% done${done_ok}${prompt}"
stop_target vm-target
xxd -r -p ZENTRAVOX_usb.led | cmp -s - vm-target.flash || problem "the flash differs from the image (xxd | cmp)"
expect_summary vm-target "8 records accepted, 0 sendings refused or unanswered, 2048 bytes in flash"
cat "$case_dir/duration.txt"
end_case

finish
