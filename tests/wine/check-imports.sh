#!/usr/bin/env bash
# What a Windows build imports and exports, read with MinGW's objdump:
#   - update.exe imports KERNEL32 and msvcrt and nothing else: no winmm, which it takes from the system
#     folder at start-up, by name (an import would be looked for beside the program first);
#   - every winmm function it takes by name is one the system's winmm exports (MinGW's import library
#     lists them), one the emulated winmm.dll exports, and one the planted winmm.dll exports (else the
#     wine case that plants it would show nothing);
#   - its PE header carries no link time (release files are reproducible);
#   - the emulated winmm.dll imports Windows' own DLLs only, and no winmm.
#   check-imports.sh PREFIX BUILD_DIR     PREFIX: i686-w64-mingw32 or x86_64-w64-mingw32
# Exit status: 0 passed, 1 failed, 77 skipped (no such build, or no objdump for it).
set -u
prefix=$1
dir=$2
objdump=$prefix-objdump
nm=$prefix-nm

if [ ! -f "$dir/update.exe" ]; then
    echo "SKIPPED: no $dir/update.exe (scripts/build-windows.sh builds it)"
    exit 77
fi
command -v "$objdump" >/dev/null || { echo "SKIPPED: $objdump is not installed"; exit 77; }

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

imports_of() {
    "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u
}

exports_of() {
    "$objdump" -p "$1" | awk '
        /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
        inside && /^[[:space:]]*$/ { inside = 0 }
        inside { print $NF }' | sort -u
}

# The names of winmm's MIDI and timer functions among the program's strings: what it asks GetProcAddress for.
taken_by_name() {
    strings -a -n 8 "$1" | grep -E -x 'midi(In|Out)[A-Za-z]+|time(Begin|End)Period' | sort -u
}

# The functions the system's winmm exports, from MinGW's import library (i686 names carry _ and @N).
system_winmm_exports() {
    "$nm" "/usr/$prefix/lib/libwinmm.a" 2>/dev/null | awk '$2 == "T" { print $3 }' |
        sed -e 's/^_//' -e 's/@[0-9]*$//' | sort -u
}

exe=$dir/update.exe
imports=$(imports_of "$exe" | tr '\n' ' ')
[ "$imports" = "kernel32.dll msvcrt.dll " ] ||
    fail "update.exe imports $imports; only kernel32.dll and msvcrt.dll are allowed"

taken=$(taken_by_name "$exe")
if [ -z "$taken" ]; then
    fail "update.exe names no winmm function to take: the check read nothing"
else
    echo "update.exe takes from winmm: $(echo $taken)"
fi
system=$(system_winmm_exports)
if [ -z "$system" ]; then
    fail "no winmm function found in /usr/$prefix/lib/libwinmm.a"
else
    missing=$(comm -23 <(echo "$taken") <(echo "$system") | tr '\n' ' ')
    [ -z "$missing" ] || fail "Windows' winmm exports no function named: $missing"
fi
for dll in winmm.dll planted/winmm.dll; do
    if [ ! -f "$dir/$dll" ]; then
        fail "$dir/$dll was not built"
        continue
    fi
    missing=$(comm -23 <(echo "$taken") <(exports_of "$dir/$dll") | tr '\n' ' ')
    [ -z "$missing" ] || fail "$dll lacks exports update.exe takes by name: $missing"
done

stamp=$(TZ=UTC "$objdump" -p "$exe" | sed -n 's/^Time\/Date[[:space:]]*//p')
[ "$stamp" = "Thu Jan  1 00:00:00 1970" ] || fail "update.exe's PE header carries a link time: $stamp"

if [ -f "$dir/winmm.dll" ]; then
    for dll in $(imports_of "$dir/winmm.dll"); do
        case $dll in
            winmm.dll) fail "the emulated winmm.dll imports winmm.dll" ;;
            kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|ntdll.dll|api-ms-win-*) ;;
            *) fail "the emulated winmm.dll imports $dll, which a bare Windows does not have" ;;
        esac
    done
fi

[ "$failures" -eq 0 ] || exit 1
echo "passed"
