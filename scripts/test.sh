#!/usr/bin/env bash
# The whole test suite, from a fresh Debian 12 machine: installs what is missing, builds the Linux
# program, the Windows update.exe and the web edition, starts a private JACK server for the tests on
# real MIDI ports, and runs every test: the plain suite (unit and scenario tests, the program's
# transcripts, the end-to-end tests and the fault matrix over JACK, the Windows program under wine,
# the ALSA sequencer and USB MIDI in a QEMU guest, the web edition in headless Chromium, the fuzz corpus
# replays), then the suite under AddressSanitizer, UndefinedBehaviorSanitizer and ThreadSanitizer, and
# a bounded run of each fuzzer. Exit status 0 only when everything passed.
#   UPDATE_FUZZ_SECONDS   fuzzing time per fuzz target (default 60; 0 leaves fuzzing out)
set -eu
source "$(dirname "$0")/setup.sh"
cd "$repo_root"

ensure_packages "${NATIVE_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${VM_PACKAGES[@]}" "${WEB_PACKAGES[@]}"

echo "== Building (Linux)"
build_native "$repo_root/build"
echo "== Building (Windows, 32-bit)"
scripts/build-windows.sh "$repo_root/build-windows"
echo "== Building (web)"
scripts/build-web.sh "$repo_root/build-web"

# A JACK server of our own on the dummy backend: the only real MIDI ports on a machine without sound
# hardware. It is stopped again on every way out, and only if we started it.
export JACK_DEFAULT_SERVER=update-tests
stop_jack() { scripts/jack-server.sh stop "$JACK_DEFAULT_SERVER" >/dev/null 2>&1 || true; }
trap stop_jack EXIT
scripts/jack-server.sh start "$JACK_DEFAULT_SERVER" || echo "== No JACK server: the tests on real ports will be skipped"

echo "== Tests"
ctest --test-dir build --output-on-failure -j2

scripts/sanitize.sh all

fuzz_seconds=${UPDATE_FUZZ_SECONDS:-60}
if [ "$fuzz_seconds" -gt 0 ]; then
    echo "== Fuzzing, $fuzz_seconds s per target"
    scripts/fuzz.sh -t "$fuzz_seconds"
fi
echo "== All tests passed"
