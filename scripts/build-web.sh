#!/usr/bin/env bash
# Builds the web edition with emscripten: BUILD_DIR/site is the page to host (static files only),
# BUILD_DIR/emulated the emulated target for the tests and the demo (never hosted).
#   scripts/build-web.sh [BUILD_DIR]      default: build-web
set -eu
source "$(dirname "$0")/setup.sh"
build_dir=${1:-$repo_root/build-web}
ensure_packages "${WEB_PACKAGES[@]}"
# Debian's emscripten runs its JavaScript tools with node, which finds their modules only here.
export NODE_PATH=/usr/share/nodejs
# Debian's emscripten comes with its system libraries prebuilt in a frozen cache: a build compiles
# only this project's sources and writes nothing outside the build directory.
emcmake cmake -S "$repo_root/web" -B "$build_dir" -G Ninja -DUPDATE_WERROR=ON >/dev/null
cmake --build "$build_dir" -j2
echo "== Web edition: $build_dir/site (the page to host), $build_dir/emulated (tests and demo only)"
