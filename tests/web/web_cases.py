"""The web edition in headless Chromium: the page runs the program against the emulated target behind
a stand-in for Web MIDI, and each run's console text must equal, byte for byte, what the console
program prints for the same scenario (web_console_run). One case per invocation:
    web_cases.py CASE --build BUILD_WEB --console WEB_CONSOLE_RUN --make-image MAKE_IMAGE --examples DIR
Exit status 0 passed, 1 failed, 77 skipped (no Chromium, or the web edition not built)."""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import SKIP, Browser, Server, find_chromium  # noqa: E402

RECORD_OK = 0x1A
PROMPT = 'Press any key to continue . . .'


def image_bytes(path):
    """The bytes of an image as make-image.py writes it: hex pairs between blanks."""
    with open(path) as file:
        return bytes(int(token, 16) for token in file.read().split())


def record_count(path):
    data, position, count = image_bytes(path), 0, 0
    while position + 1 < len(data):
        position += (data[position] << 8 | data[position + 1]) + 2
        count += 1
    return count


def terminal_screen(text):
    """What a terminal shows for `text`: a carriage return goes back to the start of the line, and
    what follows overwrites it character by character."""
    lines, column = [''], 0
    for character in text:
        if character == '\r':
            column = 0
        elif character == '\n':
            lines.append('')
            column = 0
        else:
            line = lines[-1].ljust(column)
            lines[-1] = line[:column] + character + line[column + 1:]
            column += 1
    return '\n'.join(lines)


