#!/usr/bin/env bash
# The test suite under sanitizers: everything built with AddressSanitizer and UndefinedBehaviorSanitizer
# and run whole; the tests where the MIDI callback thread races the polling main thread built with
# ThreadSanitizer. Any report fails the run. Expects the packages of scripts/setup.sh to be installed
# and, for the tests on real ports, JACK_DEFAULT_SERVER to name a running JACK server.
#   scripts/sanitize.sh [address|thread|all]
set -eu
source "$(dirname "$0")/setup.sh"
cd "$repo_root"
which=${1:-all}

configure() {   # BUILD_DIR SANITIZERS
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPDATE_WERROR=ON -DUPDATE_BENCH=OFF \
          -DUPDATE_SANITIZE="$2" >/dev/null
}

# The Linux program points its standard error at /dev/null once the MIDI libraries are in use (they
# print there on their own threads), so the sanitizers write their reports to files, shown on failure.
reports=$repo_root/build-sanitizer-reports
rm -rf "$reports" && mkdir -p "$reports"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:log_path=$reports/asan
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan
show_reports() {
    local report
    for report in "$reports"/*; do
        [ -f "$report" ] || continue
        echo "== sanitizer report $report"
        cat "$report"
    done
}
trap show_reports EXIT

if [ "$which" = address ] || [ "$which" = all ]; then
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer: the whole suite"
    configure build-asan address,undefined
    cmake --build build-asan
    # The Windows build is not sanitized: its tests are the plain suite's. The guest's tests run the
    # same programs on an emulated processor; sanitized, they would only be slower.
    ctest --test-dir build-asan --output-on-failure -j2 -E '^(wine|vm|web)_'
fi
if [ "$which" = thread ] || [ "$which" = all ]; then
    echo "== ThreadSanitizer: the callback thread against the polling main thread"
    configure build-tsan thread
    cmake --build build-tsan
    ctest --test-dir build-tsan --output-on-failure -R 'Threaded|Transport|rtmidi'
fi
