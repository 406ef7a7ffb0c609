# Sourced by the end-to-end scripts: the real `update` executable, as a process, against
# `zentravox-target` on the JACK server named by JACK_DEFAULT_SERVER. Nothing here starts a server.
#
#   e2e_init UPDATE TARGET MAKE_IMAGE   checks the server (exit 77, reported as skipped, without one)
#   begin_case NAME / end_case          one case: a fresh scratch folder, checks, ok or FAILED
#   start_target CLIENT [OPTION...]     the target on CLIENT-in:midi / CLIENT-out:midi, flash and log in
#                                       the scratch folder as CLIENT.flash, CLIENT.log; waits for "ready:"
#   stop_target CLIENT                  SIGTERM, then its exit status must be 0 and its stderr empty
#   run_update                          the program in the scratch folder: out.txt, err.txt, $update_status
#   wait_for_update_lock                returns once no update on this machine holds the program's lock
#   expect_transcript FORMAT            printf FORMAT is the whole standard output; stderr empty; exit 0
# Each script exits 0 when every case passed, 1 otherwise.
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/flash-check.sh"

SKIPPED=77
UPDATE_TIMEOUT=150  # seconds; a silent target takes about 45 (20 sendings of 2 s), more on a busy machine

e2e_init() {
    update=$(realpath "$1")
    target=$(realpath "$2")
    make_image=$(realpath "$3")
    # A client of ours must never start a server behind the test's back.
    export JACK_NO_START_SERVER=1
    if ! command -v jack_wait >/dev/null 2>&1; then
        echo "SKIPPED: jack_wait is not installed (package jackd2)"
        exit $SKIPPED
    fi
    if [ "$(jack_wait -c 2>/dev/null)" != "running" ]; then
        echo "SKIPPED: no JACK server answers (JACK_DEFAULT_SERVER=${JACK_DEFAULT_SERVER:-unset});" \
             "scripts/test.sh starts one"
        exit $SKIPPED
    fi
    work_root=$(mktemp -d)
    cases_failed=0
    cases_passed=0
    trap e2e_cleanup EXIT
    trap 'exit 1' INT TERM
}

declare -A target_pids=()
extra_pids=()

e2e_cleanup() {
    local client pid
    for client in "${!target_pids[@]}"; do
        kill -TERM "${target_pids[$client]}" 2>/dev/null
    done
    for pid in "${extra_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    if [ "${cases_failed:-0}" -gt 0 ]; then
        echo "(the failed cases' files are kept in $work_root)"
    else
        rm -rf "$work_root"
    fi
}

# The banner, the key-press prompt and one step of the progress line, as the program prints them.
banner='Update V0.5 - Update Zentravox System\n'
prompt='Press any key to continue . . .\n'
step='\r                        \rTransferring.. '
done_ok='\rTransferring.. 100%% done.  \n\nTarget update successfully!\n\n'
done_restart='\rTransferring.. 100%% done.  \nTarget update successfully!\n\nThe System is restarted, please wait!\n\n'
# The device lines for a target started with client name $1.
found() { printf 'The Update Device is Open successfully:\\nMIDIIN Device: %s-out:midi\\nMIDIOUT Device: %s-in:midi\\n' "$1" "$1"; }

case_problems=()

problem() { case_problems+=("$*"); }

begin_case() {
    case_name=$1
    case_problems=()
    case_dir=$work_root/case$((cases_passed + cases_failed + 1))
    mkdir -p "$case_dir"
    cd "$case_dir" || exit 1
}