class Case:
    def __init__(self, options, name):
        self.options, self.name = options, name
        self.failures = []
        self.folder = tempfile.mkdtemp(prefix='update-web-case-')
        self.server = Server(os.path.join(options.build, 'site'), os.path.join(options.build, 'emulated'))
        self.browser = Browser(find_chromium())
        self.shots = options.shots
        self.skip_reason = ''
        os.makedirs(self.shots, exist_ok=True)

    def close(self):
        self.browser.close()
        self.server.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition

    def expect_equal(self, got, wanted, what):
        return self.expect(got == wanted, '%s:\n  got    %r\n  wanted %r' % (what, got, wanted))

    # --- files ---
    def make_image(self, name, *arguments):
        path = os.path.join(self.folder, name)
        subprocess.run([sys.executable, self.options.make_image, path, *arguments], check=True,
                       stdout=subprocess.DEVNULL)
        return path

    def file(self, name, text):
        path = os.path.join(self.folder, name)
        with open(path, 'w') as file:
            file.write(text)
        return path

    def console_output(self, files, *arguments):
        """What the console program prints with `files` in its folder and the target of `arguments`."""
        folder = tempfile.mkdtemp(dir=self.folder)
        for path in files:
            shutil.copy(path, folder)
        result = subprocess.run([self.options.console, folder, *arguments], stdin=subprocess.DEVNULL,
                                capture_output=True, check=True)
        self.expect_equal(result.stderr, b'', 'the console program writes nothing on stderr')
        return result.stdout.decode()

    # --- the page ---
    def open_page(self, words='', access='grant', emulated=True, **names):
        """Opens the page, with the emulated target behind a stand-in for Web MIDI unless `emulated` is
        false (the browser's own Web MIDI); `names` may name its ports (inputName, outputName)."""
        setup = {'words': words, 'access': access, **names}
        with open(os.path.join(self.options.build, 'emulated', 'emulated-midi.js')) as file:
            stand_in = 'window.emulatedTargetSetup = %s;\n%s\n' % (json.dumps(setup), file.read())
        # Kept by the page for the whole test: whether it was ever visible while the program ran, and
        # anything its security policy stopped.
        watch = ('window.visibilityDuringRuns = [];'
                 'document.addEventListener("visibilitychange", () =>'
                 ' window.visibilityDuringRuns.push(document.visibilityState));'
                 'window.policyViolations = [];'
                 'document.addEventListener("securitypolicyviolation", (event) =>'
                 ' window.policyViolations.push(event.violatedDirective + " " + event.blockedURI));')
        self.browser.send('Page.addScriptToEvaluateOnNewDocument',
                          {'source': (stand_in if emulated else '') + watch})
        self.browser.send('Page.navigate', {'url': self.server.origin + '/index.html'})
        ready = self.browser.wait_for("window.updatePage && updatePage.state() === 'ready'", 20)
        if not ready:
            raise AssertionError('the page never became ready')
        if emulated and access != 'absent':
            self.browser.evaluate('emulatedTarget.ready()', await_promise=True)

    def run(self, files, shot, limit=120, answer='key'):
        """Chooses `files`, clicks Update and answers the closing prompt with a key or the Continue
        button; returns the run's text."""
        runs = int(self.browser.evaluate('document.body.dataset.runs || "0"'))
        self.browser.choose_files('#image', files)
        started = time.monotonic()
        self.browser.click('#update')
        if not self.browser.wait_for('updatePage.waitingForKey()', limit):
            self.browser.screenshot(os.path.join(self.shots, '%s-%s-stuck.png' % (self.name, shot)))
            raise AssertionError('no key prompt within %d s; the page shows:\n%s'
                                 % (limit, self.browser.evaluate('updatePage.screen()')))
        self.elapsed = time.monotonic() - started
        self.browser.screenshot(os.path.join(self.shots, '%s-%s.png' % (self.name, shot)))
        self.expect(self.browser.evaluate('updatePage.running()'), 'the run waits for the key until it is pressed')
        # The panel is drawn at most ten times a second; at the prompt it must show the whole run.
        self.expect_equal(self.page('document.getElementById("console").textContent'),
                          self.page('updatePage.screen()'), 'the panel is drawn up to date at the prompt')
        if answer == 'key':
            self.browser.press_key()
        else:
            self.browser.click('#continue')
        self.expect(self.browser.wait_for('document.body.dataset.runs === "%d"' % (runs + 1), 10),
                    'the %s ends the run' % answer)
        self.expect(self.page('document.getElementById("continue").hidden'), 'the Continue button is gone')
        self.expect_equal(self.browser.evaluate('updatePage.errorOutput()'), '', 'nothing on stderr')
        return self.browser.evaluate('updatePage.transcript()')

    def page(self, expression):
        return self.browser.evaluate(expression)

    def check_run(self, transcript, expected, outcome_kind, outcome_words):
        """The page's text is the console program's, its screen is a terminal's, its outcome is plain."""
        self.expect_equal(transcript, expected, 'the page prints what the console program prints')
        self.expect_equal(self.page('updatePage.screen()'), terminal_screen(expected),
                          'the console panel shows what a terminal shows')
        self.expect_equal(self.page('document.getElementById("outcome").dataset.outcome'), outcome_kind,
                          'the outcome is a ' + outcome_kind)
        self.expect(outcome_words in self.page('updatePage.outcome()'),
                    'the outcome says %r; it says %r' % (outcome_words, self.page('updatePage.outcome()')))
        self.expect_equal(self.page('policyViolations'), [], "nothing the page's security policy forbids")
        thrown = [event['params']['exceptionDetails'] for event in self.browser.events
                  if event['method'] == 'Runtime.exceptionThrown']
        self.expect_equal(thrown, [], 'no uncaught exception in the page')


CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


def demo_image(case):
    return os.path.join(case.options.examples, 'ZENTRAVOX_demo.led')


@case
def complete_update(case):
    image = demo_image(case)
    case.open_page()
    loaded = len(case.server.requests)
    # Everything the page needs has been loaded: the update runs without a network.
    case.browser.send('Network.enable')
    case.browser.send('Network.emulateNetworkConditions', {'offline': True, 'latency': 0,
                                                            'downloadThroughput': -1, 'uploadThroughput': -1})
    transcript = case.run([image], 'done')
    case.check_run(transcript, case.console_output([image]), 'success', 'the product has the new firmware')
    case.expect_equal(case.page('emulatedTarget.flashHex()'), image_bytes(image).hex().upper(),
                      "the target's flash is the image")
    codes = case.page('emulatedTarget.sendingCodes()')
    case.expect(codes and all(code == RECORD_OK for code in codes), 'every record was sent once and accepted')
    case.expect_equal(case.page('emulatedTarget.lost'), 0, 'no answer of the target was lost')
    case.expect_equal(case.page('updatePage.percent()'), 100, 'the progress bar is full')
    case.expect_equal(case.page('updatePage.notice()'), '', 'no notice')
    case.expect_equal(case.server.requests[loaded:], [], 'the page requested nothing after it was loaded')
    case.expect(all(not path.startswith('http') for path in case.server.requests), 'only its own files were loaded')


