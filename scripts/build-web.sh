#!/usr/bin/env bash
# Builds the web edition with emscripten, through CMake's web preset: build-web/site is the page to host
# (static files only), build-web/emulated the emulated target for the tests and the demo (never hosted).
# Debian's emscripten comes with its system libraries prebuilt in a frozen cache: a build compiles only
# this project's sources and writes nothing outside the build folder.
set -eu
source "$(dirname "$0")/setup.sh"
cd "$repo_root"
ensure_packages "${WEB_PACKAGES[@]}"
cmake --workflow --preset web >build-web.log 2>&1 ||
    { tail -n 40 build-web.log >&2; echo "build-web: the build failed, see build-web.log" >&2; exit 1; }
echo "== Web edition: build-web/site (the page to host), build-web/emulated (tests and demo only)"
