#!/usr/bin/env bash
# The program the release's Debian packages install updates the emulated product they install, over the
# JACK server of the tests: the packages unpacked (dpkg-deb -x) into a folder of their own, each
# program run from there. Skipped where no JACK server answers.
#   package_update.sh RELEASE_DIR MAKE_IMAGE
source "$(dirname "$0")/../e2e/lib.sh"
release=$(realpath "$1")
make_image_script=$(realpath "$2")
shopt -s nullglob
debs=("$release"/zentravox-update_*_amd64.deb "$release"/zentravox-target_*_amd64.deb)
if [ ${#debs[@]} -ne 2 ]; then
    echo "FAILED: $release holds no single package of each (release_reproducible makes them)"
    exit 1
fi
# Beside the release folder, in the work folder of the release tests, which each run makes anew.
root=$(dirname "$release")/unpacked
rm -rf "$root"
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$root" || { echo "FAILED: dpkg-deb cannot unpack $deb"; exit 1; }
done
e2e_init "$root/usr/bin/zentravox-update" "$root/usr/bin/zentravox-target" "$make_image_script"

begin_case "the packaged zentravox-update updates the packaged zentravox-target"
# The image of the end-to-end tests' complete update, records of every shape, and its transcript.
image ZENTRAVOX_pack.led --lengths 4,11,12,22,23,64,260,1000,6,96 --seed 11
start_target pack-target
run_update
expect_transcript "${banner}OK: File 'ZENTRAVOX_pack.led' is open.\n$(found pack-target)\
${step}- 0%% done${step}- 0%% done${step}\\\\ 1%% done${step}\\\\ 1%% done${step}| 3%% done\
${step}| 4%% done${step}/ 9%% done${step}/ 26%% done${step}- 93%% done${step}- 93%% done\
${done_ok}${prompt}"
stop_target pack-target
expect_flash pack-target ZENTRAVOX_pack.led
end_case

finish