@case
def refusals(case):
    image = demo_image(case)
    words = '--refuse 2:20 --refuse 4:24:2 --refuse 6:25 --refuse 7:21'
    case.open_page(words)
    transcript = case.run([image], 'done')
    case.check_run(transcript, case.console_output([image], *words.split()), 'success', 'new firmware')
    for message in ('The CRC of the download file is error!', 'The download file verifies error!',
                    'The MCU erases error!', 'The download file has been damaged!'):
        case.expect(message in transcript, 'the refusal is printed: ' + message)
    case.expect_equal(case.page('emulatedTarget.flashHex()'), image_bytes(image).hex().upper(),
                      'refused records were sent again, and each written once')


@case
def long_port_names(case):
    # Port names are cut to 31 bytes, as winmm's are, and never inside a character: the input's name
    # has a two-byte character at bytes 31 and 32, the output's a four-byte one at bytes 29 to 32.
    image = demo_image(case)
    case.open_page(inputName='Zentravox In Port Nummer 12345ä 1', outputName='Zentravox Out Port Nummer 12🎹 2')
    transcript = case.run([image], 'done')
    case.expect('MIDIIN Device: Zentravox In Port Nummer 12345\n' in transcript,
                'the input name is cut before the "ä" that byte 31 would split: %r' % transcript.split('\n')[3])
    case.expect('MIDIOUT Device: Zentravox Out Port Nummer 12\n' in transcript,
                'the output name is cut before the four-byte character: %r' % transcript.split('\n')[4])
    case.expect('\ufffd' not in transcript, 'no broken character')


@case
def noisy_target(case):
    # Answers padded past the receive buffer (and past what the page copies at once), a channel message
    # after every data message, a lone F0 before each handshake answer: the codes are read from the
    # padded answers, the rest is no answer, and the update goes through as with a quiet target.
    # (Foreign system-exclusive messages are left out: whether one lands while a record is going out or
    # while its answer is awaited depends on timing, so no two runs need print the same.)
    image = demo_image(case)
    words = '--pad 600 --flood 1 --lone-f0'
    case.open_page(words)
    transcript = case.run([image], 'done')
    case.check_run(transcript, case.console_output([image], *words.split()), 'success', 'new firmware')
    case.expect_equal(case.page('emulatedTarget.flashHex()'), image_bytes(image).hex().upper(),
                      "the target's flash is the image")
    case.expect(all(code == RECORD_OK for code in case.page('emulatedTarget.sendingCodes()')),
                'every record was sent once and accepted')


@case
def twenty_refusals(case):
    image = demo_image(case)
    case.open_page('--refuse 3:22:0')
    transcript = case.run([image], 'failed')
    case.check_run(transcript, case.console_output([image], '--refuse', '3:22:0'), 'failure',
                   'not complete')
    case.expect_equal(case.page('emulatedTarget.sendingCodes().filter(c => c === 0x22).length'), 20,
                      'record 3 was sent twenty times')
    case.expect_equal(case.page('emulatedTarget.recordsAccepted()'), 2, 'only records 1 and 2 were written')


@case
def silent_target(case):
    image = case.make_image('ZENTRAVOX_small.led', '--size', '1048')
    case.open_page('--silent-from 2')
    # 20 sendings of a 2 s wait each: about 45 s, longer on a busy machine (the waits are counted in
    # 1 ms polls, and each poll lasts longer there).
    transcript = case.run([image], 'failed', limit=330)
    case.check_run(transcript, case.console_output([image], '--silent-from', '2'), 'failure', 'stopped answering')
    case.expect_equal(len(case.page('emulatedTarget.sendingCodes()')), 21, 'record 2 was sent twenty times')


@case
def reset_request(case):
    image = demo_image(case)
    case.open_page('--handshake-reply 15')
    transcript = case.run([image], 'reset')
    case.check_run(transcript, case.console_output([image], '--handshake-reply', '15'), 'failure',
                   'reset first')
    case.expect_equal(case.page('emulatedTarget.sendingCodes().length'), 0, 'no record was sent')
    case.expect_equal(case.page('emulatedTarget.flashSize()'), 0, 'nothing was written')


