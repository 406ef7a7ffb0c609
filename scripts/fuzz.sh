#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz/ with clang (libFuzzer, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and fuzzes each one for a bounded time, starting from a copy of its seed corpus. Prints one
# line per target: executions, executions per second, and whether anything was found. Exit status 1
# when a target found a crash, leak, timeout or out-of-memory; 2 on a usage or build error.
#
#   scripts/fuzz.sh [options] [-- libFuzzer options...]
#     -t, --time SECONDS     fuzzing time per target (default 60)
#     -b, --build-dir DIR    build directory (default build-fuzz in the repository)
#     -w, --work-dir DIR     corpus copies and findings (default DIR-of-build/fuzz-work)
#     --targets "A B"        which targets (default "fuzz_image fuzz_receive")
#     --update-corpus        afterwards, merge inputs that add coverage into tests/fuzz/corpus/
#
# Findings are left in WORK/TARGET/findings/ (crash-*, leak-*, timeout-*, oom-*), the whole libFuzzer
# output in WORK/TARGET/fuzz.log. Replay one with: BUILD/tests/TARGET WORK/TARGET/findings/crash-...
set -eu

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=60
build_dir=$repo_root/build-fuzz
work_dir=
targets="fuzz_image fuzz_receive"
update_corpus=0
extra=()

usage() { sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; }

while [ $# -gt 0 ]; do
    case $1 in
        -t|--time) seconds=$2; shift 2 ;;
        -b|--build-dir) build_dir=$2; shift 2 ;;
        -w|--work-dir) work_dir=$2; shift 2 ;;
        --targets) targets=$2; shift 2 ;;
        --update-corpus) update_corpus=1; shift ;;
        -h|--help) usage; exit 0 ;;
        --) shift; extra=("$@"); break ;;
        *) echo "fuzz.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
case $seconds in ''|*[!0-9]*) echo "fuzz.sh: --time takes whole seconds" >&2; exit 2 ;; esac
build_dir=$(mkdir -p "$build_dir" && cd "$build_dir" && pwd)
work_dir=${work_dir:-$build_dir/fuzz-work}

cxx=${FUZZ_CXX:-clang++}
if ! command -v "$cxx" >/dev/null; then
    echo "fuzz.sh: $cxx not found; install clang and libclang-rt-14-dev (or set FUZZ_CXX)" >&2
    exit 2
fi

echo "== Building the fuzzers in $build_dir"
# Optimized with debug information: faster fuzzing, readable stacks. No whole-build sanitizers: the
# fuzzers bring their own.
build_log=$build_dir/fuzz-build.log
# shellcheck disable=SC2086
if ! { cmake -S "$repo_root" --preset fuzz -B "$build_dir" -DCMAKE_CXX_COMPILER="$cxx" &&
       cmake --build "$build_dir" --target $targets; } >"$build_log" 2>&1; then
    tail -n 30 "$build_log" >&2
    echo "fuzz.sh: the fuzzers did not build, see $build_log (does $cxx have libFuzzer? Debian: libclang-rt-14-dev)" >&2
    exit 2
fi

found_any=0
for target in $targets; do
    seeds=$repo_root/tests/fuzz/corpus/${target#fuzz_}
    binary=$build_dir/tests/$target
    if [ ! -x "$binary" ]; then
        echo "fuzz.sh: $binary was not built (is the compiler clang with libFuzzer?)" >&2
        exit 2
    fi
    here=$work_dir/$target
    rm -rf "$here"
    mkdir -p "$here/corpus" "$here/findings"
    # The fuzzer adds what it finds to its first corpus folder: a copy, never the seeds themselves.
    cp "$seeds"/* "$here/corpus/" 2>/dev/null || true

    status=0
    (cd "$here" && "$binary" "$here/corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$here/findings/" ${extra[@]+"${extra[@]}"}) >"$here/fuzz.log" 2>&1 ||
        status=$?

    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$here/fuzz.log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$here/fuzz.log" | tail -1)
    findings=$(cd "$here/findings" && ls 2>/dev/null | tr '\n' ' ')
    if [ -n "$findings" ] || [ "$status" -ne 0 ]; then
        found_any=1
        verdict="FOUND: ${findings:-exit status $status, see $here/fuzz.log}"
        # The check that failed, as the target put it, when it was one of ours.
        reason=$(grep -m1 -E "^fuzz_[a-z]+: |^SUMMARY: " "$here/fuzz.log" || true)
        [ -n "$reason" ] && verdict="$verdict ($reason)"
    else
        verdict="nothing found"
    fi
    printf '%-14s %10s executions %8s exec/s  %s\n' "$target" "${executions:-?}" "${rate:-?}" "$verdict"

    if [ "$update_corpus" -eq 1 ]; then
        # Only inputs that add coverage to the seeds are kept, so the seed corpus stays small.
        "$binary" -merge=1 "$seeds" "$here/corpus" >"$here/merge.log" 2>&1 ||
            echo "fuzz.sh: merging into $seeds failed, see $here/merge.log" >&2
    fi
done

exit $found_any
