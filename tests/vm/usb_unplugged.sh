#!/usr/bin/env bash
# Inside the guest, booted with --usb-gadget --virmidi 0: the USB MIDI device unplugged while the program
# sends the image to the target behind it (on the gadget's raw MIDI device). Its sequencer ports go with
# it, and the program must say so as soon as it sends again. Usage: usb_unplugged.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/lib.sh"
vm_init "$@"

# Unplugged, the device's sequencer ports go: the next message the program sends meets no port, and
# the run must end there, with the output's own error, not 40 s later as a silent target.
begin_case "the USB MIDI device unplugged mid-transfer: the output's error, at once"
image ZENTRAVOX_fault.led --size 6000 --payload 256 --seed 73
start_raw_target fault-target hw:fmidi
start_update_until_record fault-target 5
# The gadget leaves the dummy USB host: for the host side, the device is unplugged.
gadget=/sys/kernel/config/usb_gadget/midi
[ -e "$gadget/UDC" ] || mount -t configfs configfs /sys/kernel/config
unplugged=$SECONDS
echo "" >"$gadget/UDC" || problem "the gadget could not be unplugged"
wait "$update_pid"
update_status=$?
echo "update ended $((SECONDS - unplugged)) s after the unplug" >"$case_dir/duration.txt"
kill -TERM "${target_pids[fault-target]}" 2>/dev/null
wait "${target_pids[fault-target]}" 2>/dev/null
unset "target_pids[fault-target]"
ending=$(tail -c 200 "$case_dir/out.txt"; echo .)
ending=${ending%.}
case $ending in
    *"Error: The MIDI Out of device is missing!"$'\n\n'"Press any key to continue . . ."$'\n') ;;
    *) problem "the run did not end with the output's error: $(printf '%s' "$ending" | od -c | tail -n 6)" ;;
esac
grep -q 'Failed: Target is not responding.' "$case_dir/out.txt" && problem "the unplugged device was taken for a silent target"
grep -q 'Target update successfully!' "$case_dir/out.txt" && problem "success reported for an unplugged device"
[ "$update_status" -eq 0 ] || problem "update exited with status $update_status"
[ -s "$case_dir/err.txt" ] && problem "update wrote to stderr: $(head -c 300 "$case_dir/err.txt")"
cat "$case_dir/duration.txt"
end_case

finish
