#!/usr/bin/env bash
# The "before" of bench/run_discovery.py, built in a scratch folder outside the repository (nothing here
# is committed or changes the repository):
#   DIR/program/build/update          the program of PROGRAM_COMMIT, whose search tries the pairs one by
#                                     one, inputs outer, outputs inner, four 500 ms handshakes each
#   DIR/search/build/bench_discovery  the virtual-time benchmark of the working tree with that search
#                                     (protocol/discovery.cpp of SEARCH_COMMIT, its last form, which
#                                     builds on today's ports) in place of today's
#
#   bench/build_before.sh DIR [PROGRAM_COMMIT [SEARCH_COMMIT]]   (defaults: 18a8809 1180fc3)
set -eu

[ $# -ge 1 ] && [ $# -le 3 ] || { echo "usage: $0 DIR [PROGRAM_COMMIT [SEARCH_COMMIT]]" >&2; exit 2; }
dir=$(realpath -m "$1")
program_commit=${2:-18a8809}
search_commit=${3:-1180fc3}
root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
case $dir/ in
    "$root"/*) echo "build_before: $dir is inside the repository; choose a scratch folder outside it" >&2; exit 2 ;;
esac
mkdir -p "$dir"

configure_and_build() {   # SOURCE TARGET [CMAKE_OPTION...]
    local source=$1 target=$2
    shift 2
    cmake -S "$source" -B "$source/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_TESTS=OFF "$@" \
        >"$source/configure.log" 2>&1 || { tail -n 20 "$source/configure.log" >&2; return 1; }
    cmake --build "$source/build" -j2 --target "$target" >"$source/build.log" 2>&1 ||
        { tail -n 20 "$source/build.log" >&2; return 1; }
}

rm -rf "$dir/program" "$dir/search"
mkdir -p "$dir/program" "$dir/search"
git -C "$root" archive "$program_commit" | tar -x -C "$dir/program"
configure_and_build "$dir/program" update -DUPDATE_BENCH=OFF
echo "build_before: $dir/program/build/update (the program of $program_commit)"

(cd "$root" && git ls-files -co --exclude-standard -z | grep -zv '^build' | tar -c --null -T - -f -) | tar -x -C "$dir/search"
git -C "$root" show "$search_commit:protocol/discovery.cpp" >"$dir/search/protocol/discovery.cpp"
configure_and_build "$dir/search" bench_discovery
echo "build_before: $dir/search/build/bench_discovery (today's benchmark, the search of $search_commit)"
