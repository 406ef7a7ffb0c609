#!/usr/bin/env bash
# Inside the guest, booted with --usb-gadget --virmidi 2: the MIDI ports the other guest tests rely on
# exist under the names the README gives, and bytes really pass through them: Midi Through echoes what
# it gets, a virtual raw MIDI port feeds the sequencer, and the USB MIDI device carries system-exclusive
# messages both ways between its host side and its gadget side.
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/lib.sh"
vm_init

expect_port() {   # CLIENT PORT: both named in aconnect's list, the port under the client
    # aconnect pads a port's name with blanks inside its quotes.
    awk -v client="'$1'" -v port="'$2" '
        /^client / { inside = index($0, client) > 0; next }
        inside && index($0, port) { found = 1 }
        END { exit !found }' "$case_dir/ports.txt" ||
        problem "no port '$2' of client '$1' in aconnect -l"
}

# Waits until FILE holds LINE or SECONDS have passed.
wait_for_line() {   # FILE LINE SECONDS
    local tries
    for tries in $(seq $(($3 * 20))); do
        grep -qF "$2" "$1" 2>/dev/null && return 0
        sleep 0.05
    done
    return 1
}

begin_case "the sequencer lists Midi Through, two VirMIDI ports and both sides of the USB MIDI device"
aconnect -l >"$case_dir/ports.txt" 2>&1
expect_port 'Midi Through' 'Midi Through Port-0'
expect_port 'Virtual Raw MIDI 0-0' 'VirMIDI 0-0'
expect_port 'Virtual Raw MIDI 0-1' 'VirMIDI 0-1'
grep -q 'VirMIDI 0-2' "$case_dir/ports.txt" && problem "a third VirMIDI port, where --virmidi 2 asked for two"
expect_port 'Emulated product' 'Emulated product MIDI 1'
expect_port 'f_midi' 'f_midi'
grep -q '\[product *\]: USB-Audio - Emulated product' /proc/asound/cards ||
    problem "no USB-Audio card for the emulated product: $(cat /proc/asound/cards)"
grep -q '\[fmidi *\]: MIDI Gadget - f_midi' /proc/asound/cards ||
    problem "no f_midi card on the gadget side: $(cat /proc/asound/cards)"
end_case

begin_case "Midi Through sends back what a VirMIDI port sends it"
# Bytes written to the raw device of VirMIDI 0-0 come out of its sequencer port, connected here to
# Midi Through, whose own output the dump reads.
aconnect 'Virtual Raw MIDI 0-0:0' 'Midi Through:0' || problem "cannot connect VirMIDI 0-0 to Midi Through"
stdbuf -oL aseqdump -p 'Midi Through:0' >"$case_dir/dump.txt" 2>"$case_dir/dump.err" </dev/null &
extra_pids+=($!)
wait_for_line "$case_dir/dump.txt" 'Waiting for data' 10 || problem "aseqdump did not start: $(cat "$case_dir/dump.err")"
amidi -p hw:VirMIDI,0 -S 'F0 7D 01 02 03 F7' 2>"$case_dir/amidi.err" || problem "amidi failed: $(cat "$case_dir/amidi.err")"
wait_for_line "$case_dir/dump.txt" 'System exclusive           F0 7D 01 02 03 F7' 10 ||
    problem "Midi Through did not echo the message: $(cat "$case_dir/dump.txt")"
end_case

begin_case "the USB MIDI device carries a message from its host side to its gadget side, and back"
# amidi -d prints what it reads, in hex without blanks, until its timeout of silence.
pass_message() {   # FROM_CARD TO_CARD MESSAGE
    amidi -p "hw:$2,0" -d -t 2 >"$case_dir/to-$2.txt" 2>&1 </dev/null &
    local reader=$!
    sleep 1   # the reader has opened its port
    amidi -p "hw:$1,0" -S "$3" 2>"$case_dir/amidi.err" || problem "amidi on $1 failed: $(cat "$case_dir/amidi.err")"
    wait $reader
    grep -qF "${3// /}" "$case_dir/to-$2.txt" || problem "$3 sent on $1 did not arrive on $2: $(cat "$case_dir/to-$2.txt")"
}
pass_message product fmidi 'F0 7D 11 22 33 44 55 66 77 F7'
pass_message fmidi product 'F0 7D 43 F7'
end_case

finish
