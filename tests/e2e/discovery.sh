#!/usr/bin/env bash
# Finding the target over real JACK ports: a target that asks for a reset, a pair that never answers,
# and the target behind the second of several pairs, with the handshakes seen on the wire by a client
# that is not ours (jack_midi_dump): handshakes on every output, and nothing else where the target is
# not. Usage: discovery.sh UPDATE TARGET MAKE_IMAGE
source "$(dirname "$0")/lib.sh"
e2e_init "$@"

handshake_bytes='f0 48 71 37 3a 62 58 77 f7'
not_found='\nFailed: Can'\''t find the suitable device to update!\n\n'

begin_case "the target asks for a reset: nothing is sent"
image ZENTRAVOX_reset.led --lengths 22,6 --seed 21
start_target e2e-target --handshake-reply 15
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_reset.led' is open.\n$(found e2e-target)\
Please reset the product and retry again!\n\n${prompt}"
stop_target e2e-target
expect_log_count e2e-target handshake 1
expect_log_count e2e-target record 0
expect_summary e2e-target "0 records accepted, 0 sendings refused or unanswered, 0 bytes in flash"
end_case

begin_case "a pair that never answers: four handshakes, then no device"
image ZENTRAVOX_silent.led --lengths 22,6 --seed 22
start_target e2e-silent --handshake-reply silent
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_silent.led' is open.\n${not_found}${prompt}"
stop_target e2e-silent
expect_log_count e2e-silent "handshake [0-9]*: no reply" 4
end_case

begin_case "the target behind the second of several pairs; the handshake on the wire"
if ! command -v jack_midi_dump >/dev/null 2>&1; then
    problem "jack_midi_dump is not installed (package jackd2)"
fi
image ZENTRAVOX_second.led --lengths 22,6,12 --seed 23
start_target e2e-silent --handshake-reply silent
start_target e2e-target
# An input port of a client that is not ours: the program offers it handshakes too, as it does to
# every output it can reach, and the dump prints each message it receives.
stdbuf -oL jack_midi_dump e2e-dump >"$case_dir/dump.txt" 2>"$case_dir/dump.err" </dev/null &
extra_pids+=($!)
for _ in $(seq 100); do
    jack_lsp 2>/dev/null | grep -qx 'e2e-dump:input' && break
    sleep 0.05
done
# The search as the program makes it, on the ports in the order the server lists them: one handshake on
# every output at once while every input listens; then, on the input that answered, one handshake on
# each output in turn up to the target's, and one more there to confirm its answer.
jack_lsp >"$case_dir/ports.txt" 2>/dev/null
midi_ports=$(jack_lsp -t 2>/dev/null | grep -B1 'raw midi' | grep -v -e 'raw midi' -e '^--$')
[ "$(echo "$midi_ports" | sort | tr '\n' ' ')" = \
  "e2e-dump:input e2e-silent-in:midi e2e-silent-out:midi e2e-target-in:midi e2e-target-out:midi " ] ||
    problem "the server has other MIDI ports than this case's: $(echo "$midi_ports" | tr '\n' ' ')"
declare -A expected_handshakes=([e2e-dump:input]=0 [e2e-silent-in:midi]=0 [e2e-target-in:midi]=0)
inputs=$(echo "$midi_ports" | grep -e '-out:midi$')
outputs=$(echo "$midi_ports" | grep -v -e '-out:midi$')
found_pair=0
for out in $outputs; do expected_handshakes[$out]=1; done
for out in $outputs; do
    expected_handshakes[$out]=$((expected_handshakes[$out] + 1))
    if [ "$out" = e2e-target-in:midi ]; then
        expected_handshakes[$out]=$((expected_handshakes[$out] + 1))
        found_pair=1
        break
    fi
done
[ $found_pair -eq 1 ] || problem "the target's ports are not both listed: $(echo "$midi_ports" | tr '\n' ' ')"
[ "$(echo "$inputs" | head -n 1)" = e2e-silent-out:midi ] ||
    problem "the silent target's port is not listed first: $(echo "$inputs" | tr '\n' ' ')"
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_second.led' is open.\n$(found e2e-target)\
${step}- 0%% done${step}- 55%% done${step}\\\\ 70%% done${done_ok}${prompt}"
stop_target e2e-target
stop_target e2e-silent
expect_flash e2e-target ZENTRAVOX_second.led
kill -TERM "${extra_pids[@]}" 2>/dev/null
wait "${extra_pids[@]}" 2>/dev/null
extra_pids=()
dumped=$(sed 's/^ *[0-9]*: *//' "$case_dir/dump.txt")
other=$(echo "$dumped" | grep -v -x -e "$handshake_bytes" -e '')
[ -z "$other" ] || problem "jack_midi_dump saw other messages than the handshake: $other"
seen=$(echo "$dumped" | grep -c -x -e "$handshake_bytes")
[ "$seen" -eq "${expected_handshakes[e2e-dump:input]}" ] ||
    problem "jack_midi_dump saw $seen handshakes, expected ${expected_handshakes[e2e-dump:input]}"
[ "$seen" -gt 0 ] || problem "jack_midi_dump saw no handshake at all"
expect_log_count e2e-silent "handshake [0-9]*: no reply" "${expected_handshakes[e2e-silent-in:midi]}"
expect_log_count e2e-silent record 0
expect_log_count e2e-target "handshake [0-9]*: reply 43" "${expected_handshakes[e2e-target-in:midi]}"
end_case

finish