@case
def image_phase(case):
    # Three runs in one page, each with other files chosen: the folder holds the chosen files only.
    good = case.make_image('ZENTRAVOX_good.led', '--size', '1048')
    bad = case.make_image('ZENTRAVOX_bad.led', '--size', '1048')
    with open(bad) as file:
        text = file.read().rstrip()
    # The last value is the high byte of the last checksum word: one more, and the record is unsound.
    head, last = text.rsplit(None, 1)
    case.file('ZENTRAVOX_bad.led', '%s %02X\n' % (head, (int(last, 16) + 1) & 0xFF))
    wrong_name = case.file('firmware.led', open(good).read())
    case.open_page()
    runs = [([], 'no-image', 'No update image'),
            ([wrong_name, good], 'wrong-name', 'does not begin with ZENTRAVOX'),
            ([bad], 'bad-checksum', 'damaged or incomplete')]
    for number, (files, shot, words) in enumerate(runs):
        transcript = case.run(files, shot, answer='button' if number == 1 else 'key')
        case.check_run(transcript, case.console_output(files), 'failure', words)
    case.expect(not case.page('emulatedTarget.started'), 'MIDI access is not asked for an image that fails')


@case
def slow_target(case):
    image = case.make_image('ZENTRAVOX_small.led', '--size', '1048')
    case.open_page('--delay 1500')
    transcript = case.run([image], 'done', limit=60)
    case.check_run(transcript, case.console_output([image]), 'success', 'new firmware')
    case.expect_equal(case.page('emulatedTarget.sendingCodes()'), [RECORD_OK] * record_count(image),
                      'each record was sent once, and accepted once')
    case.expect_equal(case.page('emulatedTarget.flashHex()'), image_bytes(image).hex().upper(),
                      "the target's flash is the image")


@case
def late_target(case):
    # Answers 2.5 s late: record 1 is sent again after 2 s of silence, and both sendings are accepted
    # in the end. The target has written the record twice, and the program must not call that a success.
    image = case.make_image('ZENTRAVOX_small.led', '--size', '1048')
    words = '--handshake-delay 0 --delay 2500'
    case.open_page(words)
    transcript = case.run([image], 'failed', limit=60)
    case.check_run(transcript, case.console_output([image], *words.split()), 'failure', 'not complete')
    case.expect('Target update successfully!' not in transcript, 'no success is claimed')
    case.expect_equal(case.page('emulatedTarget.sendingCodes()'), [RECORD_OK, RECORD_OK],
                      'record 1 arrived twice and was accepted twice')


@case
def hidden_tab(case):
    # 32 records of 262 bytes: 768 data messages, 0.8 s of pauses. A sleep on the browser's timers
    # would last a second each in a hidden tab: more than ten minutes.
    image = case.make_image('ZENTRAVOX_hidden.led', '--size', '8384')
    case.open_page()
    case.browser.choose_files('#image', [image])
    other = case.browser.send('Target.createTarget', {'url': 'about:blank'}, session=False)['targetId']
    case.browser.send('Target.activateTarget', {'targetId': other}, session=False)
    case.expect(case.browser.wait_for('document.visibilityState === "hidden"', 5), 'the tab is hidden')
    started = case.page('performance.now()')
    case.page('document.getElementById("update").click()')
    case.expect(case.browser.wait_for('updatePage.waitingForKey()', 60), 'the run ends in a hidden tab')
    took = (case.page('performance.now()') - started) / 1000
    case.expect_equal(case.page('visibilityDuringRuns'), ['hidden'], 'the tab stayed hidden all along')
    case.expect(took < 8, 'the hidden tab kept its pace: %.1f s for 0.8 s of pauses' % took)
    case.browser.send('Target.activateTarget', {'targetId': case.browser.target_id}, session=False)
    case.browser.press_key()
    case.expect(case.browser.wait_for('document.body.dataset.runs === "1"', 10), 'a key press ends the run')
    case.check_run(case.page('updatePage.transcript()'), case.console_output([image]), 'success', 'new firmware')
    case.expect_equal(case.page('emulatedTarget.flashHex()'), image_bytes(image).hex().upper(),
                      "the target's flash is the image")


