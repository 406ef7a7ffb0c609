"""Headless Chromium driven over its DevTools protocol (on a pipe: no port, no websocket), and the web
edition's files served on 127.0.0.1: the page at /, the emulated target at /emulated/."""
import base64
import functools
import http.server
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

SKIP = 77

CHROMIUM_FLAGS = ['--headless=new', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
                  '--disable-component-update', '--disable-sync', '--no-first-run', '--no-default-browser-check',
                  '--remote-debugging-pipe', '--window-size=1000,900']


def find_chromium():
    for name in ('chromium', 'chromium-browser', 'google-chrome'):
        path = shutil.which(name)
        if path:
            return path
    return None


class Files(http.server.SimpleHTTPRequestHandler):
    """The page's files from site_dir and the emulated target's from emulated_dir; every request logged."""
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      '.wasm': 'application/wasm', '.js': 'text/javascript'}

    def __init__(self, *args, site_dir, emulated_dir, log, **kwargs):
        self.site_dir, self.emulated_dir, self.request_log = site_dir, emulated_dir, log
        super().__init__(*args, directory=site_dir, **kwargs)

    def translate_path(self, path):
        self.request_log.append(path)
        if path.startswith('/emulated/'):
            return os.path.join(self.emulated_dir, os.path.basename(path.split('?')[0]))
        return super().translate_path(path)

    def end_headers(self):
        self.send_header('Cache-Control', 'no-store')
        super().end_headers()

    def log_message(self, *args):
        pass


class Server:
    def __init__(self, site_dir, emulated_dir):
        self.requests = []
        handler = functools.partial(Files, site_dir=site_dir, emulated_dir=emulated_dir, log=self.requests)
        self.httpd = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)
        self.origin = 'http://127.0.0.1:%d' % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class ProtocolError(Exception):
    pass


class Tab:
    """One page of the browser; send() is a DevTools command on that page."""

    def __init__(self, browser, target_id, session):
        self.browser, self.target_id, self.session = browser, target_id, session

    def send(self, method, params=None):
        return self.browser.command(method, params, self.session)

    def evaluate(self, expression, await_promise=False):
        result = self.send('Runtime.evaluate', {'expression': expression, 'returnByValue': True,
                                                'awaitPromise': await_promise})
        if 'exceptionDetails' in result:
            raise ProtocolError('%s: %s' % (expression, result['exceptionDetails']))
        return result['result'].get('value')

    def wait_for(self, expression, timeout, poll=0.1, until=None):
        """Polls a page expression until it is true, and `until()` too if given (the browser's events
        come in while the page is polled); returns False after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.evaluate(expression) and (until is None or until()):
                return True
            time.sleep(poll)
        return False

    def click(self, selector):
        box = self.evaluate('(() => { const r = document.querySelector(%s).getBoundingClientRect();'
                            ' return [r.x + r.width / 2, r.y + r.height / 2]; })()' % json.dumps(selector))
        for kind in ('mousePressed', 'mouseReleased'):
            self.send('Input.dispatchMouseEvent', {'type': kind, 'x': box[0], 'y': box[1], 'button': 'left',
                                                   'clickCount': 1})

    # Keys as a keyboard sends them: the code a key has on Windows is what makes Tab move the focus
    # and Enter or Space work a control.
    KEYS = {'a': ('KeyA', 65, 'a'), 'Tab': ('Tab', 9, None), 'Enter': ('Enter', 13, '\r'), ' ': ('Space', 32, ' ')}

    def press_key(self, key='a', shift=False):
        code, virtual, text = self.KEYS[key]
        down = {'type': 'keyDown' if text else 'rawKeyDown', 'key': key, 'code': code,
                'windowsVirtualKeyCode': virtual, 'modifiers': 8 if shift else 0}
        if text:
            down['text'] = text
        self.send('Input.dispatchKeyEvent', down)
        self.send('Input.dispatchKeyEvent', {'type': 'keyUp', 'key': key, 'code': code,
                                             'windowsVirtualKeyCode': virtual, 'modifiers': 8 if shift else 0})

    def choose_files(self, selector, paths):
        root = self.send('DOM.getDocument')['root']['nodeId']
        node = self.send('DOM.querySelector', {'nodeId': root, 'selector': selector})['nodeId']
        self.send('DOM.setFileInputFiles', {'nodeId': node, 'files': list(paths)})

    def crash(self):
        """Crashes the page's renderer, as a fault would: no answer comes, so none is waited for."""
        self.browser.post('Page.crash', session=self.session)

    def screenshot(self, path):
        data = self.send('Page.captureScreenshot', {'format': 'png'})['data']
        with open(path, 'wb') as file:
            file.write(base64.b64decode(data))


class Browser(Tab):
    """One Chromium; itself the first of its pages (tabs), new_tab() opens more."""

    def __init__(self, chromium):
        self.profile = tempfile.mkdtemp(prefix='update-web-chromium-')
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()
        # The protocol pipe is the child's descriptors 3 (commands in) and 4 (answers out). Both ends
        # are first moved above 4, so that placing one cannot overwrite the other.
        to_browser_r = self._above_four(to_browser_r)
        from_browser_w = self._above_four(from_browser_w)

        def child_fds():
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)
        self.process = subprocess.Popen(
            [chromium, *CHROMIUM_FLAGS, '--user-data-dir=' + self.profile, 'about:blank'],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=child_fds, pass_fds=(3, 4))
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.next_id = 0
        self.pending = b''
        self.events = []
        first = self.new_tab()
        Tab.__init__(self, self, first.target_id, first.session)

    def new_tab(self):
        """A new page in the same browser, sharing its profile (and so its origin's locks)."""
        target = self.command('Target.createTarget', {'url': 'about:blank'})['targetId']
        session = self.command('Target.attachToTarget', {'targetId': target, 'flatten': True})['sessionId']
        tab = Tab(self, target, session)
        tab.send('Page.enable')
        tab.send('Runtime.enable')
        return tab

    @staticmethod
    def _above_four(fd):
        if fd > 4:
            return fd
        moved = os.dup(fd) if fd != 4 else fd
        while moved <= 4:
            moved = os.dup(moved)
        os.close(fd)
        return moved

    def _read_message(self):
        while b'\0' not in self.pending:
            chunk = os.read(self.from_browser, 1 << 20)
            if not chunk:
                raise ProtocolError('the browser closed its protocol pipe')
            self.pending += chunk
        message, self.pending = self.pending.split(b'\0', 1)
        return json.loads(message)

    def post(self, method, params=None, session=None):
        """Sends a DevTools command and returns its number, without waiting for the answer."""
        self.next_id += 1
        command = {'id': self.next_id, 'method': method, 'params': params or {}}
        if session:
            command['sessionId'] = session
        os.write(self.to_browser, json.dumps(command).encode() + b'\0')
        return self.next_id

    def command(self, method, params=None, session=None):
        """A DevTools command: on the browser itself, or on the page of `session`."""
        number = self.post(method, params, session)
        while True:
            message = self._read_message()
            if message.get('id') == number:
                if 'error' in message:
                    raise ProtocolError('%s: %s' % (method, message['error']))
                return message.get('result', {})
            if 'method' in message:
                self.events.append(message)

    def send(self, method, params=None, session=True):
        """A command on the first page, or with session=False on the browser itself."""
        return self.command(method, params, self.session if session else None)

    def close(self):
        try:
            self.command('Browser.close')
            self.process.wait(timeout=10)
        except Exception:
            self.process.kill()
            self.process.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)
        shutil.rmtree(self.profile, ignore_errors=True)
