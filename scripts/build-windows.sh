#!/usr/bin/env bash
# Cross-builds the Windows program with MinGW-w64:
#
#   scripts/build-windows.sh [DIR [TEST_DIR]]
#
# DIR (default build-windows) receives the shipped 32-bit update.exe and nothing else: the folder to
# give to users. Windows loads a DLL from the program's own folder first, so the emulated winmm.dll,
# which has no real MIDI ports, must never lie beside the shipped program.
# TEST_DIR (default DIR-tests) receives what only the wine tests use: i686/, the 32-bit build with the
# emulated winmm.dll, and x86_64/, the same two built for 64-bit Windows, for machines that cannot run
# 32-bit code. Both programs are linked statically and must import nothing but Windows' own DLLs; the
# script checks that, and that the emulated winmm.dll exports every winmm function update.exe imports
# without importing winmm itself.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build-windows}
case $dir in /*) ;; *) dir=$root/$dir ;; esac
test_dir=${2:-$dir-tests}
case $test_dir in /*) ;; *) test_dir=$root/$test_dir ;; esac
jobs=$(nproc 2>/dev/null || echo 2)

fail() {
    echo "build-windows: $*" >&2
    exit 1
}

# Dynamic imports a statically linked program may have: Windows' own DLLs.
system_dlls='^(kernel32|msvcrt|winmm|user32|advapi32|ws2_32|shell32|ole32|ntdll|api-ms-win-.*)\.dll$'

imports_of() {
    "$1"-objdump -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u
}

# The functions imported from one DLL, one name a line.
imported_functions() {
    "$1"-objdump -p "$2" | awk -v dll="$3" '
        /DLL Name:/ { inside = (tolower($3) == dll); next }
        inside && /^[[:space:]]*$/ { inside = 0 }
        inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $3 }' | sort -u
}

exported_functions() {
    "$1"-objdump -p "$2" | awk '
        /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
        inside && /^[[:space:]]*$/ { inside = 0 }
        inside { print $NF }' | sort -u
}

check() {
    local prefix=$1 out=$2 dll
    [ -f "$out/update.exe" ] || fail "$out/update.exe was not built"
    [ -f "$out/winmm.dll" ] || fail "$out/winmm.dll was not built"
    for dll in $(imports_of "$prefix" "$out/update.exe"); do
        [[ $dll =~ $system_dlls ]] || fail "update.exe imports $dll, which a bare Windows does not have"
    done
    for dll in $(imports_of "$prefix" "$out/winmm.dll"); do
        [ "$dll" != winmm.dll ] || fail "the emulated winmm.dll imports winmm.dll"
        [[ $dll =~ $system_dlls ]] || fail "the emulated winmm.dll imports $dll"
    done
    local missing
    missing=$(comm -23 <(imported_functions "$prefix" "$out/update.exe" winmm.dll) \
                       <(exported_functions "$prefix" "$out/winmm.dll"))
    [ -z "$missing" ] || fail "the emulated winmm.dll lacks exports update.exe needs: $missing"
    [ -n "$(imported_functions "$prefix" "$out/update.exe" winmm.dll)" ] ||
        fail "update.exe imports nothing from winmm.dll: the import check read nothing"
}

build() {
    local prefix=$1 toolchain=$2 out=$3
    command -v "$prefix-g++-posix" >/dev/null ||
        fail "$prefix-g++-posix not found: install g++-mingw-w64-${prefix%%-*}-posix (see README.md, Windows)"
    cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DUPDATE_WERROR=ON -DUPDATE_TESTS=OFF -DUPDATE_BENCH=OFF >"$out.configure.log" 2>&1 ||
        { cat "$out.configure.log" >&2; fail "configuring $out failed"; }
    cmake --build "$out" --target update winmm_emulated -j "$jobs" >"$out.build.log" 2>&1 ||
        { cat "$out.build.log" >&2; fail "building $out failed"; }
    check "$prefix" "$out"
}

# A DIR that is still a build tree of this project (from before the builds moved to TEST_DIR) goes.
if [ -f "$dir/CMakeCache.txt" ] && grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$root" "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
fi
mkdir -p "$test_dir"
build i686-w64-mingw32 toolchain-i686-mingw32.cmake "$test_dir/i686"
build x86_64-w64-mingw32 toolchain-x86_64-mingw32.cmake "$test_dir/x86_64"
mkdir -p "$dir"
cp "$test_dir/i686/update.exe" "$dir/update.exe"
others=$(find "$dir" -mindepth 1 ! -name update.exe -printf '%P ')
[ -z "$others" ] || fail "$dir must hold update.exe alone, but also holds: $others"
echo "build-windows: $dir/update.exe (ship this folder); $test_dir/ (the wine tests' builds, never to ship)"
