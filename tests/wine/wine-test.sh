#!/usr/bin/env bash
# The cross-built update.exe under wine: what it prints, byte for byte, and what it leaves behind.
#
#   wine-test.sh WINDOWS_BUILD_DIR STATE_DIR prefix   make the wine prefix the cases share (once a run)
#   wine-test.sh WINDOWS_BUILD_DIR STATE_DIR stop     end the prefix's wineserver
#   wine-test.sh WINDOWS_BUILD_DIR STATE_DIR CASE     run one case (the names are at the bottom)
#
# Exit status: 0 passed, 1 failed, 77 skipped (no wine that runs here, or no update.exe to run).
#
# The shipped update.exe is 32-bit. Where this machine cannot run 32-bit code (a kernel without it, or
# no wine32), the same sources built for 64-bit Windows (WINDOWS_BUILD_DIR/x86_64) are run instead.
#
# "own" cases run with wine's own winmm, which has no MIDI ports here. "emulated" cases put the
# emulated winmm.dll beside the program (sim/winmm_emulated.cpp) with a scenario for the target; at
# exit it writes a report of what was left open and what the target received.
#
# Everything the program writes goes to the console: stdout must match, stderr must stay empty. Wine
# writes CR LF for every "\n" (a text-mode stream), and the run ends with cmd's "pause", which with its
# input at end of file prints its prompt and returns at once; wine's cmd words the prompt as
# "Press any key to continue... ".
set -u

