#!/usr/bin/env bash
# The whole test suite, from a fresh Debian 12 machine: installs what is missing, builds through CMake's
# presets the Linux program, the Windows update.exe and the web edition, and runs every test: the plain
# suite (unit and scenario tests, the program's transcripts, the end-to-end tests and the fault matrix
# over a JACK server the tests start themselves, the Windows program and its imports under wine, the
# ALSA sequencer and USB MIDI in a QEMU guest, the web edition in headless Chromium, the fuzz corpus
# replays, the release built twice and compared), then the suite under AddressSanitizer,
# UndefinedBehaviorSanitizer and ThreadSanitizer, and a bounded run of each fuzzer. Exit status 0 only
# when everything passed.
#   scripts/test.sh           everything, as CI runs it
#   scripts/test.sh --quick   the everyday loop: the same builds, then all but the QEMU guest, the
#                             real-time silent targets, the release builds and the fuzzing (ctest
#                             --preset quick; under 3 minutes on 2 cores once built)
#   UPDATE_FUZZ_SECONDS       fuzzing time per fuzz target (default 60; 0 leaves fuzzing out)
set -eu
source "$(dirname "$0")/setup.sh"
cd "$repo_root"
quick=0
case ${1:-} in
    --quick) quick=1 ;;
    '') ;;
    *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

ensure_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${VM_PACKAGES[@]}" "${WEB_PACKAGES[@]}" \
                "${RELEASE_PACKAGES[@]}"
# npm fetches axe-core for the page's accessibility case. A Node.js that brings its own npm keeps it
# (Debian's npm conflicts with it); without npm that one case reports skipped, so a failure here is no
# reason to stop.
if ! command -v npm >/dev/null 2>&1; then
    ensure_packages npm || echo "== npm could not be installed: the accessibility case will report skipped"
fi

echo "== Building (Windows, 32-bit and 64-bit)"
scripts/build-windows.sh
echo "== Building (web)"
scripts/build-web.sh
if [ "$quick" -eq 1 ]; then
    echo "== Building (Linux)"
    build_native
    echo "== Tests (quick)"
    ctest --preset quick
    exit 0
fi
echo "== Building (Linux) and tests"
cmake --workflow --preset default

scripts/sanitize.sh all

fuzz_seconds=${UPDATE_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
    echo "== Fuzzing, $fuzz_seconds s per target"
    scripts/fuzz.sh -t "$fuzz_seconds"
fi
echo "== All tests passed"
