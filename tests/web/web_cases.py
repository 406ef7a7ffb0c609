"""The web edition in headless Chromium: the page runs the program against the emulated target behind
a stand-in for Web MIDI, and each run's console text must equal, byte for byte, what the console
program prints for the same scenario (web_console_run). One case per invocation:
    web_cases.py CASE --build BUILD_WEB --console WEB_CONSOLE_RUN --make-image MAKE_IMAGE --examples DIR
                 [--axe-package DIR --axe-dir DIR]
Exit status 0 passed, 1 failed, 77 skipped (no Chromium, or the web edition not built; for the
accessibility audit, axe-core not to be had from the npm registry)."""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser import SKIP, Browser, Server, find_chromium  # noqa: E402

RECORD_OK = 0x1A
PROMPT = 'Press any key to continue . . .'
# What the page writes in its own words must show a name's control characters, never hold them.
HIDDEN = re.compile('[\x00-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069]')
PAGE_TEXTS = ('chosen', 'notice', 'activity', 'status', 'outcome')


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


def last_percent(text):
    """The percentage a terminal last shows for the transfer: the latest "N% done" after the line that
    names the product's output; 0 when the transfer never began."""
    parts = text.rsplit('\nMIDIOUT Device: ', 1)
    found = re.findall(r'(\d+)% done', parts[1]) if len(parts) == 2 else []
    return int(found[-1]) if found else 0


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
        self.page_scripts = {}
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
    def open_page(self, words='', access='grant', emulated=True, tab=None, before='', **ports):
        """Opens the page in `tab` (the first one by default), with the emulated target behind a
        stand-in for Web MIDI unless `emulated` is false (the browser's own Web MIDI); `ports` may name
        its ports (inputName, outputName) and set how many there are (inputs, outputs, targetInput,
        targetOutput); `before` is a script run ahead of the page's own."""
        tab = tab or self.browser
        setup = {'words': words, 'access': access, **ports}
        with open(os.path.join(self.options.build, 'emulated', 'emulated-midi.js')) as file:
            stand_in = 'window.emulatedTargetSetup = %s;\n%s\n' % (json.dumps(setup), file.read())
        # Kept by the page for the whole test: whether it was ever visible while the program ran, and
        # anything its security policy stopped.
        watch = ('window.visibilityDuringRuns = [];'
                 'document.addEventListener("visibilitychange", () =>'
                 ' window.visibilityDuringRuns.push(document.visibilityState));'
                 'window.policyViolations = [];'
                 'document.addEventListener("securitypolicyviolation", (event) =>'
                 ' window.policyViolations.push(event.violatedDirective + " " + event.blockedURI));'
                 # Every text the page put in its own places, as it was put there, with what the
                 # console panel showed at that moment.
                 'window.pageTexts = [];'
                 'document.addEventListener("DOMContentLoaded", () => {'
                 ' const observer = new MutationObserver((records) => { for (const record of records)'
                 '  for (const node of record.addedNodes) window.pageTexts.push([record.target.id, node.textContent,'
                 '   document.getElementById("console").textContent]); });'
                 ' for (const id of %s) if (document.getElementById(id))'
                 '  observer.observe(document.getElementById(id), { childList: true }); });'
                 % json.dumps(PAGE_TEXTS))
        # A page opened again in the same tab takes this setup alone.
        if tab.target_id in self.page_scripts:
            tab.send('Page.removeScriptToEvaluateOnNewDocument', {'identifier': self.page_scripts[tab.target_id]})
        self.page_scripts[tab.target_id] = tab.send(
            'Page.addScriptToEvaluateOnNewDocument', {'source': before + (stand_in if emulated else '') + watch})['identifier']
        tab.send('Page.navigate', {'url': self.server.origin + '/index.html'})
        ready = tab.wait_for("window.updatePage && updatePage.state() === 'ready'", 20)
        if not ready:
            raise AssertionError('the page never became ready')
        if emulated and access != 'absent':
            tab.evaluate('emulatedTarget.ready()', await_promise=True)

    def seen(self, where, tab=None):
        """The texts the page has put in one of its own places so far, in order."""
        return [text for place, text, _ in (tab or self.browser).evaluate('pageTexts') if place == where]

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
        self.expect_equal(self.page('updatePage.percent()'), last_percent(expected),
                          "the bar shows the console's last percentage")
        self.check_page_texts()
        self.expect_equal(self.page('policyViolations'), [], "nothing the page's security policy forbids")
        thrown = [event['params']['exceptionDetails'] for event in self.browser.events
                  if event['method'] == 'Runtime.exceptionThrown']
        self.expect_equal(thrown, [], 'no uncaught exception in the page')


    def check_page_texts(self, tab=None):
        """Nothing the page wrote in its own words holds a control character."""
        for place, text, _ in (tab or self.browser).evaluate('pageTexts'):
            self.expect(not HIDDEN.search(text), 'the page shows every control character in %s visibly: %r'
                        % (place, text))

    def start(self, files, tab=None):
        """Chooses `files` and clicks Update, without waiting for anything."""
        tab = tab or self.browser
        tab.choose_files('#image', files)
        tab.click('#update')