[ $# -eq 3 ] || { echo "usage: $0 WINDOWS_BUILD_DIR STATE_DIR prefix|stop|CASE" >&2; exit 2; }
build=$1
state=$2
action=$3
prefix=$state/prefix
SKIPPED=77

# Wine's own diagnostics off; the audio drivers off too: with no sound hardware they report through
# alsa-lib straight to stderr. Without them wine's winmm simply has no MIDI ports.
export WINEDEBUG=-all
export WINEPREFIX=$prefix
QUIET_AUDIO='winealsa.drv,winepulse.drv,wineoss.drv=d'

runs() { "$1" --version >/dev/null 2>&1; }

first_running() {
    local candidate
    for candidate in "$@"; do
        [ -n "$candidate" ] && runs "$candidate" && { echo "$candidate"; return 0; }
    done
    return 1
}

# Sets loader and exe_dir: the 32-bit program where wine can run it, else the 64-bit one.
choose_runtime() {
    if [ -f "$build/update.exe" ] &&
        loader=$(first_running /usr/lib/wine/wine "$(command -v wine)"); then
        exe_dir=$build
        runtime="32-bit update.exe, $loader"
    elif [ -f "$build/x86_64/update.exe" ] &&
        loader=$(first_running /usr/lib/wine/wine64 "$(command -v wine64)"); then
        exe_dir=$build/x86_64
        runtime="64-bit update.exe (32-bit code cannot run here), $loader"
    else
        echo "SKIPPED: no cross-built update.exe in $build that a wine on this machine can run" \
             "(build it with scripts/build-windows.sh; install wine)"
        exit $SKIPPED
    fi
    server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
}

stop_server() {
    "$server" -k >/dev/null 2>&1 || true
    "$server" -w >/dev/null 2>&1 || true
}

# A prefix is whole when wine's own DLLs are in it; a boot that fails leaves one without them.
prefix_is_whole() {
    [ -f "$prefix/system.reg" ] && [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ]
}

make_prefix() {
    local attempt
    mkdir -p "$state"
    echo "wine runtime: $runtime"
    # A boot that failed once may do well the second time; each attempt starts from nothing, with no
    # wineserver left over from an earlier prefix at this path.
    for attempt in 1 2 3; do
        [ -d "$prefix" ] && stop_server
        rm -rf "$prefix"
        # The first boot of a prefix takes a while (tens of seconds on a slow machine).
        local booted=0
        timeout 300 "$loader" wineboot --init </dev/null >"$state/wineboot.log" 2>&1 && booted=1
        "$server" -w >/dev/null 2>&1 || true
        [ "$booted" -eq 1 ] && prefix_is_whole && return 0
        echo "wineboot attempt $attempt left no whole prefix:"
        sed 's/^/  | /' "$state/wineboot.log"
    done
    echo "FAILED: wineboot could not make the prefix"
    exit 1
}

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# A Windows path for a file of this machine: wine maps drive Z: to /.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Sets up the case's directory: the program, the emulated winmm.dll if wanted, and an image.
#   prepare_case emulated|own IMAGE_NAME IMAGE_TEXT
prepare_case() {
    mode=$1
    work=$state/cases/$action
    rm -rf "$work"
    mkdir -p "$work"
    cp "$exe_dir/update.exe" "$work/"
    if [ "$mode" = emulated ]; then
        [ -f "$exe_dir/winmm.dll" ] || { echo "FAILED: no emulated winmm.dll in $exe_dir"; exit 1; }
        cp "$exe_dir/winmm.dll" "$work/"
    fi
    if [ -n "$2" ]; then printf '%s' "$3" >"$work/$2"; fi
    : >"$work/scenario"
}

scenario() { printf '%s\n' "$@" >>"$work/scenario"; }

# Runs update.exe in the case's directory, with its input at end of file.
run_update() {
    local overrides=$QUIET_AUDIO
    local -a emulation=()
    if [ "$mode" = emulated ]; then
        # Native only: should the emulated winmm.dll fail to load, the program does not start at all.
        overrides="winmm=n;$QUIET_AUDIO"
        emulation=(UPDATE_EMULATED_WINMM="$(windows_path "$work/scenario")")
    fi
    (cd "$work" && env WINEDLLOVERRIDES="$overrides" "${emulation[@]}" timeout 120 "$loader" ./update.exe \
        </dev/null >"$work/stdout" 2>"$work/stderr")
    status=$?
}

show() { od -An -c "$1" | sed 's/^/    /'; }

expect_transcript() {
    printf '%s' "$1" >"$work/expected"
    if ! cmp -s "$work/expected" "$work/stdout"; then
        fail "the console output differs"
        echo "  expected:"; show "$work/expected"
        echo "  printed:"; show "$work/stdout"
    fi
    if [ -s "$work/stderr" ]; then
        fail "something was written to stderr"
        sed 's/^/    /' "$work/stderr"
    fi
    [ "$status" -eq 0 ] || fail "exit status $status, not 0"
}

# The emulated winmm's report, without the messages the target received (expect_received has those).
# The start of every emulated case's report: the program released all it took from winmm.
NOTHING_LEFT_OPEN='inputs-open 0
outputs-open 0
buffers-queued 0
headers-prepared 0
timer-periods-held 0
calls-refused 0
closes-refused 0
'

expect_report() {
    local report=$work/scenario.report
    if [ ! -f "$report" ]; then
        fail "the emulated winmm.dll wrote no report (was it loaded? did the program exit normally?)"
        return
    fi
    printf '%s' "$1" >"$work/expected.report"
    grep -v '^received ' "$report" >"$work/actual.report"
    if ! cmp -s "$work/expected.report" "$work/actual.report"; then
        fail "the emulated winmm's report differs"
        diff -u "$work/expected.report" "$work/actual.report" | sed 's/^/    /'
    fi
}

expect_received() {
    printf '%s' "$1" >"$work/expected.received"
    grep '^received ' "$work/scenario.report" >"$work/actual.received" 2>/dev/null
    if ! cmp -s "$work/expected.received" "$work/actual.received"; then
        fail "the target received other messages"
        diff -u "$work/expected.received" "$work/actual.received" | sed 's/^/    /'
    fi
}

# Four records, 71 bytes: a record of one short message, one of three messages (11 + 11 + 2 bytes),
# one of exactly one full message, and one of three.
IMAGE='00 04 01 02 FD FF
00 16 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F 20 21 22 23 02 FE
00 09 A5 5A FF 00 80 7F 33 D0 FC
00 1C E0 E1 E2 E3 E4 E5 E6 E7 E8 E9 EA EB EC ED EE EF F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FB E7
'

# --- wine's own winmm: the image phase, and a machine without MIDI ports --------------------------

case_own_no_image() {
    prepare_case own "" ""
    printf 'not an image' >"$work/ZENTRAVOX_notes.txt"
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nError: File \'*.led\' is not found.\r\n\r\nPress any key to continue... '
}

case_own_bad_prefix() {
    prepare_case own "firmware.led" "$IMAGE"
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nError: The fit file is not found.\r\n\r\nPress any key to continue... '
}

case_own_bad_checksum() {
    prepare_case own "zentravox_v2.LED" $'00 04 01 02 FD FF\n00 04 01 02 FD FE\n'
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nOK: File \'zentravox_v2.LED\' is open.\r\nError: The upgrade file is error!\r\n\r\nPress any key to continue... '
}

case_own_no_device() {
    prepare_case own "ZENTRAVOX_A.led" "$IMAGE"
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nOK: File \'ZENTRAVOX_A.led\' is open.\r\n\r\nFailed: Can\'t find the suitable device to update!\r\n\r\nPress any key to continue... '
}

# --- the emulated winmm: the target behind real-time ports ------------------------------------------

case_emulated_update() {
    prepare_case emulated "ZENTRAVOX_A.led" "$IMAGE"
    scenario "inputs 1" "outputs 1"
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nOK: File \'ZENTRAVOX_A.led\' is open.\r\nThe Update Device is Open successfully:\r\nMIDIIN Device: Zentravox In\r\nMIDIOUT Device: Zentravox Out\r\n\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 8% done\r                        \rTransferring.. \\ 42% done\r                        \rTransferring.. \\ 57% done\rTransferring.. 100% done.  \r\n\r\nTarget update successfully!\r\n\r\nPress any key to continue... '
    expect_report "$NOTHING_LEFT_OPEN"'port-calls +i0 +o0 -i0 -o0
handshakes 1
records-accepted 4
records-refused 0
replies-lost 0
flash 00040102FDFF0016101112131415161718191A1B1C1D1E1F2021222302FE0009A55AFF00807F33D0FC001CE0E1E2E3E4E5E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7F8F9FBE7
'
    # The handshake, then each record as hex text, 22 characters a message.
    expect_received 'received F04871373A625877F7
received F0303030343031303246444646F7
received F030303136313031313132313331343135313631373138F7
received F031393141314231433144314531463230323132323233F7
received F030324645F7
received F030303039413535414646303038303746333344304643F7
received F030303143453045314532453345344535453645374538F7
received F045394541454245434544454545464630463146324633F7
received F046344635463646374638463946424537F7
'
}

case_emulated_reset_request() {
    prepare_case emulated "ZENTRAVOX_A.led" "$IMAGE"
    scenario "inputs 1" "outputs 1" "handshake 0x15"
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nOK: File \'ZENTRAVOX_A.led\' is open.\r\nThe Update Device is Open successfully:\r\nMIDIIN Device: Zentravox In\r\nMIDIOUT Device: Zentravox Out\r\nPlease reset the product and retry again!\r\n\r\nPress any key to continue... '
    expect_report "$NOTHING_LEFT_OPEN"'port-calls +i0 +o0 -i0 -o0
handshakes 1
records-accepted 0
records-refused 0
replies-lost 0
flash 
'
}

case_emulated_refusal() {
    prepare_case emulated "ZENTRAVOX_A.led" "$IMAGE"
    # The second record's first sending is refused with a CRC error; the program sends it again.
    scenario "inputs 1" "outputs 1" "record 1 1 0x20"
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nOK: File \'ZENTRAVOX_A.led\' is open.\r\nThe Update Device is Open successfully:\r\nMIDIIN Device: Zentravox In\r\nMIDIOUT Device: Zentravox Out\r\n\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 8% done\r\nThe CRC of the download file is error!\r\n\r                        \rTransferring.. - 8% done\r                        \rTransferring.. \\ 42% done\r                        \rTransferring.. \\ 57% done\rTransferring.. 100% done.  \r\n\r\nTarget update successfully!\r\n\r\nPress any key to continue... '
    expect_report "$NOTHING_LEFT_OPEN"'port-calls +i0 +o0 -i0 -o0
handshakes 1
records-accepted 4
records-refused 1
replies-lost 0
flash 00040102FDFF0016101112131415161718191A1B1C1D1E1F2021222302FE0009A55AFF00807F33D0FC001CE0E1E2E3E4E5E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7F8F9FBE7
'
}

case_emulated_silent_target() {
    # One record, never answered: 20 sendings of 600 ms each before the program gives up.
    prepare_case emulated "ZENTRAVOX_S.led" $'00 04 01 02 FD FF\n'
    scenario "inputs 1" "outputs 1" "records-silent-from 0"
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nOK: File \'ZENTRAVOX_S.led\' is open.\r\nThe Update Device is Open successfully:\r\nMIDIIN Device: Zentravox In\r\nMIDIOUT Device: Zentravox Out\r\n\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 0% done\r\nFailed: Target is not responding.\r\n\r\nPress any key to continue... '
    # The target took all 20 sendings whole, and answered none.
    expect_report "$NOTHING_LEFT_OPEN"'port-calls +i0 +o0 -i0 -o0
handshakes 1
records-accepted 0
records-refused 20
replies-lost 0
flash 
'
}

case_emulated_output_vanishes() {
    prepare_case emulated "ZENTRAVOX_A.led" "$IMAGE"
    # Gone after message 3: the handshake, the first record, the first third of the second record.
    scenario "inputs 1" "outputs 1" "output-vanishes-after 3"
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nOK: File \'ZENTRAVOX_A.led\' is open.\r\nThe Update Device is Open successfully:\r\nMIDIIN Device: Zentravox In\r\nMIDIOUT Device: Zentravox Out\r\n\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 8% done\r\nError: The MIDI Out of device is missing!\r\n\r\nPress any key to continue... '
    # The refused send's header was unprepared again, and the vanished port was still closed.
    expect_report "$NOTHING_LEFT_OPEN"'port-calls +i0 +o0 -i0 -o0
handshakes 1
records-accepted 1
records-refused 0
replies-lost 0
flash 00040102FDFF
'
}

case_emulated_discovery() {
    prepare_case emulated "ZENTRAVOX_A.led" "$IMAGE"
    # The target answers on the second input; the first pair hears nothing for 4 x 500 ms. Sends stay
    # busy for longer and answers come late. The target's input name is longer than winmm's 31.
    scenario "inputs 2" "outputs 1" "target-input 1" "input-name 0 Cable In" \
             "input-name 1 Zentravox Update Port With A Very Long Name" "send-busy-polls 6" "answer-delay 40"
    run_update
    expect_transcript $'Update V0.5 - Update Zentravox System\r\nOK: File \'ZENTRAVOX_A.led\' is open.\r\nThe Update Device is Open successfully:\r\nMIDIIN Device: Zentravox Update Port With A Ve\r\nMIDIOUT Device: Zentravox Out\r\n\r                        \rTransferring.. - 0% done\r                        \rTransferring.. - 8% done\r                        \rTransferring.. \\ 42% done\r                        \rTransferring.. \\ 57% done\rTransferring.. 100% done.  \r\n\r\nTarget update successfully!\r\n\r\nPress any key to continue... '
    # The four unanswered handshakes' replies went to the input that was not open.
    expect_report "$NOTHING_LEFT_OPEN"'port-calls +i0 +o0 -o0 -i0 +i1 +o0 -i1 -o0
handshakes 5
records-accepted 4
records-refused 0
replies-lost 4
flash 00040102FDFF0016101112131415161718191A1B1C1D1E1F2021222302FE0009A55AFF00807F33D0FC001CE0E1E2E3E4E5E6E7E8E9EAEBECEDEEEFF0F1F2F3F4F5F6F7F8F9FBE7
'
}

choose_runtime
case $action in
    prefix) make_prefix; exit 0 ;;
    stop) stop_server; exit 0 ;;
esac
declare -F "case_$action" >/dev/null || { echo "unknown case: $action" >&2; exit 2; }
prefix_is_whole || { echo "FAILED: no wine prefix at $prefix (the wine_prefix test makes it)"; exit 1; }
echo "wine runtime: $runtime"
"case_$action"
[ "$failures" -eq 0 ] || exit 1
echo "passed"
