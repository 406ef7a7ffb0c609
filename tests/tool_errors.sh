#!/usr/bin/env bash
# The helper tools speak as the program does: a mistake gets one line that says what is wrong, never a
# traceback, and --help its usage. Usage: tool_errors.sh MAKE_IMAGE [BENCH_TRANSFER]
set -u
make_image=$1
bench_transfer=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

# The command must fail with exactly one line on stderr, beginning with EXPECTED, and nothing else.
expect_one_line_error() {   # NAME EXPECTED COMMAND...
    local name=$1 expected=$2 status
    shift 2
    "$@" >"$work/out" 2>"$work/err"
    status=$?
    if [ "$status" -ne 0 ] && [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "^$expected" "$work/err" &&
        [ ! -s "$work/out" ]; then
        passed=$((passed + 1)); echo "ok: $name"
    else
        failed=$((failed + 1)); echo "FAILED: $name (exit $status)"
        sed 's/^/    /' "$work/err"
    fi
}

expect_one_line_error "make-image.py, a data file that is not there" "error: cannot read the data file" \
    "$make_image" "$work/ZENTRAVOX.led" --data "$work/no-such-firmware.bin"
expect_one_line_error "make-image.py, a data file that is a folder" "error: cannot read the data file" \
    "$make_image" "$work/ZENTRAVOX.led" --data "$work"
expect_one_line_error "make-image.py, an image in a folder that is not there" "error: cannot write" \
    "$make_image" "$work/no-such-folder/ZENTRAVOX.led"

if [ -n "$bench_transfer" ]; then
    # Without the usage, --help used to run the whole benchmark.
    if timeout 10 "$bench_transfer" --help >"$work/out" 2>"$work/err" && grep -q '^usage: bench_transfer' "$work/out" &&
        [ ! -s "$work/err" ]; then
        passed=$((passed + 1)); echo "ok: bench_transfer --help prints its usage"
    else
        failed=$((failed + 1)); echo "FAILED: bench_transfer --help"; head -c 300 "$work/out" "$work/err"
    fi
    if "$bench_transfer" --fast >"$work/out" 2>"$work/err"; [ $? -eq 2 ] && grep -q '^usage: bench_transfer' "$work/err" &&
        [ ! -s "$work/out" ]; then
        passed=$((passed + 1)); echo "ok: bench_transfer refuses an option it does not know, with its usage"
    else
        failed=$((failed + 1)); echo "FAILED: bench_transfer --fast"; head -c 300 "$work/out" "$work/err"
    fi
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
