#!/usr/bin/env bash
# The real `update` executable as a process, in a scratch folder, standard input at end of file (or
# closed): its console output byte for byte, nothing on standard error, exit status 0, for the image
# phase's cases.
# Usage: program_transcripts.sh UPDATE_EXECUTABLE MAKE_IMAGE_SCRIPT
set -u
update=$(realpath "$1")
make_image=$(realpath "$2")
# No MIDI server of any test may lend its ports here: these cases are about the image file.
export JACK_DEFAULT_SERVER=update-transcripts-no-server JACK_NO_START_SERVER=1

banner='Update V0.5 - Update Zentravox System\n'
prompt='Press any key to continue . . .\n'
not_found='\nFailed: Can'\''t find the suitable device to update!\n\n'
passed=0 failed=0

check() {   # NAME EXPECTED_PRINTF_FORMAT [closed], run in the current folder
    local name=$1 expected status
    expected=$(mktemp)
    printf "$2" > "$expected"
    # A run that reaches the device phase takes the machine's update lock: another test run's update
    # holding it would turn this one away.
    flock -s -w 150 /tmp/zentravox-update.lock true 2>/dev/null
    if [ "${3:-}" = closed ]; then
        "$update" > out.txt 2> err.txt <&-
    else
        "$update" < /dev/null > out.txt 2> err.txt
    fi
    status=$?
    if [ "$status" -eq 0 ] && cmp -s "$expected" out.txt && [ ! -s err.txt ]; then
        passed=$((passed + 1)); echo "ok: $name"
    else
        failed=$((failed + 1)); echo "FAILED: $name (exit $status)"
        echo "  expected:"; od -c "$expected" | sed 's/^/    /'
        echo "  got:"; od -c out.txt | sed 's/^/    /'
        [ -s err.txt ] && { echo "  stderr:"; sed 's/^/    /' err.txt; }
    fi
    rm -f "$expected" out.txt err.txt
}

scratch() { rm -rf "$work"; mkdir -p "$work"; cd "$work" || exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

scratch
check "no image file" "${banner}Error: File '*.led' is not found.\n\n${prompt}"

scratch
"$make_image" new_ZENTRAVOX.led --size 64
check "a name without the prefix" "${banner}Error: The fit file is not found.\n\n${prompt}"

scratch
"$make_image" ZENTRAVOX_v2.led --size 64
"$make_image" Backup.LED --size 64
check "two matching files: the first in name order decides" "${banner}Error: The fit file is not found.\n\n${prompt}"

scratch
printf '00 04 01 02 FD FF\n00 04 01 02 FD FE\n' > ZENTRAVOX.led
check "a bad checksum" "${banner}OK: File 'ZENTRAVOX.led' is open.\nError: The upgrade file is error!\n\n${prompt}"

scratch
printf '00 08 01 02 FD FF\n' > ZENTRAVOX.led
check "a truncated record" "${banner}OK: File 'ZENTRAVOX.led' is open.\nError: The upgrade file is error!\n\n${prompt}"

scratch
"$make_image" zentravox_v2.led --size 65535
check "a valid image of the largest size, no device" "${banner}OK: File 'zentravox_v2.led' is open.\n${not_found}${prompt}"

scratch
python3 -c "print(' '.join(['00'] * 65536))" > ZENTRAVOX.led
check "an image over 65,535 bytes" "${banner}OK: File 'ZENTRAVOX.led' is open.\nError: The upgrade file is error!\n\n${prompt}"

scratch
mkdir ZENTRAVOX.led
check "a folder named like an image" "${banner}Error: File 'ZENTRAVOX.led' is not found.\n\n${prompt}"

scratch
: > ZENTRAVOX_empty.led
check "an empty image is refused" "${banner}OK: File 'ZENTRAVOX_empty.led' is open.\nError: The upgrade file is error!\n\n${prompt}"

# With descriptor 0 free, the image file itself gets it: the run must not mistake it for input.
scratch
"$make_image" ZENTRAVOX.led --size 64
check "no standard input at all" "${banner}OK: File 'ZENTRAVOX.led' is open.\n${not_found}${prompt}" closed

scratch
check "no standard input and no image file" "${banner}Error: File '*.led' is not found.\n\n${prompt}" closed

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
