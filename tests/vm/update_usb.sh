#!/usr/bin/env bash
# Inside the guest, booted with --usb-gadget --virmidi 0: updates through a USB MIDI device, the target
# on the raw MIDI device of the gadget's side (hw:fmidi), where a product's firmware sits. The program
# reaches it through the host side's sequencer port "Emulated product MIDI 1": the USB audio driver and
# a USB cable, in software. Midi Through comes first in the sequencer's list. The USB device would hold
# the target's answers while the program's input is closed; every input listens for the whole search,
# so the target's pair is found however its answers travel.
# Usage: update_usb.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/lib.sh"
vm_init "$@"

usb_port="Emulated product MIDI 1"
runs=20

begin_case "a whole update through the USB MIDI device, the target on the gadget's raw MIDI device"
image ZENTRAVOX_usb.led --size 2048 --seed 32
start_raw_target vm-target hw:fmidi
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_usb.led' is open.\n$(found_ports "$usb_port" "$usb_port")\
${progress_2048}${done_ok}${prompt}"
stop_target vm-target
xxd -r -p ZENTRAVOX_usb.led | cmp -s - vm-target.flash || problem "the flash differs from the image (xxd | cmp)"
expect_summary vm-target "8 records accepted, 0 sendings refused or unanswered, 2048 bytes in flash"
cat "$case_dir/duration.txt"
end_case

begin_case "$runs updates in a row through the USB MIDI device: the held answers never pick the wrong pair"
image ZENTRAVOX_again.led --size 260 --seed 33
start_raw_target vm-target hw:fmidi
started=$SECONDS
for run in $(seq $runs); do
    run_update
    expect_transcript "${banner}OK: File 'ZENTRAVOX_again.led' is open.\n$(found_ports "$usb_port" "$usb_port")\
${step}- 0%% done${done_ok}${prompt}"
    [ ${#case_problems[@]} -eq 0 ] || { problem "run $run of $runs went wrong"; break; }
done
stop_target vm-target
# The target writes every record it accepts after the last: each run's record once, nothing else.
for run in $(seq $runs); do xxd -r -p ZENTRAVOX_again.led; done | cmp -s - vm-target.flash ||
    problem "the flash is not the image $runs times over"
echo "$runs updates in about $((SECONDS - started)) s"
end_case

begin_case "without /dev/shm the program still says nothing on standard error"
# libjack makes its metadata database there even when no JACK server runs, and where it cannot, the
# database library says so on standard error: "/dev/shm/jack_db-0/__db.001: No such file or directory".
umount /dev/shm && rmdir /dev/shm || problem "cannot take /dev/shm away"
image ZENTRAVOX_noshm.led --size 260 --seed 34
start_raw_target vm-target hw:fmidi
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_noshm.led' is open.\n$(found_ports "$usb_port" "$usb_port")\
${step}- 0%% done${done_ok}${prompt}"
stop_target vm-target
end_case

finish
