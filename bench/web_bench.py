#!/usr/bin/env python3
"""The web edition's speed: a 65,535-byte image (records of 256 payload bytes) sent by the page in
headless Chromium to the emulated target behind the stand-in for Web MIDI, as a ratio to the floor
(a 1 ms pause per data message plus one round trip per record, the round trip measured on its own in
the same page), and the CPU the browser spent. Prints figures; passes or fails nothing.
    bench/web_bench.py [--build build-web] [--size 65535] [--visible-only]"""
import argparse
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'web'))
from browser import Browser, Server, find_chromium  # noqa: E402

BYTES_PER_MESSAGE = 11
ROUND_TRIPS = 300

# The stand-in's own round trip: a handshake out, its answer in, through the same MIDIAccess and the
# same event path the program's input listener uses. The emulated target's line out carries one
# message a millisecond, so the probes are 2 ms apart, as records are far more.
ROUND_TRIP_PROBE = '''(async () => {
  const access = await navigator.requestMIDIAccess({ sysex: true });
  const input = Array.from(access.inputs.values())[0], output = Array.from(access.outputs.values())[0];
  await input.open(); await output.open();
  const handshake = [0xF0, 0x48, 0x71, 0x37, 0x3A, 0x62, 0x58, 0x77, 0xF7];
  const times = [];
  for (let i = 0; i < %d; ++i) {
    for (const until = performance.now() + 2; performance.now() < until;) {}
    const answered = new Promise((resolve) => { input.onmidimessage = resolve; });
    const start = performance.now();
    output.send(handshake);
    await answered;
    times.push(performance.now() - start);
  }
  input.onmidimessage = null;
  return times;
})()''' % ROUND_TRIPS


def cpu_seconds(root_pid):
    """User and system CPU of a process and all its descendants, from /proc."""
    children = {}
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            try:
                with open('/proc/%s/stat' % entry) as file:
                    fields = file.read().rsplit(')', 1)[1].split()
                children.setdefault(int(fields[1]), []).append((int(entry), fields))
            except OSError:
                pass
    ticks = os.sysconf('SC_CLK_TCK')
    total, pending = 0.0, [root_pid]
    with open('/proc/%d/stat' % root_pid) as file:
        fields = file.read().rsplit(')', 1)[1].split()
    total += (int(fields[11]) + int(fields[12])) / ticks
    while pending:
        for pid, fields in children.get(pending.pop(), []):
            total += (int(fields[11]) + int(fields[12])) / ticks
            pending.append(pid)
    return total


def record_lengths(image):
    with open(image) as file:
        data = bytes(int(token, 16) for token in file.read().split())
    lengths, position = [], 0
    while position + 1 < len(data):
        length = (data[position] << 8 | data[position + 1]) + 2
        lengths.append(length)
        position += length
    return lengths


def run_once(build, image, hidden):
    server = Server(os.path.join(build, 'site'), os.path.join(build, 'emulated'))
    browser = Browser(find_chromium())
    try:
        with open(os.path.join(build, 'emulated', 'emulated-midi.js')) as file:
            browser.send('Page.addScriptToEvaluateOnNewDocument',
                         {'source': 'window.emulatedTargetSetup = {};\n' + file.read()})
        browser.send('Page.navigate', {'url': server.origin + '/index.html'})
        browser.wait_for("window.updatePage && updatePage.state() === 'ready'", 20)
        browser.evaluate('emulatedTarget.ready()', await_promise=True)
        if hidden:
            other = browser.send('Target.createTarget', {'url': 'about:blank'}, session=False)['targetId']
            browser.send('Target.activateTarget', {'targetId': other}, session=False)
            browser.wait_for('document.visibilityState === "hidden"', 5)
        round_trips = browser.evaluate(ROUND_TRIP_PROBE, await_promise=True)
        browser.choose_files('#image', [image])
        cpu_before, wall_before = cpu_seconds(browser.process.pid), time.monotonic()
        browser.evaluate('document.getElementById("update").click()')
        browser.wait_for('updatePage.waitingForKey()', 300, poll=0.25)
        cpu = cpu_seconds(browser.process.pid) - cpu_before
        elapsed = time.monotonic() - wall_before
        first, last = browser.evaluate('[emulatedTarget.firstMessageAt, emulatedTarget.lastDeliveredAt]')
        success = 'Target update successfully!' in browser.evaluate('updatePage.transcript()')
        visibility = browser.evaluate('document.visibilityState')
        browser.press_key()
        return {'round_trip_ms': statistics.median(round_trips), 'round_trip_p99_ms':
                sorted(round_trips)[int(len(round_trips) * 0.99) - 1], 'wall_s': (last - first) / 1000,
                'elapsed_s': elapsed, 'cpu_s': cpu, 'success': success, 'visibility': visibility}
    finally:
        browser.close()
        server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', default=os.path.join(ROOT, 'build-web'))
    parser.add_argument('--size', type=int, default=65535)
    parser.add_argument('--visible-only', action='store_true')
    options = parser.parse_args()
    if find_chromium() is None or not os.path.exists(os.path.join(options.build, 'site', 'update.wasm')):
        sys.exit('needs Chromium and the web edition (scripts/build-web.sh)')
    folder = tempfile.mkdtemp(prefix='update-web-bench-')
    image = os.path.join(folder, 'ZENTRAVOX_bench.led')
    subprocess.run([sys.executable, os.path.join(ROOT, 'scripts', 'make-image.py'), image, '--size',
                    str(options.size)], check=True, stdout=subprocess.DEVNULL)
    lengths = record_lengths(image)
    messages = sum(math.ceil(length / BYTES_PER_MESSAGE) for length in lengths)
    print('image: %d bytes, %d records, %d data messages; load average before: %s'
          % (options.size, len(lengths), messages, ', '.join('%.2f' % load for load in os.getloadavg())))
    print('| tab | wall | floor | wall / floor | round trip (median, p99) | CPU (browser, all processes) | result |')
    print('|---|---|---|---|---|---|---|')
    for hidden in ([False] if options.visible_only else [False, True]):
        result = run_once(options.build, image, hidden)
        floor = messages * 0.001 + len(lengths) * result['round_trip_ms'] / 1000
        print('| %s | %.2f s | %.2f s | %.3f | %.3f ms, %.3f ms | %.2f s (%.0f %% of the %.1f s from click to prompt) | %s |'
              % (result['visibility'], result['wall_s'], floor, result['wall_s'] / floor, result['round_trip_ms'],
                 result['round_trip_p99_ms'], result['cpu_s'], 100 * result['cpu_s'] / result['elapsed_s'],
                 result['elapsed_s'], 'success' if result['success'] else 'NO SUCCESS'), flush=True)


if __name__ == '__main__':
    main()
