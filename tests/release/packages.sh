#!/usr/bin/env bash
# What the release's Debian packages hold (the release folder that release_reproducible left): lintian
# finds no error in them; each names its version with the commit, declares the libraries it needs
# (librtmidi6 among them) and brings its man page.
#   packages.sh RELEASE_DIR
set -u
release=$(realpath "$1")
shopt -s nullglob
update_deb=("$release"/zentravox-update_*_amd64.deb)
target_deb=("$release"/zentravox-target_*_amd64.deb)
if [ ${#update_deb[@]} -ne 1 ] || [ ${#target_deb[@]} -ne 1 ]; then
    echo "FAILED: $release holds no single package of each (release_reproducible makes them)"
    exit 1
fi
problems=0
problem() {
    echo "FAILED: $*"
    problems=$((problems + 1))
}

if command -v lintian >/dev/null; then
    lintian --fail-on error "${update_deb[0]}" "${target_deb[0]}" >lintian.txt 2>&1 ||
        problem "lintian: $(grep '^E:' lintian.txt | tr '\n' '|')"
    sed -n 's/^\([WIE]\): /lintian \1: /p' lintian.txt
else
    problem "lintian is not installed (scripts/setup.sh lists it)"
fi

for deb in "${update_deb[0]}" "${target_deb[0]}"; do
    package=$(dpkg-deb --field "$deb" Package)
    version=$(dpkg-deb --field "$deb" Version)
    depends=$(dpkg-deb --field "$deb" Depends)
    echo "$package $version: $depends"
    [[ $version =~ ^[0-9.]+\+git[0-9]{8}\.[0-9a-f]{10}$ ]] ||
        problem "$package: version $version does not name the commit (or the tree had changes)"
    for library in librtmidi6 libasound2 libc6 libstdc++6; do
        [[ "$depends," == *"$library "* ]] || problem "$package does not depend on $library: $depends"
    done
    contents=$(dpkg-deb --contents "$deb")
    grep -q "/usr/share/man/man1/$package.1.gz\$" <<<"$contents" || problem "$package has no man page"
    grep -q "/usr/bin/$package\$" <<<"$contents" || problem "$package does not install /usr/bin/$package"
done

[ "$problems" -eq 0 ] || exit 1
echo "passed"
