#!/usr/bin/env bash
# Inside the guest, booted with --usb-gadget --virmidi 0: update.exe under wine's own winmm, which lists
# the sequencer's ports as MIDI devices ("Midi Through Port-0" among them), with the target on the USB
# MIDI device's gadget side. The wine prefix is the one the wine tests make on the host (the wine_prefix
# test), where a prefix takes seconds to make rather than minutes; its system folder holds the emulated
# winmm.dll, so wine is told to take its own. Usage: wine_update.sh TARGET MAKE_IMAGE WINDOWS_BUILD
# WINDOWS_X86_64_BUILD PREFIX
source "$(dirname "$0")/../e2e/lib.sh"
source "$(dirname "$0")/lib.sh"
target=$(realpath "$1")
make_image=$(realpath "$2")
windows_build=$3 windows_build64=$4 host_prefix=$5
vm_init

runs() { "$1" --version >/dev/null 2>&1; }
# The program as the wine tests ran it on the host, whose prefix this is: the host's kernel may lack
# 32-bit code where the guest's has it, and a 64-bit prefix runs the 64-bit build.
if grep -q '^#arch=win64' "$host_prefix/system.reg" 2>/dev/null && [ -f "$windows_build64/update.exe" ] &&
    runs /usr/lib/wine/wine64; then
    exe=$windows_build64/update.exe loader=/usr/lib/wine/wine64
elif [ -f "$windows_build/update.exe" ] && runs /usr/lib/wine/wine; then
    exe=$windows_build/update.exe loader=/usr/lib/wine/wine
else
    echo "SKIPPED: no update.exe that wine runs here (scripts/build-windows.sh builds it)"
    exit $SKIPPED
fi
if [ ! -f "$host_prefix/system.reg" ]; then
    echo "SKIPPED: no wine prefix at $host_prefix (the wine_prefix test makes it)"
    exit $SKIPPED
fi
# The prefix stays where it is, on the shared root: nothing on the host uses it meanwhile (the test
# holds the wine tests' lock, and their prefix's wineserver has ended); the guest's wineserver keeps
# its socket under TMPDIR, the guest's tmpfs.
export WINEDEBUG=-all WINEPREFIX=$host_prefix
# wine's ALSA driver gives its own winmm MIDI devices; the other audio drivers stay off.
export WINEDLLOVERRIDES='winmm=b;winepulse.drv,wineoss.drv=d'
usb_port="Emulated product MIDI 1"

# wine writes CR LF for every line feed; cmd's pause words its prompt its own way.
crlf() { printf '%s' "${1//\\n/\\r\\n}"; }
wine_prompt='Press any key to continue... '

run_exe() {
    local started=$SECONDS
    cp "$exe" "$case_dir/"
    (cd "$case_dir" && timeout -k 5 240 "$loader" ./"$(basename "$exe")" </dev/null >out.txt 2>err.txt)
    update_status=$?
    echo "update.exe ran for about $((SECONDS - started)) s" >"$case_dir/duration.txt"
    [ "$update_status" -eq 124 ] && problem "update.exe did not end within 240 s"
    # In this guest wine64 itself now and then crashes on its way out (139, a segmentation fault), after
    # the program has ended and printed everything; it does the same with no target and no program of
    # ours. The transcript and the flash below still have to be whole.
    [ "$update_status" -eq 139 ] && update_status=0
    # What wine printed, readable, should the case fail (the guest's files do not outlive it).
    [ "$update_status" -eq 0 ] || problem "console: $(tr '\r' '\n' <"$case_dir/out.txt" | grep -v '^ *$' | tail -n 8 | tr '\n' '|')"
}

begin_case "update.exe under wine's own winmm: a whole update through the USB MIDI device"
image ZENTRAVOX_wine.led --size 2048 --seed 36
start_raw_target vm-target hw:fmidi
run_exe
expect_transcript "$(crlf "${banner}OK: File 'ZENTRAVOX_wine.led' is open.\n$(found_ports "$usb_port" "$usb_port")\
${progress_2048}${done_ok}")${wine_prompt}"
stop_target vm-target
xxd -r -p ZENTRAVOX_wine.led | cmp -s - vm-target.flash || problem "the flash differs from the image (xxd | cmp)"
cat "$case_dir/duration.txt"
end_case

begin_case "update.exe under wine's own winmm: the target asks to be reset, nothing is sent"
image ZENTRAVOX_wine.led --size 2048 --seed 36
start_raw_target vm-target hw:fmidi --handshake-reply 15
run_exe
expect_transcript "$(crlf "${banner}OK: File 'ZENTRAVOX_wine.led' is open.\n$(found_ports "$usb_port" "$usb_port")\
Please reset the product and retry again!\n\n")${wine_prompt}"
stop_target vm-target
[ -s vm-target.flash ] && problem "the target wrote something into its flash"
expect_log_count vm-target record 0
cat "$case_dir/duration.txt"
end_case

finish
