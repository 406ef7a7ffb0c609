#!/usr/bin/env bash
# Inside the guest, booted with --virmidi 3: the target on the raw device of the second of three
# virtual raw MIDI ports (hw:VirMIDI,1), behind Midi Through and VirMIDI 0-0 in the sequencer's list.
# The program must find the target at its own pair, and every device must have been offered exactly the
# handshakes the search gives.
# Usage: update_virmidi.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/lib.sh"
vm_init "$@"

handshake=F04871373A625877F7

# How many handshakes a raw MIDI reader's dump holds, whatever amidi's blanks and line ends.
handshakes_in() { tr -d ' \n\r' <"$1" | grep -o "$handshake" | wc -l; }

begin_case "the target on the second of three VirMIDI devices is found at its own pair"
image ZENTRAVOX_virmidi.led --size 2048 --seed 35
start_raw_target vm-target hw:VirMIDI,1
# The other two devices' raw sides, read as a product there would: what reaches them, and no answer.
for device in 0 2; do
    stdbuf -o0 amidi -p "hw:VirMIDI,$device" -d >"$case_dir/virmidi$device.txt" 2>"$case_dir/virmidi$device.err" </dev/null &
    extra_pids+=($!)
done
sleep 1   # the readers have opened their devices
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_virmidi.led' is open.\n$(found_ports "VirMIDI 0-1" "VirMIDI 0-1")\
${progress_2048}${done_ok}${prompt}"
stop_target vm-target
for pid in "${extra_pids[@]}"; do kill -INT "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
extra_pids=()
xxd -r -p ZENTRAVOX_virmidi.led | cmp -s - vm-target.flash || problem "the flash differs from the image (xxd | cmp)"
# Every output hears the handshake that goes out on all of them at once. Then the outputs are tried
# one by one on the input that answered, up to the target's: VirMIDI 0-0 hears one more, the target
# two (its own and the confirmation), VirMIDI 0-2, after the target's, none.
expect_log_count vm-target handshake 3
for expected in 0:2 2:1; do
    device=${expected%%:*}
    count=$(handshakes_in "$case_dir/virmidi$device.txt")
    [ "$count" -eq "${expected#*:}" ] ||
        problem "VirMIDI 0-$device received $count handshakes, expected ${expected#*:}: $(head -c 300 "$case_dir/virmidi$device.err")"
done
expect_summary vm-target "8 records accepted, 0 sendings refused or unanswered, 2048 bytes in flash"
cat "$case_dir/duration.txt"
end_case

finish