@case
def midi_refused(case):
    image = demo_image(case)
    case.open_page(access='deny')
    transcript = case.run([image], 'refused')
    case.check_run(transcript, case.console_output([image], '--no-ports'), 'failure', 'no access to MIDI')
    notice = case.page('updatePage.notice()')
    case.expect('did not give this page access' in notice and 'NotAllowedError' in notice,
                'the page says the browser refused MIDI access, and how: %r' % notice)
    case.expect('Chrome' in notice and 'Firefox' in notice, 'the page names the browsers that work')


@case
def no_answer(case):
    image = demo_image(case)
    case.open_page('--handshake-reply silent')
    transcript = case.run([image], 'no-answer')
    case.check_run(transcript, case.console_output([image], '--handshake-reply', 'silent'), 'failure',
                   'No product answered')
    case.expect_equal(case.page('emulatedTarget.handshakes()'), 4, 'the handshake went out four times')
    case.expect_equal(case.page('updatePage.notice()'), '', 'no notice: MIDI access was given')


@case
def midi_absent(case):
    image = demo_image(case)
    case.open_page(access='absent')
    transcript = case.run([image], 'absent')
    case.check_run(transcript, case.console_output([image], '--no-ports'), 'failure', 'no access to MIDI')
    notice = case.page('updatePage.notice()')
    case.expect('has no Web MIDI' in notice and 'Chrome' in notice,
                'the page says the browser has no Web MIDI and names those that have it: %r' % notice)


@case
def browser_midi(case):
    # The browser's own Web MIDI, no stand-in: refused first (headless Chromium grants no permission by
    # itself), then granted. Where the browser then finds real MIDI ports, what the run prints depends
    # on them: the case reports skipped there.
    image = demo_image(case)
    case.open_page(emulated=False)
    expected = case.console_output([image], '--no-ports')
    transcript = case.run([image], 'denied')
    case.check_run(transcript, expected, 'failure', 'no access to MIDI')
    notice = case.page('updatePage.notice()')
    case.expect('did not give this page access' in notice and 'NotAllowedError' in notice,
                'the page says the permission was refused: %r' % notice)
    case.browser.send('Browser.grantPermissions', {'permissions': ['midi', 'midiSysex'],
                                                    'origin': case.server.origin}, session=False)
    transcript = case.run([image], 'granted')
    notice = case.page('updatePage.notice()')
    if not notice:
        case.skip_reason = "the browser's Web MIDI has ports on this machine"
        return
    case.check_run(transcript, expected, 'failure', 'no access to MIDI')
    case.expect('could not start its MIDI service' in notice, 'the page says MIDI could not start: %r' % notice)


@case
def target_leaves(case):
    image = demo_image(case)
    case.open_page('--exit-after 40')
    transcript = case.run([image], 'gone')
    case.check_run(transcript, case.console_output([image], '--exit-after', '40'), 'failure', 'went away')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('case', choices=sorted(CASES))
    parser.add_argument('--build', required=True)
    parser.add_argument('--console', required=True)
    parser.add_argument('--make-image', required=True)
    parser.add_argument('--examples', required=True)
    parser.add_argument('--shots', default=os.path.join(tempfile.gettempdir(), 'update-web-shots'))
    options = parser.parse_args()
    for name in ('build', 'console', 'make_image', 'examples', 'shots'):
        setattr(options, name, os.path.abspath(getattr(options, name)))
    if find_chromium() is None:
        print('skipped: no Chromium (scripts/setup.sh installs it)')
        return SKIP
    if not os.path.exists(os.path.join(options.build, 'site', 'update.wasm')):
        print('skipped: the web edition is not built (scripts/build-web.sh %s)' % options.build)
        return SKIP
    case = Case(options, options.case)
    try:
        CASES[options.case](case)
    except AssertionError as error:
        case.failures.append(str(error))
    finally:
        case.close()
    for failure in case.failures:
        print('FAILED: ' + failure)
    if case.skip_reason and not case.failures:
        print('skipped: ' + case.skip_reason)
        return SKIP
    print('%s: %s' % (options.case, 'failed' if case.failures else 'passed'))
    return 1 if case.failures else 0


if __name__ == '__main__':
    sys.exit(main())
