#!/usr/bin/env bash
# Builds the web edition and serves it on 127.0.0.1 with the emulated product selectable:
#   http://127.0.0.1:PORT/             the page as it is hosted: this browser's own Web MIDI
#   http://127.0.0.1:PORT/emulated.html  the same page with the emulated product behind a stand-in
#                                        for Web MIDI; its behaviour words in the field on the page or
#                                        in the address: emulated.html?target=--refuse+2:20+--delay+700
#   scripts/web-demo.sh [PORT]     (default 8080; Ctrl-C stops the server)
set -eu
source "$(dirname "$0")/setup.sh"
port=${1:-8080}
build_dir=$repo_root/build-web
"$repo_root/scripts/build-web.sh"

# The demo's folder: the hosted files, the emulated product beside them, and the demo page, which is
# the hosted page with the emulated product's scripts ahead of its own.
demo=$build_dir/demo
rm -rf "$demo"
mkdir -p "$demo"
cp "$build_dir"/site/* "$demo"/
cp -r "$build_dir/emulated" "$demo/emulated"
sed 's|<script src="page.js"></script>|<script src="emulated/demo-setup.js"></script>\n<script src="emulated/emulated-midi.js"></script>\n&|' \
    "$demo/index.html" > "$demo/emulated.html"
cp "$repo_root/examples/ZENTRAVOX_demo.led" "$demo/emulated/"

echo "== The page:                      http://127.0.0.1:$port/"
echo "== With the emulated product:     http://127.0.0.1:$port/emulated.html"
echo "== An image to choose:            $demo/emulated/ZENTRAVOX_demo.led"
echo "== Ctrl-C stops the server."
cd "$demo"
exec python3 -m http.server "$port" --bind 127.0.0.1
