#!/usr/bin/env bash
# Cross-builds the Windows program with MinGW-w64:
#
#   scripts/build-windows.sh [DIR]
#
# DIR (default build-windows) receives the shipped 32-bit update.exe and the emulated winmm.dll that
# the wine tests put beside it; DIR/x86_64 receives the same two built for 64-bit Windows, which the
# wine tests use on machines that cannot run 32-bit code. Both programs are linked statically and must
# import nothing but Windows' own DLLs; the script checks that, and that the emulated winmm.dll
# exports every winmm function update.exe imports without importing winmm itself.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build-windows}
case $dir in /*) ;; *) dir=$root/$dir ;; esac
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
        fail "$prefix-g++-posix not found: install g++-mingw-w64-${prefix%%-*}-posix (see tests/wine/README-windows.md)"
    cmake -S "$root" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DUPDATE_WERROR=ON -DUPDATE_TESTS=OFF -DUPDATE_BENCH=OFF >"$out.configure.log" 2>&1 ||
        { cat "$out.configure.log" >&2; fail "configuring $out failed"; }
    cmake --build "$out" --target update winmm_emulated -j "$jobs" >"$out.build.log" 2>&1 ||
        { cat "$out.build.log" >&2; fail "building $out failed"; }
    check "$prefix" "$out"
}

mkdir -p "$dir"
build i686-w64-mingw32 toolchain-i686-mingw32.cmake "$dir"
build x86_64-w64-mingw32 toolchain-x86_64-mingw32.cmake "$dir/x86_64"
echo "build-windows: $dir/update.exe, $dir/winmm.dll (32-bit); $dir/x86_64/ (64-bit, for the tests)"