CASES = {}


def case(function):
    CASES[function.__name__] = function
    return function


def at_prompt(text):
    """What the console program has printed while it waits for its key: all but the line end the key brings."""
    return text[:-1] if text.endswith(PROMPT + '\n') else text


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


def check_error_in_updating(case):
    # The program knows only that the product does not hold the whole image: nothing of a cause.
    outcome = case.page('updatePage.outcome()')
    case.expect('again' in outcome and 'contact support' in outcome and 'service' not in outcome,
                'the outcome says what is known, and to update again, then contact support: %r' % outcome)


@case
def twenty_refusals(case):
    # Record 12 refused twenty times: the console's last line of progress says 20 %, and so must the bar.
    image = demo_image(case)
    case.open_page('--refuse 12:22:0')
    transcript = case.run([image], 'failed')
    case.check_run(transcript, case.console_output([image], '--refuse', '12:22:0'), 'failure',
                   'does not hold the complete firmware')
    check_error_in_updating(case)
    case.expect(case.page('updatePage.percent()') > 0, 'the bar shows how far the transfer came, not 0')
    case.expect_equal(case.page('emulatedTarget.sendingCodes().filter(c => c === 0x22).length'), 20,
                      'record 12 was sent twenty times')
    case.expect_equal(case.page('emulatedTarget.recordsAccepted()'), 11, 'only records 1 to 11 were written')


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
    not_led = case.file('ZENTRAVOX_good.txt', open(good).read())
    runs = [([], 'no-image', 'No image file was chosen'),
            ([wrong_name], 'wrong-name', 'does not begin with ZENTRAVOX'),
            ([not_led], 'not-led', 'does not end in .led'),
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
    case.check_run(transcript, case.console_output([image], *words.split()), 'failure',
                   'does not hold the complete firmware')
    check_error_in_updating(case)
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
    check_refusal_notice(case, case.page('updatePage.notice()'), 'Chromium')
    # The same refusal in Firefox: what to do there, in its own terms.
    firefox = 'Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0'
    case.browser.send('Emulation.setUserAgentOverride', {'userAgent': firefox})
    case.open_page(access='deny')
    case.run([image], 'refused-firefox')
    check_refusal_notice(case, case.page('updatePage.notice()'), 'Firefox')


def check_refusal_notice(case, notice, browser):
    # Said to someone already in a browser with Web MIDI: what to do in it, no list of other browsers
    # and no raw exception text.
    case.expect('did not give this page access' in notice and 'Update again' in notice,
                'the page says MIDI access was refused, and to click Update again: %r' % notice)
    case.expect('NotAllowedError' not in notice and 'Permission denied' not in notice,
                "the notice holds no exception text: %r" % notice)
    if browser == 'Firefox':
        case.expect(notice.startswith('Firefox') and 'add-on' in notice, "it says what to do in Firefox: %r" % notice)
    else:
        case.expect('address bar' in notice and 'Allow' in notice, 'it says where to allow MIDI devices: %r' % notice)
        case.expect(all(name not in notice for name in ('Firefox', 'Safari', 'Opera')),
                    'it lists no other browsers: %r' % notice)


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
    check_refusal_notice(case, case.page('updatePage.notice()'), 'Chromium')
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
    case.expect(case.page('updatePage.percent()') > 0, 'the bar shows how far the transfer came, not 0')


@case
def update_again(case):
    # The outcome says "click Update again": at the closing prompt Update works at once, answering the
    # prompt and starting the next run, here against a target that now takes every record.
    image = demo_image(case)
    case.open_page('--refuse 3:22:0')
    case.start([image])
    case.expect(case.browser.wait_for('updatePage.waitingForKey()', 60), 'the first run reaches its prompt')
    case.check_run(case.page('updatePage.transcript()'), at_prompt(case.console_output([image], '--refuse', '3:22:0')),
                   'failure', 'Click Update again')
    case.expect(not case.page('document.getElementById("update").disabled'), 'Update is enabled at the prompt')
    case.expect(not case.page('document.getElementById("image").disabled'), 'so is the chooser')
    case.page('emulatedTargetSetup.words = ""')
    case.browser.click('#update')
    case.expect(case.browser.wait_for('document.body.dataset.runs === "1" && updatePage.running()', 10),
                'clicking Update at the prompt ends that run and starts the next at once')
    case.expect(case.browser.wait_for('updatePage.waitingForKey()', 60), 'the second run reaches its prompt')
    case.check_run(case.page('updatePage.transcript()'), at_prompt(case.console_output([image])), 'success', 'new firmware')
    case.expect_equal(case.page('emulatedTarget.flashHex()'), image_bytes(image).hex().upper(),
                      "the second run's flash is the image")
    case.browser.press_key()
    case.expect(case.browser.wait_for('document.body.dataset.runs === "2"', 10), 'a key ends the second run')


@case
def one_file(case):
    # The page takes exactly one image: choosing V1 and V2 together must never flash V1 and report
    # the product updated.
    first = case.make_image('ZENTRAVOX_V1.led', '--size', '1048', '--seed', '1')
    second = case.make_image('ZENTRAVOX_V2.led', '--size', '1048', '--seed', '2')
    case.open_page()
    case.expect(not case.page('document.getElementById("image").multiple'), 'the chooser takes one file')
    case.browser.choose_files('#image', [first, second])
    case.expect_equal(case.page('document.getElementById("image").files.length'), 1, 'one file is taken of two')
    # A browser may still hand the chooser several (a drop, a script): the page refuses them.
    case.page('(() => { const both = new DataTransfer();'
              ' for (const name of ["ZENTRAVOX_V1.led", "ZENTRAVOX_V2.led"]) both.items.add(new File(["00"], name));'
              ' const chooser = document.getElementById("image"); chooser.files = both.files;'
              ' chooser.dispatchEvent(new Event("change")); })()')
    case.expect('2 files were chosen: choose one' in case.page('updatePage.notice()'), 'the page asks for one file')
    case.browser.click('#update')
    time.sleep(0.5)
    case.expect_equal(case.page('updatePage.transcript()'), '', 'the program does not run with two files')
    case.expect(not case.page('emulatedTarget.started'), 'no MIDI access is asked for')
    case.expect_equal(case.page('updatePage.state()'), 'ready', 'the page is ready for another choice')
    transcript = case.run([second], 'one')
    case.check_run(transcript, case.console_output([second]), 'success', 'new firmware')
    case.expect_equal(case.page('emulatedTarget.flashHex()'), image_bytes(second).hex().upper(),
                      'the one image chosen is the one flashed')


@case
def looking(case):
    # Two inputs and two outputs, the target on the second of each: every input listens while the
    # handshake goes out on both outputs, then the input that answered is kept and its output found.
    # The console shows its banner only; the page says what is going on.
    image = demo_image(case)
    case.open_page(inputs=2, outputs=2, targetInput=1, targetOutput=1)
    transcript = case.run([image], 'done')
    case.check_run(transcript, case.console_output([image], '--ports', '2:2:1:1'), 'success', 'new firmware')
    seen = case.browser.evaluate('pageTexts')
    looked = [text for place, text, _ in seen if place == 'activity' and text.startswith('Looking for the product:')]
    wanted = ['Looking for the product: listening on 2 MIDI inputs, asking on 2 MIDI outputs\u2026',
              'Looking for the product: it answers on MIDI input 2 “Zentravox In”; finding which of 2 MIDI outputs '
              'reaches it\u2026',
              'Looking for the product: trying MIDI input 2 “Zentravox In” with MIDI output 2 “Zentravox Out”.']
    case.expect_equal([text for text in wanted if text in looked], wanted, 'each step of the search is shown')
    case.expect_equal(looked[-1], wanted[-1], 'the pair kept is shown last')
    case.expect(all('The Update Device' not in panel for place, text, panel in seen
                    if text.startswith('Looking for the product:')),
                'they are shown while the console has nothing to say')
    case.expect(any(place == 'activity' and text.startswith('Sending the image') for place, text, _ in seen),
                'then the page says it is sending the image')
    case.expect_equal(case.page('updatePage.activity()'), '', 'at the end only the outcome speaks')
    status = case.seen('status')
    case.expect('Looking for the product.' in status, 'a screen reader hears that the page looks: %r' % status)
    # In steps of ten as the panel is drawn (ten times a second): a step the transfer passed between
    # two drawings is not told.
    steps = [int(re.fullmatch(r'Sending the image to the product: (\d+) percent\.', text).group(1))
             for text in status if text.startswith('Sending the image')]
    case.expect(len(steps) >= 3 and steps[0] == 0 and steps[-1] == 100 and steps == sorted(set(steps))
                and all(step % 10 == 0 for step in steps), 'and hears the progress in steps of ten: %r' % steps)


@case
def too_large(case):
    # Sparse files: a 1 GB and a 3 GB "image" cost no disk and are refused as they are chosen, without
    # being read; then a real image goes through as usual.
    big = os.path.join(case.folder, 'ZENTRAVOX_big.led')
    huge = os.path.join(case.folder, 'ZENTRAVOX_\x1b[2J_huge.led')
    for path, size in ((big, 1 << 30), (huge, 3 << 30)):
        with open(path, 'wb') as file:
            file.truncate(size)
    image = demo_image(case)
    case.open_page()
    for path, size in ((big, '1.1 GB'), (huge, '3.2 GB')):
        started = time.monotonic()
        case.browser.choose_files('#image', [path])
        case.expect(case.browser.wait_for('updatePage.notice() !== ""', 2), 'the refusal comes at once')
        notice = case.page('updatePage.notice()')
        case.expect(size in notice and 'far too large to be an update image' in notice and '65,535' in notice,
                    'it says why: %r' % notice)
        case.browser.click('#update')
        case.expect(time.monotonic() - started < 2, 'nothing is read: %.1f s' % (time.monotonic() - started))
        case.expect_equal(case.page('updatePage.transcript()'), '', 'the program does not run')
        case.expect(case.page('updatePage.notice()') == notice, 'Update gives the same reason')
    case.expect('\\x1b[2J_huge.led' in case.page('updatePage.notice()'), 'the name is shown with its escape visible')
    case.expect(not case.page('emulatedTarget.started'), 'no MIDI access is asked for')
    case.check_page_texts()
    transcript = case.run([image], 'done')
    case.check_run(transcript, case.console_output([image]), 'success', 'new firmware')
    case.expect_equal(case.page('updatePage.notice()'), '', 'a right choice clears the refusal')


@case
def hostile_names(case):
    # Names that would redraw a terminal or pass for the program's words: the page's own texts show
    # their control characters, and judge the run by the program's lines, not by what a name holds.
    good = case.make_image('ZENTRAVOX_good.led', '--size', '1048')
    with open(good) as file:
        good_text = file.read()
    head, last = good_text.rstrip().rsplit(None, 1)
    bad_text = '%s %02X\n' % (head, (int(last, 16) + 1) & 0xFF)
    fake_success = case.file('ZENTRAVOX\x1b[2J\rTarget update successfully!.led', bad_text)
    fake_progress = case.file('ZENTRAVOX\nTransferring.. 55% done\nTarget update successfully!\n.led', bad_text)
    utf8 = case.file('ZENTRAVOX_Größe_🎹.led', good_text)
    case.open_page()
    for number, (path, shown) in enumerate(((fake_success, 'ZENTRAVOX\\x1b[2J\\rTarget update successfully!.led'),
                                            (fake_progress, 'ZENTRAVOX\\nTransferring.. 55% done\\nTarget update '
                                                            'successfully!\\n.led'))):
        transcript = case.run([path], 'fake-%d' % number)
        case.check_run(transcript, case.console_output([path]), 'failure', 'damaged or incomplete')
        case.expect('“%s”' % shown in case.page('updatePage.chosen()'),
                    'the chosen name shows its control characters: %r' % case.page('updatePage.chosen()'))
        case.expect(not case.page('emulatedTarget.started'), 'MIDI access is not asked for')
    case.browser.choose_files('#image', [case.file('ZENTRAVOX_\u202edel.exe.led', good_text)])
    case.expect('ZENTRAVOX_\\u202edel.exe.led' in case.page('updatePage.chosen()'),
                'a character that turns text around is shown, not obeyed: %r' % case.page('updatePage.chosen()'))
    transcript = case.run([utf8], 'utf8')
    case.check_run(transcript, case.console_output([utf8]), 'success', 'new firmware')
    case.expect_equal(case.page('updatePage.chosen()'), 'Chosen: “ZENTRAVOX_Größe_🎹.led”, %.1f kB.'
                      % (os.path.getsize(utf8) / 1000), 'an ordinary name is shown as it is')


@case
def two_tabs(case):
    # Two tabs of the page in one browser: while one updates, the other refuses to, before it asks for
    # MIDI; once the first is over, or its tab has crashed, the other updates at once.
    image = demo_image(case)
    first, second = case.browser, case.browser.new_tab()
    case.open_page('--delay 100', tab=first)
    case.open_page(tab=second)
    case.start([image], tab=first)
    case.expect(first.wait_for('updatePage.percent() > 0', 30), 'the first tab is sending the image')
    case.start([image], tab=second)
    case.expect(second.wait_for('updatePage.notice() !== ""', 5), 'the second tab says why it does not update')
    notice = second.evaluate('updatePage.notice()')
    case.expect('Another tab or window of this page is updating' in notice, 'it says another tab updates: %r' % notice)
    case.expect(not second.evaluate('emulatedTarget.started'), 'the second tab asked for no MIDI access')
    case.expect_equal(second.evaluate('updatePage.transcript()'), '', 'its program did not run')
    case.expect(not second.evaluate('document.getElementById("update").disabled'), 'its Update can be clicked again')
    case.expect(first.wait_for('updatePage.waitingForKey()', 60), 'the first tab ends its update')
    case.expect_equal(first.evaluate('updatePage.transcript()'), at_prompt(case.console_output([image])),
                      'the first update went on unharmed')
    case.expect_equal(first.evaluate('emulatedTarget.flashHex()'), image_bytes(image).hex().upper(),
                      "the first tab's flash is the image")
    # The first tab waits for its key, its ports closed: the second may update now.
    second.click('#update')
    case.expect(second.wait_for('updatePage.waitingForKey()', 60), 'the second tab updates once the first is over')
    case.expect_equal(second.evaluate('updatePage.transcript()'), at_prompt(case.console_output([image])),
                      'and succeeds')
    second.press_key()
    case.expect(second.wait_for('document.body.dataset.runs === "1"', 10), 'a key ends its run')
    # A tab that crashes during its update holds nothing.
    first.press_key()
    case.expect(first.wait_for('document.body.dataset.runs === "1"', 10), 'a key ends the first run')
    first.click('#update')
    case.expect(first.wait_for('updatePage.percent() > 0', 30), 'the first tab is updating again')
    first.crash()
    crashed = 'Inspector.targetCrashed'
    case.expect(second.wait_for('true', 5, until=lambda: any(event['method'] == crashed and event.get('sessionId') ==
                                                             first.session for event in case.browser.events)),
                'the first tab has crashed')
    case.start([image], tab=second)
    case.expect(second.wait_for('updatePage.waitingForKey()', 60), 'after a crash the other tab updates at once')
    case.expect_equal(second.evaluate('updatePage.notice()'), '', 'with no notice')
    case.expect_equal(second.evaluate('emulatedTarget.flashHex()'), image_bytes(image).hex().upper(),
                      "and its flash is the image")
    case.check_page_texts(second)


@case
def no_web_locks(case):
    # A browser without Web Locks cannot keep two tabs apart: the page says so and does not update.
    image = demo_image(case)
    case.open_page(before='delete Navigator.prototype.locks;')
    case.expect_equal(case.page('typeof navigator.locks'), 'undefined', 'the browser has no Web Locks')
    case.start([image])
    case.expect(case.browser.wait_for('updatePage.notice() !== ""', 5), 'the page says why it does not update')
    notice = case.page('updatePage.notice()')
    case.expect('only one tab of this page updates' in notice and 'Web Locks' in notice, 'it says why: %r' % notice)
    case.expect_equal(case.page('updatePage.transcript()'), '', 'the program does not run')
    case.expect(not case.page('emulatedTarget.started'), 'no MIDI access is asked for')
    # A browser that has Web Locks but refuses this site the claim (its storage blocked): not a tale
    # of another tab.
    case.open_page(before='LockManager.prototype.request = () => Promise.reject(new DOMException("", "SecurityError"));')
    case.start([image])
    case.expect(case.browser.wait_for('updatePage.notice() !== ""', 5), 'the page says why it does not update')
    notice = case.page('updatePage.notice()')
    case.expect('store data' in notice and 'Another tab' not in notice, 'it says what to do: %r' % notice)
    case.expect_equal(case.page('updatePage.transcript()'), '', 'the program does not run')


@case
def keyboard(case):
    # The keyboard alone: Tab to the chooser, Enter opens it, Tab to Update, Enter; the prompt's
    # Continue has the focus, Enter answers it and the focus goes back to Update. At a prompt, Tab
    # moves on without answering it, and Enter on Update starts the next run at once.
    image = demo_image(case)
    case.open_page()
    case.browser.send('Page.setInterceptFileChooserDialog', {'enabled': True})
    focused = 'document.activeElement.id'
    for _ in range(5):
        case.browser.press_key('Tab')
        if case.page(focused) == 'image':
            break
    case.expect_equal(case.page(focused), 'image', 'Tab reaches the chooser first')
    case.browser.press_key('Enter')

    def chooser():
        return next((event for event in case.browser.events if event['method'] == 'Page.fileChooserOpened'), None)
    if not case.expect(case.browser.wait_for('true', 5, until=chooser), 'Enter opens the file chooser'):
        return
    opened = chooser()
    case.browser.send('DOM.setFileInputFiles', {'files': [image], 'backendNodeId': opened['params']['backendNodeId']})
    case.expect(case.browser.wait_for('updatePage.chosen().includes("ZENTRAVOX_demo.led")', 5), 'the image is chosen')
    case.browser.press_key('Tab')
    case.expect_equal(case.page(focused), 'update', 'Tab goes on to Update')
    case.browser.press_key('Enter')
    case.expect(case.browser.wait_for('updatePage.waitingForKey()', 60), 'Enter on Update runs the update')
    case.check_run(case.page('updatePage.transcript()'), at_prompt(case.console_output([image])), 'success', 'new firmware')
    case.expect_equal(case.page(focused), 'continue', 'at the prompt Continue has the focus')
    case.browser.press_key('Enter')
    case.expect(case.browser.wait_for('document.body.dataset.runs === "1"', 10), 'Enter on Continue ends the run')
    case.expect_equal(case.page(focused), 'update', 'the focus goes back to Update')
    case.browser.press_key('Enter')
    case.expect(case.browser.wait_for('updatePage.waitingForKey()', 60), 'Enter on Update runs it again')
    case.browser.press_key('Tab', shift=True)
    case.expect_equal(case.page(focused), 'update', 'Shift+Tab leaves Continue for Update')
    case.expect(case.page('updatePage.waitingForKey()'), 'moving the focus answers no prompt')
    case.browser.press_key('Enter')
    case.expect(case.browser.wait_for('document.body.dataset.runs === "2" && updatePage.running()', 10),
                'Enter on Update at the prompt ends that run and starts the next')
    case.expect(case.browser.wait_for('updatePage.waitingForKey()', 60), 'which reaches its prompt')
    case.browser.press_key('Enter')
    case.expect(case.browser.wait_for('document.body.dataset.runs === "3"', 10), 'and ends on Enter')
    # What a screen reader is told, as it is told: the progress and the outcome, in live regions.
    roles = case.page('["status", "outcome", "notice"].map((id) => document.getElementById(id).getAttribute("role"))')
    case.expect_equal(roles, ['status', 'status', 'alert'], 'progress, outcome and notices are live regions')
    case.expect('Sending the image to the product: 100 percent.' in case.seen('status'), 'the progress was told')
    outcomes = case.seen('outcome')
    case.expect(len(outcomes) == 3 and all('new firmware' in text for text in outcomes), 'each outcome was told')


def install_axe(case):
    """axe-core as package-lock.json pins it, from the npm registry, in the build tree; the path of its
    script, or None with the reason in case.skip_reason."""
    package, target = case.options.axe_package, case.options.axe_dir
    npm = shutil.which('npm')
    if npm is None:
        case.skip_reason = 'axe-core cannot be installed: no npm (Debian: the npm package)'
        return None
    script = os.path.join(target, 'node_modules', 'axe-core', 'axe.min.js')
    os.makedirs(target, exist_ok=True)
    names = ('package.json', 'package-lock.json')
    pinned = [open(os.path.join(package, name)).read() for name in names]
    installed = [open(os.path.join(target, name)).read() if os.path.exists(os.path.join(target, name)) else None
                 for name in names]
    if installed == pinned and os.path.exists(script):
        return script
    for name in names:
        shutil.copy(os.path.join(package, name), target)
    try:
        result = subprocess.run([npm, 'ci', '--ignore-scripts', '--no-audit', '--no-fund', '--loglevel=error',
                                 '--fetch-retries=1', '--fetch-timeout=30000'],
                                cwd=target, capture_output=True, text=True, timeout=240)
    except subprocess.TimeoutExpired:
        case.skip_reason = 'axe-core could not be installed from the npm registry within 240 s'
        return None
    if result.returncode != 0 or not os.path.exists(script):
        said = [line for line in (result.stderr + result.stdout).splitlines()
                if line.strip() and 'complete log of this run' not in line]
        case.skip_reason = 'axe-core could not be installed from the npm registry: %s' % (' / '.join(said[:3]) or '?')
        return None
    return script


@case
def accessibility(case):
    # axe-core against the built page in each of its states: ready, a file chosen, looking for the
    # product, sending, a success at the prompt, after it, a refused file, a refused MIDI access.
    script = install_axe(case)
    if script is None:
        return
    with open(script) as file:
        axe = file.read()
    image = demo_image(case)
    case.open_page(inputs=2, outputs=2, targetInput=1, targetOutput=1)

    def audit(state):
        if not case.page('typeof axe === "object"'):
            case.page(axe)
        found = case.browser.evaluate('axe.run(document, { resultTypes: ["violations"] }).then((r) => r.violations'
                                      '.map((v) => v.id + " (" + v.impact + "): " + v.help + " at " +'
                                      ' v.nodes.map((n) => n.target.join(" ")).join(", ")))', await_promise=True)
        case.expect_equal(found, [], 'axe-core finds no violation when ' + state)

    audit('the page is ready')
    case.browser.choose_files('#image', [image])
    audit('a file is chosen')
    case.browser.click('#update')
    # The whole search, not one step of it: the last pair is shown only for as long as it takes to confirm.
    case.expect(case.browser.wait_for('updatePage.activity().startsWith("Looking for the product")', 20),
                'the page looks')
    audit('the page looks for the product')
    case.expect(case.browser.wait_for('updatePage.activity().startsWith("Sending")', 30), 'the page sends')
    audit('the image is being sent')
    case.expect(case.browser.wait_for('updatePage.waitingForKey()', 60), 'the run reaches its prompt')
    audit('a success waits for its key')
    case.browser.press_key()
    case.expect(case.browser.wait_for('document.body.dataset.runs === "1"', 10), 'a key ends the run')
    audit('the run is over')
    big = os.path.join(case.folder, 'ZENTRAVOX_big.led')
    with open(big, 'wb') as file:
        file.truncate(1 << 30)
    case.browser.choose_files('#image', [big])
    audit('a file is refused')
    case.page('emulatedTargetSetup.access = "deny"')
    case.run([image], 'refused')
    audit('MIDI access was refused')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('case', choices=sorted(CASES))
    parser.add_argument('--build', required=True)
    parser.add_argument('--console', required=True)
    parser.add_argument('--make-image', required=True)
    parser.add_argument('--examples', required=True)
    parser.add_argument('--shots', default=os.path.join(tempfile.gettempdir(), 'update-web-shots'))
    parser.add_argument('--axe-package', default=os.path.dirname(os.path.abspath(__file__)),
                        help='where package.json and package-lock.json pin axe-core')
    parser.add_argument('--axe-dir', default=os.path.join(tempfile.gettempdir(), 'update-web-axe'),
                        help='where axe-core is installed')
    options = parser.parse_args()
    for name in ('build', 'console', 'make_image', 'examples', 'shots', 'axe_package', 'axe_dir'):
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
