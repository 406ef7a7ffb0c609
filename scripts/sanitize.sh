#!/usr/bin/env bash
# The test suite under sanitizers, through CMake's presets: everything built with AddressSanitizer and
# UndefinedBehaviorSanitizer and run whole but for the tests that run no sanitized code (the asan
# workflow); the tests where the MIDI callback thread races the polling main thread built with
# ThreadSanitizer (the tsan workflow). Any report fails the run. Expects the packages of
# scripts/setup.sh to be installed; the tests on real ports start their own JACK server.
#   scripts/sanitize.sh [address|thread|all]
set -eu
source "$(dirname "$0")/setup.sh"
cd "$repo_root"
which=${1:-all}

# The Linux program points its standard error at /dev/null once the MIDI libraries are in use (they
# print there on their own threads), so the sanitizers write their reports to files in the build
# folders (the test presets say where), shown at the end.
rm -f build-asan/sanitizer-report-* build-tsan/sanitizer-report-*
show_reports() {
    local report
    for report in build-asan/sanitizer-report-* build-tsan/sanitizer-report-*; do
        [ -f "$report" ] || continue
        echo "== sanitizer report $report"
        cat "$report"
    done
}
trap show_reports EXIT

if [ "$which" = address ] || [ "$which" = all ]; then
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer: the whole suite"
    cmake --workflow --preset asan
fi
if [ "$which" = thread ] || [ "$which" = all ]; then
    echo "== ThreadSanitizer: the callback thread against the polling main thread"
    cmake --workflow --preset tsan
fi
