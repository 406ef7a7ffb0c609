# The wine test driver's routines, sourced by wine-test.sh, which sets:
#   build       the 32-bit Windows build (the windows preset): update.exe, the emulated winmm.dll and
#               planted/winmm.dll
#   build64     the same three built for 64-bit Windows (the windows-x86_64 preset)
#   state       where the wine prefix and the cases' working folders go
#   action      what to do: prefix, stop, or the name of a case
#
# update.exe takes winmm from the system folder alone. The prefix's system folder therefore holds the
# emulated winmm.dll in place of wine's placeholder, and each case tells wine which one to load:
# winmm=n the emulated one, winmm=b wine's own, built in, winmm=d none at all.
#
# A case is a folder of small files under cases/ (all optional but stdout):
#   about      what the case shows, printed before it runs
#   image      "NAME SOURCE": the case's folder gets a file NAME holding images/SOURCE
#   scenario   the emulated winmm.dll's scenario; without it, the case runs with wine's own winmm
#   winmm      "disabled": the case runs with no winmm at all
#   planted    planted/winmm.dll lies beside update.exe: it leaves a mark when loaded, and must not be
#   stdout     the console output expected, byte for byte
#   report     the emulated winmm's report expected after the release lines all cases share, without
#              the messages the target received
#   received   those messages, "received HEX" a line
#   alongside  the name of another case, run first in a folder of its own and still running (its
#              transfer under way) when this case's run starts; checked afterwards as it is alone
#   interrupt  TEXT: Ctrl-C is pressed (SIGINT, which wine hands on as the console's CTRL_C_EVENT) once
#              the console shows TEXT
#   status     the exit status expected (0 otherwise)
#
# images/four_records.txt holds four records, 71 bytes: a record of one short message, one of three
# messages (11 + 11 + 2 bytes), one of exactly one full message, and one of three.
#
# Everything the program writes goes to the console: stdout must match, stderr must stay empty. Wine
# writes CR LF for every "\n" (a text-mode stream), and the run ends with cmd's "pause", which with its
# input at end of file prints its prompt and returns at once; wine's cmd words the prompt as
# "Press any key to continue... ".

SKIPPED=77
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
prefix=$state/prefix

# Wine's own diagnostics off; the audio drivers off too: with no sound hardware they report through
# alsa-lib straight to stderr. Without them wine's winmm simply has no MIDI ports.
export WINEDEBUG=-all
export WINEPREFIX=$prefix
QUIET_AUDIO='winealsa.drv,winepulse.drv,wineoss.drv=d'

runs() { "$1" --version >/dev/null 2>&1; }

first_running() {
    local candidate
    for candidate in "$@"; do
        [ -n "$candidate" ] && runs "$candidate" && { echo "$candidate"; return 0; }
    done
    return 1
}

# Sets loader, exe_dir and bits: the shipped 32-bit program where wine can run it, else the 64-bit one.
choose_runtime() {
    if [ -f "$build/update.exe" ] &&
        loader=$(first_running /usr/lib/wine/wine "$(command -v wine)"); then
        exe_dir=$build
        bits=32
        runtime="32-bit update.exe, $loader"
    elif [ -f "$build64/update.exe" ] &&
        loader=$(first_running /usr/lib/wine/wine64 "$(command -v wine64)"); then
        exe_dir=$build64
        bits=64
        runtime="64-bit update.exe (32-bit code cannot run here), $loader"
    else
        echo "SKIPPED: no cross-built update.exe in $build or $build64 that a wine on this machine" \
             "can run (build it with scripts/build-windows.sh; install wine)"
        exit $SKIPPED
    fi
    server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
}

# The prefix's system folder for a program of these bits: a 64-bit prefix keeps 32-bit DLLs in syswow64.
system_folder() {
    if [ "$bits" = 32 ] && [ -d "$prefix/drive_c/windows/syswow64" ]; then
        echo "$prefix/drive_c/windows/syswow64"
    else
        echo "$prefix/drive_c/windows/system32"
    fi
}

stop_server() {
    "$server" -k >/dev/null 2>&1 || true
    "$server" -w >/dev/null 2>&1 || true
}

# A prefix is whole when wine's own DLLs are in it; a boot that fails leaves one without them.
prefix_is_whole() {
    [ -f "$prefix/system.reg" ] && [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ]
}