end_case() {
    local client pid
    # A target still running at the end of a case is stopped, so that no port of it shows in the next.
    for client in "${!target_pids[@]}"; do
        stop_target "$client"
    done
    for pid in "${extra_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    extra_pids=()
    if [ ${#case_problems[@]} -eq 0 ]; then
        cases_passed=$((cases_passed + 1))
        echo "ok: $case_name"
    else
        cases_failed=$((cases_failed + 1))
        echo "FAILED: $case_name"
        printf '  %s\n' "${case_problems[@]}"
        local log
        for log in "$case_dir"/*.log; do
            [ -f "$log" ] || continue
            echo "  --- $(basename "$log") (last lines)"
            tail -n 8 "$log" | sed 's/^/    /'
        done
    fi
    cd "$work_root" || exit 1
}

finish() {
    echo "$cases_passed passed, $cases_failed failed"
    [ "$cases_failed" -eq 0 ]
    exit $?
}

image() { "$make_image" "$@" >/dev/null || problem "make-image.py $* failed"; }

start_target() {
    local client=$1
    shift
    "$target" --api jack --client "$client" --flash "$case_dir/$client.flash" "$@" \
        >"$case_dir/$client.log" 2>"$case_dir/$client.err" </dev/null &
    target_pids[$client]=$!
    local tries
    for tries in $(seq 100); do
        grep -q '^ready:' "$case_dir/$client.log" 2>/dev/null && return 0
        running "${target_pids[$client]}" || break
        sleep 0.05
    done
    problem "target $client did not get ready: $(cat "$case_dir/$client.err")"
    return 1
}

# True while the process runs; a child that has exited but was not waited for yet does not count.
running() {
    local state
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
    [ -n "$state" ] && [ "$state" != Z ]
}

# Waits (5 s at most) for a target that is leaving, or makes it leave; checks how it went.
stop_target() {
    local client=$1 pid=${target_pids[$1]:-}
    [ -n "$pid" ] || return 0
    kill -TERM "$pid" 2>/dev/null
    local tries
    for tries in $(seq 100); do
        running "$pid" || break
        sleep 0.05
    done
    running "$pid" && kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    local status=$?
    unset "target_pids[$client]"
    [ "$status" -eq 0 ] || problem "target $client exited with status $status"
    [ -s "$case_dir/$client.err" ] && problem "target $client wrote to stderr: $(cat "$case_dir/$client.err")"
    return 0
}

# Every update on this machine takes this lock before it opens a port (update/process_edges_posix.cpp),
# and only one holds it: the updates of other test runs on this machine (another JACK server, another
# user) would turn a case's update away with "Error: Another update is running on this computer!".
UPDATE_LOCK=/tmp/zentravox-update.lock
another_update='Error: Another update is running on this computer!'

# Returns once no update holds the lock (a shared hold, let go at once), or after the longest an update
# takes; where the lock file cannot be opened, at once.
wait_for_update_lock() { flock -s -w "$UPDATE_TIMEOUT" "$UPDATE_LOCK" true 2>/dev/null || true; }

run_update() {
    # What the program could see, and how long it took: the first things to look at when a case fails.
    jack_lsp -c >"$case_dir/ports-before-update.txt" 2>&1
    local started=$SECONDS tries
    # Started once the lock is free; started again should another test run's update take it first.
    for tries in 1 2 3 4 5; do
        wait_for_update_lock
        timeout -k 5 "$UPDATE_TIMEOUT" "$update" </dev/null >"$case_dir/out.txt" 2>"$case_dir/err.txt"
        update_status=$?
        grep -qF "$another_update" "$case_dir/out.txt" || break
    done
    echo "update ran for about $((SECONDS - started)) s" >"$case_dir/duration.txt"
    [ "$update_status" -eq 124 ] && problem "update did not end within $UPDATE_TIMEOUT s"
}

# Compares standard output with one or more printf formats (the first that matches wins).
expect_transcript() {
    local format matched=0
    for format in "$@"; do
        printf "$format" >"$case_dir/expected.txt"
        if cmp -s "$case_dir/expected.txt" "$case_dir/out.txt"; then
            matched=1
            break
        fi
    done
    if [ $matched -eq 0 ]; then
        problem "standard output differs from the expected transcript:"
        problem "  expected:" "$(od -c "$case_dir/expected.txt" | sed 's/^/    /')"
        problem "  got:" "$(od -c "$case_dir/out.txt" | sed 's/^/    /')"
    fi
    [ -s "$case_dir/err.txt" ] && problem "update wrote to stderr: $(cat "$case_dir/err.txt")"
    [ "$update_status" -eq 0 ] || problem "update exited with status $update_status"
}

# The flash holds exactly the bytes of the image's hex text (or of its first N records).
expect_flash() {   # CLIENT IMAGE [RECORDS]
    local where
    where=$(flash_equals_image "$case_dir/$1.flash" "$2" "${3:-}") || problem "flash of $1 differs: $where"
}

# The target's log holds exactly COUNT lines that start with PREFIX.
expect_log_count() {   # CLIENT PREFIX COUNT
    local count
    count=$(grep -c "^$2" "$case_dir/$1.log")
    [ "$count" -eq "$3" ] || problem "target $1 logged $count lines starting '$2', expected $3"
}

expect_log_line() {   # CLIENT LINE
    grep -qxF "$2" "$case_dir/$1.log" || problem "target $1 did not log: $2"
}

expect_summary() {   # CLIENT "N records accepted, M sendings refused or unanswered, B bytes in flash"
    grep -q "^summary: $2" "$case_dir/$1.log" || problem "target $1 did not sum up with: $2"
}
