#!/usr/bin/env bash
# Cross-builds the Windows program with MinGW-w64, through CMake's presets:
#   build-windows/          (preset windows) update.exe, the 32-bit program users get, and what only the
#                           wine tests use: the emulated winmm.dll and planted/winmm.dll
#   build-windows-x86_64/   (preset windows-x86_64) the same for 64-bit Windows, for the wine tests on
#                           machines that cannot run 32-bit code
# What they import is checked by the tests windows_imports_i686 and windows_imports_x86_64. The file
# to give users is the release zip (scripts/release.sh).
set -eu
source "$(dirname "$0")/setup.sh"
cd "$repo_root"
ensure_packages "${WINDOWS_PACKAGES[@]}"
for preset in windows windows-x86_64; do
    cmake --workflow --preset "$preset" >"build-$preset.log" 2>&1 ||
        { tail -n 40 "build-$preset.log" >&2; echo "build-windows: the $preset build failed, see build-$preset.log" >&2; exit 1; }
done
echo "build-windows: build-windows/update.exe (32-bit), build-windows-x86_64/ (the tests' 64-bit build)"
