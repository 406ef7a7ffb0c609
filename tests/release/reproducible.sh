#!/usr/bin/env bash
# The release files are reproducible: the current commit cloned twice into folders of different names,
# scripts/release.sh run in each at a different time and with a different umask, and every file of the
# two release/ folders compared byte for byte; each SHA256SUMS must also check its own folder. The
# first clone's release/ is left for the tests that look into the files (release_lintian,
# release_package_update). The commit is HEAD: changes not committed are not part of any release.
#   reproducible.sh SOURCE_DIR WORK_DIR
set -u
source_dir=$1
work=$2

problems=0
problem() {
    echo "FAILED: $*"
    problems=$((problems + 1))
}

commit=$(git -C "$source_dir" rev-parse HEAD) || { echo "FAILED: $source_dir is no git clone"; exit 1; }
echo "commit $commit"
rm -rf "$work"
mkdir -p "$work"
first=$work/first
second=$work/second-clone-in-a-longer-folder-name

release_in() {   # CLONE UMASK
    git clone -q "$source_dir" "$1" && git -C "$1" checkout -q --detach "$commit" || return 1
    (umask "$2" && cd "$1" && bash scripts/release.sh) >"$1.log" 2>&1
}

started=$SECONDS
release_in "$first" 022 || { tail -n 40 "$first.log"; echo "FAILED: the first release run failed ($first.log)"; exit 1; }
echo "first release: $((SECONDS - started)) s"
# A second later at least, so that no clock time can agree by chance.
sleep 2
started=$SECONDS
release_in "$second" 002 || { tail -n 40 "$second.log"; echo "FAILED: the second release run failed ($second.log)"; exit 1; }
echo "second release: $((SECONDS - started)) s"

files_first=$(cd "$first/release" && ls)
files_second=$(cd "$second/release" && ls)
[ "$files_first" = "$files_second" ] ||
    problem "the two runs made different files: $(echo $files_first) / $(echo $files_second)"
for file in $files_first; do
    if cmp -s "$first/release/$file" "$second/release/$file"; then
        echo "identical: $file"
    else
        problem "$file differs: $(cmp "$first/release/$file" "$second/release/$file" 2>&1)"
    fi
done
for kind in '*.deb' '*windows-x86.zip' '*web.zip'; do
    [ -n "$(cd "$first/release" && ls $kind 2>/dev/null)" ] || problem "no release file $kind"
done
for clone in "$first" "$second"; do
    (cd "$clone/release" && sha256sum --check --quiet SHA256SUMS) || problem "$clone/release/SHA256SUMS does not check"
done
[ "$(wc -l <"$first/release/SHA256SUMS")" -eq 4 ] || problem "SHA256SUMS does not list four files"
[ "$problems" -eq 0 ] || { echo "(both clones are kept in $work)"; exit 1; }
rm -rf "$second"
echo "passed"
