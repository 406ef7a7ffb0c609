#!/usr/bin/env bash
# Inside the guest (scripts/vm/guest.sh run --usb-gadget --virmidi 0): the benchmark's image sent by the
# real program through the USB MIDI device to zentravox-target on the gadget's raw MIDI device. Prints
# figures as "key=value" words. Usage: guest_usb.sh UPDATE TARGET MAKE_IMAGE
set -u
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin JACK_NO_START_SERVER=1
update=$(realpath "$1") target=$(realpath "$2") make_image=$(realpath "$3")
work=$(mktemp -d)
cd "$work" || exit 1
"$make_image" ZENTRAVOX_bench.led --size 65535 --payload 256 >/dev/null || exit 1
"$target" --quiet --rawmidi hw:fmidi --flash flash.bin >target.log 2>target.err </dev/null &
target_pid=$!
for _ in $(seq 400); do grep -q '^ready:' target.log && break; sleep 0.05; done
started=$(date +%s.%N)
"$update" </dev/null >out.txt 2>err.txt
ended=$(date +%s.%N)
kill -TERM $target_pid
wait $target_pid
ok=0
grep -q 'Target update successfully!' out.txt && [ ! -s err.txt ] && xxd -r -p ZENTRAVOX_bench.led | cmp -s - flash.bin && ok=1
echo "wall_s=$(echo "$ended - $started" | bc) ok=$ok"