make_prefix() {
    local attempt
    mkdir -p "$state"
    echo "wine runtime: $runtime"
    # A boot that failed once may do well the second time; each attempt starts from nothing, with no
    # wineserver left over from an earlier prefix at this path.
    for attempt in 1 2 3; do
        [ -d "$prefix" ] && stop_server
        rm -rf "$prefix"
        # The first boot of a prefix takes a while (tens of seconds on a slow machine).
        local booted=0
        timeout 300 "$loader" wineboot --init </dev/null >"$state/wineboot.log" 2>&1 && booted=1
        "$server" -w >/dev/null 2>&1 || true
        if [ "$booted" -eq 1 ] && prefix_is_whole; then
            install_emulated_winmm
            return 0
        fi
        echo "wineboot attempt $attempt left no whole prefix:"
        sed 's/^/  | /' "$state/wineboot.log"
    done
    echo "FAILED: wineboot could not make the prefix"
    exit 1
}

# The emulated winmm.dll where update.exe looks for winmm: the system folder, over wine's placeholder.
install_emulated_winmm() {
    [ -f "$exe_dir/winmm.dll" ] || { echo "FAILED: no emulated winmm.dll in $exe_dir"; exit 1; }
    local folder
    folder=$(system_folder)
    [ -f "$folder/winmm.dll" ] || { echo "FAILED: the prefix has no winmm.dll in $folder to replace"; exit 1; }
    cp "$exe_dir/winmm.dll" "$folder/winmm.dll"
    echo "the emulated winmm.dll is in $folder"
}

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# A Windows path for a file of this machine: wine maps drive Z: to /.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# The case's working folder ($work, made anew): the program, the image, the scenario, and the planted
# winmm.dll when the case plants one. The emulated winmm.dll is never here: it is in the prefix's system
# folder.
prepare_case() {
    local name source
    rm -rf "$work"
    mkdir -p "$work"
    cp "$exe_dir/update.exe" "$work/"
    if [ -f "$case_dir/scenario" ]; then
        mode=emulated
        cp "$case_dir/scenario" "$work/"
    elif [ "$(cat "$case_dir/winmm" 2>/dev/null)" = disabled ]; then
        mode=disabled
    else
        mode=own
    fi
    if [ -f "$case_dir/planted" ]; then
        [ -f "$exe_dir/planted/winmm.dll" ] || { echo "FAILED: no planted winmm.dll in $exe_dir/planted"; exit 1; }
        cp "$exe_dir/planted/winmm.dll" "$work/"
    fi
    if [ -f "$case_dir/image" ]; then
        read -r name source <"$case_dir/image"
        cp "$here/images/$source" "$work/$name"
    fi
}

overrides_of() {
    case $1 in
        # Native only: should the emulated winmm.dll fail to load, the program finds no winmm at all.
        emulated) echo "winmm=n;$QUIET_AUDIO" ;;
        disabled) echo "winmm=d;$QUIET_AUDIO" ;;
        *) echo "winmm=b;$QUIET_AUDIO" ;;
    esac
}

# Starts update.exe in the case's folder in the background, with its input at end of file; $update_pid
# is timeout's, whose child is the program's own process.
start_update() {
    local -a emulation=()
    if [ "$mode" = emulated ]; then
        emulation=(UPDATE_EMULATED_WINMM="$(windows_path "$work/scenario")")
    fi
    (cd "$work" && exec env WINEDLLOVERRIDES="$(overrides_of "$mode")" "${emulation[@]}" timeout 120 "$loader" \
        ./update.exe </dev/null >"$work/stdout" 2>"$work/stderr") &
    update_pid=$!
}

wait_update() { wait "$update_pid"; status=$?; }

run_update() {
    start_update
    wait_update
}

