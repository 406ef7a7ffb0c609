#!/usr/bin/env bash
# The release files of the current commit, in one folder, through CMake's presets and CPack:
#   release/zentravox-update_VERSION_amd64.deb            the program, for Debian 12 and its kin
#   release/zentravox-target_VERSION_amd64.deb            the emulated product, for firmware developers
#   release/zentravox-update-VERSION-windows-x86.zip      update.exe and a short how-to
#   release/zentravox-update-VERSION-web.zip              the web page's five files, ready to host
#   release/SHA256SUMS                                    the SHA-256 of each, as sha256sum -c reads it
# VERSION is the program's version, the commit's day and the commit (0.5+git20261207.18a8809f2c). Every
# file is made from the commit alone: two runs in clean clones of one commit give the same bytes
# (tests/release/reproducible.sh shows it). Installs what is missing from Debian's archive first.
#   scripts/release.sh
set -eu
source "$(dirname "$0")/setup.sh"
cd "$repo_root"
ensure_packages "${NATIVE_PACKAGES[@]}" "${RELEASE_PACKAGES[@]}"
# What a build may take from the machine rather than the commit, fixed: CPack writes the members of a
# package with the modes the umask gives.
export LC_ALL=C TZ=UTC
umask 022

cmake -E rm -rf release
for preset in release-linux release-windows release-web; do
    echo "== $preset"
    cmake --workflow --preset "$preset" --fresh
done
cd release
cmake -E sha256sum *.deb *.zip >SHA256SUMS
echo "== release/:"
cat SHA256SUMS
