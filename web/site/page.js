// The page around the update program (update.js, update.wasm): puts the chosen image into the
// program's current folder, runs it on a click, shows its console output as a console would (a
// carriage return goes back to the start of the line), a progress bar from its percentage, what it is
// doing while it prints nothing (looking for the product), and the outcome in plain words. Everything
// runs in this page: nothing is sent anywhere.
'use strict';
(function () {
  const byId = (id) => document.getElementById(id);
  const fileInput = byId('image');
  const chosenView = byId('chosen');
  const updateButton = byId('update');
  const continueButton = byId('continue');
  const consoleView = byId('console');
  const progress = byId('progress');
  const percentView = byId('percent');
  const statusView = byId('status');
  const activityView = byId('activity');
  const notice = byId('notice');
  const outcomeView = byId('outcome');

  // The program's current folder: it takes the image from here by the same rules as on a disk.
  const FOLDER = '/update';
  // The program's progress line, as a terminal shows it once the line has been rewritten in place.
  const PROGRESS = /^Transferring\.\. (?:\S )?(\d{1,3})% done/;
  // The transfer's progress lines all come after the line naming the product's output.
  const DEVICE_OUTPUT_LINE = 'MIDIOUT Device: ';
  const DEVICE_FOUND_LINE = 'The Update Device is Open successfully:';
  // An image holds at most 65,535 bytes, written as hex text: a few hundred kilobytes, however it is
  // spaced. A file this large is no image, and reading it would hold the page for seconds.
  const LARGEST_IMAGE_FILE = 16 * 1024 * 1024;
  // One update at a time, whichever tab or window of this page (of this site) runs it.
  const UPDATE_LOCK = 'zentravox-update';

  // The run's console: every byte written to standard output, and the screen they make, a line an
  // array of characters (one a column, whatever its length in UTF-16).
  let written = [];
  let errorsWritten = [];
  let lines = [[]];
  let column = 0;
  let decoder = new TextDecoder();
  const REDRAW_INTERVAL_MS = 100;
  let redrawQueued = false;
  let lastRedrawAt = -Infinity;
  let ready = false;
  let running = false;
  let state = 'loading';
  let keyWaiter = null;
  let keyAnswered = false;   // the closing key was taken; the program is about to end its run
  let startAfterRun = false; // Update was clicked at the closing prompt: the next run follows at once
  let midiProblem = false;   // this run had no MIDI access: the notice says why
  let fileChosen = false;    // this run's folder holds a chosen file
  let releaseLock = null;
  // What the program does while it prints nothing: 'image', 'asking', 'looking', 'sending', ''.
  let phase = '';
  // The ports the program holds open while it looks: index to shown name, each kind.
  const held = { inputs: new Map(), outputs: new Map() };
  let announcedStep = -1;

  // A name from outside (a file's, a port's) as the page shows it: control characters and the
  // characters that reorder or break text are written out (\x1b, \r, \u202e), so that a name can
  // neither hide part of itself nor pass for the page's own words. Other names, UTF-8 included,
  // are shown as they are.
  const HIDDEN_CHARACTERS = /[\u0000-\u001f\u007f-\u009f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069]/g;
  const NAMED = { '\t': '\\t', '\n': '\\n', '\r': '\\r' };
  function visible(name) {
    return String(name).replace(HIDDEN_CHARACTERS, (character) => {
      if (NAMED[character]) return NAMED[character];
      const code = character.charCodeAt(0);
      return code < 0x100 ? '\\x' + code.toString(16).padStart(2, '0') : '\\u' + code.toString(16).padStart(4, '0');
    });
  }

  function quoted(name) {
    return '\u201c' + visible(name) + '\u201d';
  }

  function sizeText(bytes) {
    if (bytes < 1000) return bytes + (bytes === 1 ? ' byte' : ' bytes');
    const units = ['kB', 'MB', 'GB', 'TB'];
    let value = bytes / 1000;
    let unit = 0;
    while (value >= 1000 && unit < units.length - 1) {
      value /= 1000;
      unit += 1;
    }
    return value.toFixed(1) + ' ' + units[unit];
  }

  function putCharacter(character) {
    if (character === '\r') {
      column = 0;
    } else if (character === '\n') {
      lines.push([]);
      column = 0;
    } else {
      const line = lines[lines.length - 1];
      while (line.length < column) line.push(' ');
      line[column] = character;
      column += 1;
    }
  }

  function screen() {
    return lines.map((line) => line.join('')).join('\n');
  }

  function consoleByte(byte) {
    if (byte === null || byte === undefined) return;
    written.push(byte);
    for (const character of decoder.decode(Uint8Array.of(byte), { stream: true })) putCharacter(character);
    // Drawn once the program yields (it only yields while it sleeps or waits for a key), at most ten
    // times a second: every frame the browser paints is time taken from the program's 1 ms pauses.
    if (!redrawQueued) {
      redrawQueued = true;
      const wait = lastRedrawAt + REDRAW_INTERVAL_MS - performance.now();
      if (wait <= 0) queueMicrotask(redraw);
      else setTimeout(redraw, wait);
    }
  }

  function redraw() {
    redrawQueued = false;
    lastRedrawAt = performance.now();
    const text = screen();
    consoleView.textContent = text;
    const shown = text.split('\n');
    if ((phase === 'asking' || phase === 'looking') && shown.includes(DEVICE_FOUND_LINE)) setPhase('sending');
    showPercent(lastPercent(shown));
  }

  // The last percentage the console shows: that of the latest progress line after the line naming the
  // product's output (a file name printed before it may hold anything), or 0 when the transfer never
  // began.
  function lastPercent(shown) {
    let percent = null;
    for (let i = shown.length - 1; i >= 0; --i) {
      if (shown[i].startsWith(DEVICE_OUTPUT_LINE)) return percent === null ? 0 : percent;
      const match = percent === null && PROGRESS.exec(shown[i]);
      if (match) percent = Math.min(100, Number(match[1]));
    }
    return 0;
  }

  function showPercent(percent) {
    progress.value = percent;
    percentView.textContent = percent + '%';
    // A screen reader hears the progress in steps of ten, not at every record.
    const step = Math.floor(percent / 10);
    if (phase === 'sending' && step !== announcedStep) {
      announcedStep = step;
      statusView.textContent = 'Sending the image to the product: ' + step * 10 + ' percent.';
    }
  }

  function setPhase(next) {
    phase = next;
    showActivity();
    if (next === 'asking') statusView.textContent = 'Asking the browser for access to MIDI devices.';
    if (next === 'looking') statusView.textContent = 'Looking for the product.';
    if (next === 'sending') announcedStep = -1;
    if (next === '') statusView.textContent = '';
  }

  function showActivity() {
    let text = '';
    if (phase === 'asking') {
      text = 'Asking the browser for access to MIDI devices\u2026';
    } else if (phase === 'looking') {
      // Every input listens while the handshake goes out on every output; then only the input that
      // answered stays, and the outputs are tried one by one; at the end, one pair.
      const ins = Array.from(held.inputs.values());
      const outs = Array.from(held.outputs.values());
      text = 'Looking for the product on every MIDI input and output\u2026';
      if (ins.length === 1 && outs.length === 1) {
        text = 'Looking for the product: trying MIDI input ' + ins[0] + ' with MIDI output ' + outs[0] + '.';
      } else if (ins.length === 1 && outs.length > 1) {
        text = 'Looking for the product: it answers on MIDI input ' + ins[0] + '; finding which of ' + outs.length +
               ' MIDI outputs reaches it\u2026';
      } else if (ins.length > 1 && outs.length > 0) {
        text = 'Looking for the product: listening on ' + ins.length + ' MIDI inputs, asking on ' + outs.length +
               ' MIDI output' + (outs.length === 1 ? '' : 's') + '\u2026';
      }
    } else if (phase === 'sending') {
      text = 'Sending the image to the product. Keep this tab open until the update is over.';
    }
    activityView.textContent = text;
  }

  function onMidiActivity(what, input, index, name) {
    if (what === 'asking') {
      setPhase('asking');
    } else if (what === 'looking') {
      setPhase('looking');
    } else if (phase === 'looking') {
      const ports = input ? held.inputs : held.outputs;
      if (what === 'opening') ports.set(index, (index + 1) + ' ' + quoted(name || ''));
      if (what === 'closed') ports.delete(index);
      showActivity();
    }
  }

  function showNotice(text) {
    notice.textContent = text;
  }

  // The outcome in plain words, from the last line the program printed of those that end a run. Each
  // is a whole line of its own; a name printed earlier may contain any of them.
  const OUTCOMES = {
    'The System is restarted, please wait!': ['success',
      'The update is complete: the product has the new firmware and is restarting. Wait until it is ready.'],
    'Target update successfully!': ['success', 'The update is complete: the product has the new firmware.'],
    'Please reset the product and retry again!': ['failure',
      'The product asks to be reset first: switch it off and on, then click Update again. None of the image was sent to it.'],
    "Failed: Can't find the suitable device to update!": ['failure',
      'No product answered on any MIDI input and output: check both MIDI cables and that the product is switched on, ' +
      'then click Update again. None of the image was sent.'],
    'Failed: Target is not responding.': ['failure',
      'The product stopped answering: it does not hold the complete firmware. Check the cable from the product to ' +
      'this computer, switch the product off and on, and click Update again.'],
    'Error: The MIDI Out of device is missing!': ['failure',
      'The MIDI output went away during the update: the product does not hold the complete firmware. Reconnect it ' +
      'and click Update again.'],
    'Error in updating.': ['failure',
      'The update did not complete: the product does not hold the complete firmware. Click Update again; if it ' +
      'fails the same way, contact support.'],
    'Error: The upgrade file is error!': ['failure',
      'The image file is damaged or incomplete: get it again, choose it and click Update. Nothing was sent to the product.'],
    'Error: The fit file is not found.': ['failure',
      'The chosen file\u2019s name does not begin with ZENTRAVOX: it is no update image for this product. Choose the ' +
      'ZENTRAVOX\u2026.led file. Nothing was sent to the product.'],
  };
  const NOT_FOUND = /^Error: File '.*' is not found\.$/;

  function outcomeOf(text) {
    const printed = text.split('\n');
    for (let i = printed.length - 1; i >= 0; --i) {
      const line = printed[i];
      if (Object.prototype.hasOwnProperty.call(OUTCOMES, line)) return OUTCOMES[line];
      if (NOT_FOUND.test(line)) {
        return ['failure', fileChosen
          ? 'The chosen file\u2019s name does not end in .led: it is no update image. Choose the ZENTRAVOX\u2026.led ' +
            'file, then click Update. Nothing was sent to the product.'
          : 'No image file was chosen: choose the ZENTRAVOX\u2026.led file, then click Update.'];
      }
    }
    return ['failure', 'The update ended without a result: the product may not hold the complete firmware. Click Update again.'];
  }

  function showOutcome() {
    const text = transcript();
    let [kind, words] = outcomeOf(text);
    if (midiProblem && text.split('\n').includes("Failed: Can't find the suitable device to update!")) {
      words = 'No product could be reached: this page has no access to MIDI (see above). Nothing was sent.';
    }
    outcomeView.dataset.outcome = kind;
    outcomeView.textContent = words;
    state = kind;
  }

  function transcript() {
    return new TextDecoder().decode(Uint8Array.from(written));
  }

  function inFirefox() {
    return /\bFirefox\//.test(navigator.userAgent);
  }

  // What to do, in this browser: the notice never lists other browsers to someone already in one
  // that has Web MIDI.
  function describeMidiProblem(reason) {
    if (reason === 'absent') {
      if (!window.isSecureContext) {
        return 'Browsers give MIDI only to secure pages, and this page was not opened as one: open it with ' +
          'https://, or from http://localhost on this computer.';
      }
      return 'This browser has no Web MIDI, so the page cannot reach the product. Open this page in Chrome, Edge ' +
        'or Opera on a desktop computer, or in Firefox from version 108 (Safari, and every browser on iPhone or ' +
        'iPad, has no Web MIDI).';
    }
    if (reason === 'failed') {
      return 'This browser could not start its MIDI service. Check that the MIDI interface is connected and that ' +
        'no other program holds it; on Linux the browser needs the ALSA sequencer (/dev/snd/seq). Then click ' +
        'Update again.';
    }
    if (inFirefox()) {
      return 'Firefox did not give this page access to MIDI devices. Click Update again and accept what Firefox ' +
        'offers: first a small add-on that gives this site its MIDI permission, then the permission itself. If ' +
        'Firefox no longer asks, click the permissions icon at the left of the address bar, remove the blocked ' +
        'MIDI permission, and click Update again.';
    }
    return 'This browser did not give this page access to MIDI devices. Click the icon at the left of the address ' +
      'bar, open the site settings, set MIDI devices ("Control and reprogram your MIDI devices") to Allow, then ' +
      'click Update again.';
  }

  // The choice is checked as it is made: one file, and not one far too large to be an image.
  function choiceProblem() {
    const files = Array.from(fileInput.files);
    if (files.length > 1) {
      return files.length + ' files were chosen: choose one, the update image (ZENTRAVOX\u2026.led).';
    }
    if (files.length === 1 && files[0].size > LARGEST_IMAGE_FILE) {
      return quoted(files[0].name) + ' is ' + sizeText(files[0].size) + ': far too large to be an update image, ' +
        'which holds at most 65,535 bytes of firmware as hex text (a file of a few hundred kilobytes). Choose the ' +
        'ZENTRAVOX\u2026.led file that came with the new firmware.';
    }
    return '';
  }

  function showChoice() {
    const files = Array.from(fileInput.files);
    chosenView.textContent = files.length === 1 ? 'Chosen: ' + quoted(files[0].name) + ', ' + sizeText(files[0].size) + '.' : '';
    showNotice(choiceProblem());
  }

  // The chosen file, and nothing else, is the program's folder for this run.
  async function fillFolder() {
    if (!FS.analyzePath(FOLDER).exists) FS.mkdir(FOLDER);
    for (const name of FS.readdir(FOLDER)) {
      if (name !== '.' && name !== '..') FS.unlink(FOLDER + '/' + name);
    }
    const file = fileInput.files[0];
    if (file) FS.writeFile(FOLDER + '/' + file.name, new Uint8Array(await file.arrayBuffer()));
    fileChosen = Boolean(file);
    FS.chdir(FOLDER);
  }

  // Holds the update lock until the returned release is called; null when another tab holds it.
  function takeUpdateLock() {
    return new Promise((resolve, reject) => {
      navigator.locks.request(UPDATE_LOCK, { ifAvailable: true }, (lock) => {
        if (!lock) {
          resolve(null);
          return undefined;
        }
        return new Promise((release) => resolve(release));
      }).catch(reject);
    });
  }

  function freeUpdateLock() {
    if (releaseLock) releaseLock();
    releaseLock = null;
  }

  function refuseRun(text) {
    showNotice(text);
    running = false;
    state = 'ready';
    updateButton.disabled = false;
    fileInput.disabled = false;
  }

  async function startRun() {
    if (!ready) return;
    // Clicked at the closing prompt: that answers it, and the new run starts as this one ends.
    if (keyWaiter || keyAnswered) {
      startAfterRun = true;
      finishKeyWait();
      return;
    }
    if (running) return;
    running = true;
    state = 'running';
    updateButton.disabled = true;
    fileInput.disabled = true;
    written = [];
    errorsWritten = [];
    lines = [[]];
    column = 0;
    decoder = new TextDecoder();
    consoleView.textContent = '';
    outcomeView.textContent = '';
    delete outcomeView.dataset.outcome;
    showNotice('');
    held.inputs.clear();
    held.outputs.clear();
    setPhase('');
    showPercent(0);
    midiProblem = false;
    const problem = choiceProblem();
    if (problem) {
      refuseRun(problem);
      return;
    }
    if (!navigator.locks) {
      refuseRun(window.isSecureContext
        ? 'This browser cannot make sure that only one tab of this page updates the product at a time (it has no ' +
          'Web Locks), so this page does not update from it: two updates at once would leave the product ' +
          'half-written. Use a current Chrome, Edge, Opera or Firefox.'
        : 'Browsers give MIDI only to secure pages, and this page was not opened as one: open it with https://, ' +
          'or from http://localhost on this computer.');
      return;
    }
    try {
      releaseLock = await takeUpdateLock();
    } catch (error) {
      // Not another tab: the browser would not take the claim at all (storage blocked for this site).
      refuseRun('This browser did not let the page make sure that no other tab of it updates at the same time ' +
        '(it keeps no storage for this site), so it does not update: allow this site to store data, reload the ' +
        'page and click Update again.');
      return;
    }
    if (!releaseLock) {
      refuseRun('Another tab or window of this page is updating the product now, and two updates at once would ' +
        'leave it half-written. Wait until that one shows its outcome, then click Update again here.');
      return;
    }
    try {
      await fillFolder();
    } catch (error) {
      // The program never ran: a file that cannot be read (moved, changed or deleted since it was chosen).
      freeUpdateLock();
      refuseRun('The chosen file could not be read (it was moved, changed or deleted since it was chosen): ' +
        'choose it again, then click Update.');
      return;
    }
    setPhase('image');
    Module.callMain([]);
  }

  function finishKeyWait() {
    if (!keyWaiter) return;
    const resume = keyWaiter;
    keyWaiter = null;
    keyAnswered = true;
    if (document.activeElement === continueButton) updateButton.focus();
    continueButton.hidden = true;
    resume();
  }

  // The program's closing "Press any key": its result is known by now, both ports are closed, and
  // what the outcome says to do can be done at once.
  function waitForKey() {
    redraw();
    setPhase('');
    showOutcome();
    freeUpdateLock();
    updateButton.disabled = false;
    fileInput.disabled = false;
    continueButton.hidden = false;
    continueButton.focus();
    return new Promise((resolve) => {
      keyWaiter = resolve;
    });
  }

  // Keys that move between the page's controls, or that only change another key, answer nothing.
  const NOT_AN_ANSWER = ['Shift', 'Control', 'Alt', 'Meta', 'AltGraph', 'CapsLock', 'Tab'];
  document.addEventListener('keydown', (event) => {
    if (!keyWaiter || NOT_AN_ANSWER.includes(event.key)) return;
    // A key that works a control (Enter on Update, Space on the chooser) answers the prompt and still
    // does its work there.
    const control = event.target !== continueButton && event.target.closest && event.target.closest('button, input');
    if (!control) event.preventDefault();
    finishKeyWait();
  });
  continueButton.addEventListener('click', finishKeyWait);
  updateButton.addEventListener('click', startRun);
  fileInput.addEventListener('change', showChoice);
  // Closing or reloading the tab mid-update leaves the product half written: the browser asks first.
  window.addEventListener('beforeunload', (event) => {
    if (!running || keyWaiter) return;
    event.preventDefault();
    event.returnValue = '';
  });

  window.Module = {
    noInitialRun: true,
    preRun: [() => FS.init(() => null, consoleByte, (byte) => errorsWritten.push(byte))],
    onRuntimeInitialized() {
      ready = true;
      state = 'ready';
      updateButton.disabled = false;
    },
    onMidiProblem(reason) {
      midiProblem = true;
      showNotice(describeMidiProblem(reason));
    },
    onMidiActivity,
    waitForKey,
    runEnded() {
      running = false;
      keyAnswered = false;
      freeUpdateLock();
      updateButton.disabled = false;
      fileInput.disabled = false;
      updateButton.textContent = 'Update again';
      state = state === 'running' ? 'ended' : state;
      document.body.dataset.runs = String(Number(document.body.dataset.runs || 0) + 1);
      if (startAfterRun) {
        startAfterRun = false;
        startRun();
      }
    },
    onAbort(what) {
      running = false;
      freeUpdateLock();
      setPhase('');
      state = 'failure';
      outcomeView.dataset.outcome = 'failure';
      outcomeView.textContent = 'The update program stopped unexpectedly (' + visible(what) + '): the update is not complete.';
    },
  };

  // For tests and for anyone reading along in the browser's console: the exact text of the run.
  window.updatePage = {
    state: () => state,
    running: () => running,
    transcript,
    errorOutput: () => new TextDecoder().decode(Uint8Array.from(errorsWritten)),
    screen,
    outcome: () => outcomeView.textContent,
    notice: () => notice.textContent,
    chosen: () => chosenView.textContent,
    activity: () => activityView.textContent,
    percent: () => progress.value,
    waitingForKey: () => keyWaiter !== null,
  };
})();