# Waits (60 s at most: the first start of a program in a prefix is slow) until FILE holds TEXT.
wait_for_text() {   # FILE TEXT
    local tries
    for tries in $(seq 600); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Runs the program and presses Ctrl-C once the console shows the case's interrupt text.
run_interrupted() {
    local text
    text=$(cat "$case_dir/interrupt")
    start_update
    if wait_for_text "$work/stdout" "$text"; then
        kill -INT "$(pgrep -P "$update_pid" | head -n 1)"
    else
        fail "the console never showed '$text'"
    fi
    wait_update
}

PLANTED_MARK=planted-winmm-loaded

# The planted winmm.dll was never loaded; and, so that its absence means something, a copy of it loaded
# on purpose, with wine told to take a native winmm as in the emulated cases, does leave its mark.
expect_planted_unused() {
    [ -e "$work/$PLANTED_MARK" ] && fail "update.exe loaded the winmm.dll planted beside it"
    local control=$work/control
    mkdir -p "$control"
    cp "$work/winmm.dll" "$control/"
    (cd "$control" && env WINEDLLOVERRIDES="$(overrides_of emulated)" timeout 60 "$loader" rundll32.exe \
        "$(windows_path "$control/winmm.dll"),plantedLoad" </dev/null >/dev/null 2>&1)
    [ -e "$control/$PLANTED_MARK" ] ||
        fail "the planted winmm.dll left no mark when loaded on purpose: its absence above shows nothing"
}

show() { od -An -c "$1" | sed 's/^/    /'; }

expect_transcript() {
    if ! cmp -s "$case_dir/stdout" "$work/stdout"; then
        fail "the console output differs"
        echo "  expected:"; show "$case_dir/stdout"
        echo "  printed:"; show "$work/stdout"
    fi
    if [ -s "$work/stderr" ]; then
        fail "something was written to stderr"
        sed 's/^/    /' "$work/stderr"
    fi
    local expected=0
    [ -f "$case_dir/status" ] && expected=$(cat "$case_dir/status")
    [ "$status" -eq "$expected" ] || fail "exit status $status, not $expected"
}

# The start of every emulated case's report: the program released all it took from winmm.
NOTHING_LEFT_OPEN='inputs-open 0
outputs-open 0
buffers-queued 0
headers-prepared 0
timer-periods-held 0
calls-refused 0
closes-refused 0
'

expect_report() {
    local report=$work/scenario.report
    if [ ! -f "$report" ]; then
        fail "the emulated winmm.dll wrote no report (was it loaded? did the program exit normally?)"
        return
    fi
    { printf '%s' "$NOTHING_LEFT_OPEN"; cat "$case_dir/report"; } >"$work/expected.report"
    grep -v '^received ' "$report" >"$work/actual.report"
    if ! cmp -s "$work/expected.report" "$work/actual.report"; then
        fail "the emulated winmm's report differs"
        diff -u "$work/expected.report" "$work/actual.report" | sed 's/^/    /'
    fi
}

expect_received() {
    grep '^received ' "$work/scenario.report" >"$work/actual.received" 2>/dev/null
    if ! cmp -s "$case_dir/received" "$work/actual.received"; then
        fail "the target received other messages"
        diff -u "$case_dir/received" "$work/actual.received" | sed 's/^/    /'
    fi
}

# Everything the case's files expect of the run in $work.
expect_case() {
    expect_transcript
    [ -f "$case_dir/report" ] && expect_report
    [ -f "$case_dir/received" ] && expect_received
    [ -f "$case_dir/planted" ] && expect_planted_unused
}

run_case() {
    case_dir=$here/cases/$action
    [ -f "$case_dir/stdout" ] || { echo "unknown case: $action" >&2; exit 2; }
    prefix_is_whole || { echo "FAILED: no wine prefix at $prefix (the wine_prefix test makes it)"; exit 1; }
    echo "wine runtime: $runtime"
    [ -f "$case_dir/about" ] && sed 's/^/case: /' "$case_dir/about"
    local first='' first_pid=''
    if [ -f "$case_dir/alongside" ]; then
        first=$(cat "$case_dir/alongside")
        echo "case: alongside a run of $first"
        case_dir=$here/cases/$first
        work=$state/cases/$action/$first
        prepare_case
        start_update
        first_pid=$update_pid
        wait_for_text "$work/stdout" 'Transferring' || fail "the run of $first never began its transfer"
        case_dir=$here/cases/$action
    fi
    work=$state/cases/$action
    [ -n "$first" ] && work=$work/second
    prepare_case
    if [ -f "$case_dir/interrupt" ]; then run_interrupted; else run_update; fi
    expect_case
    if [ -n "$first" ]; then
        case_dir=$here/cases/$first
        work=$state/cases/$action/$first
        update_pid=$first_pid
        wait_update
        expect_case
    fi
    [ "$failures" -eq 0 ] || exit 1
    echo "passed"
}
