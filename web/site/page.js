// The page around the update program (update.js, update.wasm): puts the chosen files into the
// program's current folder, runs it on a click, shows its console output as a console would (a
// carriage return goes back to the start of the line), a progress bar from its percentage, and the
// outcome in plain words. Everything runs in this page: nothing is sent anywhere.
'use strict';
(function () {
  const byId = (id) => document.getElementById(id);
  const fileInput = byId('image');
  const updateButton = byId('update');
  const continueButton = byId('continue');
  const consoleView = byId('console');
  const progress = byId('progress');
  const percentView = byId('percent');
  const notice = byId('notice');
  const outcomeView = byId('outcome');

  // The program's current folder: it takes the image from here by the same rules as on a disk.
  const FOLDER = '/update';
  const PROGRESS = /Transferring\.\. (?:. )?(\d+)% done/;

  // The run's console: every byte written to standard output, and the screen they make.
  let written = [];
  let errorsWritten = [];
  let lines = [''];
  let column = 0;
  let decoder = new TextDecoder();
  const REDRAW_INTERVAL_MS = 100;
  let redrawQueued = false;
  let lastRedrawAt = -Infinity;
  let ready = false;
  let running = false;
  let state = 'loading';
  let keyWaiter = null;
  let midiProblem = false;   // this run had no MIDI access: the notice says why

  function putCharacter(character) {
    if (character === '\r') {
      column = 0;
    } else if (character === '\n') {
      lines.push('');
      column = 0;
    } else {
      const line = lines[lines.length - 1].padEnd(column, ' ');
      lines[lines.length - 1] = line.slice(0, column) + character + line.slice(column + 1);
      column += 1;
    }
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
    consoleView.textContent = lines.join('\n');
    const match = PROGRESS.exec(lines[lines.length - 1]) || PROGRESS.exec(lines[lines.length - 2] || '');
    if (match) showPercent(Number(match[1]));
  }

  function showPercent(percent) {
    progress.value = percent;
    percentView.textContent = percent + '%';
  }

  function showNotice(text) {
    notice.textContent = text;
    notice.hidden = !text;
  }

  // The outcome in plain words, from what the program printed.
  const OUTCOMES = [
    ['The System is restarted, please wait!', 'success',
     'The update is complete: the product has the new firmware and is restarting. Wait until it is ready.'],
    ['Target update successfully!', 'success', 'The update is complete: the product has the new firmware.'],
    ['Please reset the product and retry again!', 'failure',
     'The product asks to be reset first: switch it off and on, then click Update again. Nothing was sent to it.'],
    ["Can't find the suitable device to update!", 'failure',
     'No product answered: check both MIDI cables and that the product is on, then click Update again. Nothing was sent.'],
    ['Failed: Target is not responding.', 'failure',
     'The product stopped answering: the update is not complete. Switch the product off and on and update again.'],
    ['Error: The MIDI Out of device is missing!', 'failure',
     'The MIDI output went away during the update: the update is not complete. Reconnect it and update again.'],
    ['Error in updating.', 'failure',
     'The product did not take the update: it is not complete. Update again; if it happens again, the product needs service.'],
    ['Error: The upgrade file is error!', 'failure',
     'The image file is damaged or incomplete: get it again. Nothing was sent to the product.'],
    ['Error: The fit file is not found.', 'failure',
     'The first .led file chosen does not begin with ZENTRAVOX: choose the update image alone.'],
    ['is not found.', 'failure', 'No update image was chosen: choose the ZENTRAVOX….led file, then click Update.'],
  ];

  function showOutcome() {
    const text = transcript();
    const found = OUTCOMES.find(([printed]) => text.includes(printed));
    let [, kind, words] = found || [null, 'failure', 'The update ended without a result: it is not complete.'];
    if (midiProblem && text.includes("Can't find the suitable device")) {
      words = 'No product could be reached: this page has no access to MIDI (see above). Nothing was sent.';
    }
    outcomeView.dataset.outcome = kind;
    outcomeView.textContent = words;
    outcomeView.hidden = false;
    if (kind === 'success') showPercent(100);
    state = kind;
  }

  function transcript() {
    return new TextDecoder().decode(Uint8Array.from(written));
  }

  function describeMidiProblem(reason, detail) {
    const browsers = 'Web MIDI works in Chrome, Edge and Opera on the desktop, and in Firefox from version 108; ' +
      'not in Safari, nor in browsers on iPhone or iPad.';
    if (reason === 'absent') return 'This browser has no Web MIDI, so the page cannot reach the product. ' + browsers;
    if (reason === 'failed') {
      return 'The browser could not start its MIDI service (' + detail + '). Check that the MIDI interface is ' +
        'connected and that no other program holds it; on Linux the browser needs the ALSA sequencer ' +
        '(/dev/snd/seq). Then click Update again.';
    }
    return 'The browser did not give this page access to MIDI devices (' + detail + '). ' +
      'Allow MIDI devices for this page (the icon at the left of the address bar), or check that no other ' +
      'program holds the MIDI interface, then click Update again. ' + browsers;
  }

  // The chosen files, and nothing else, are the program's folder for this run.
  async function fillFolder() {
    if (!FS.analyzePath(FOLDER).exists) FS.mkdir(FOLDER);
    for (const name of FS.readdir(FOLDER)) {
      if (name !== '.' && name !== '..') FS.unlink(FOLDER + '/' + name);
    }
    for (const file of Array.from(fileInput.files)) {
      FS.writeFile(FOLDER + '/' + file.name, new Uint8Array(await file.arrayBuffer()));
    }
    FS.chdir(FOLDER);
  }

  async function startRun() {
    if (!ready || running) return;
    running = true;
    state = 'running';
    updateButton.disabled = true;
    fileInput.disabled = true;
    written = [];
    errorsWritten = [];
    lines = [''];
    column = 0;
    decoder = new TextDecoder();
    consoleView.textContent = '';
    outcomeView.hidden = true;
    showNotice('');
    showPercent(0);
    midiProblem = false;
    try {
      await fillFolder();
    } catch (error) {
      // The program never ran: a file that cannot be read (moved or deleted since it was chosen).
      showNotice('A chosen file could not be read (' + error.name + '): choose it again, then click Update.');
      running = false;
      state = 'ready';
      updateButton.disabled = false;
      fileInput.disabled = false;
      return;
    }
    Module.callMain([]);
  }

  function finishKeyWait() {
    if (!keyWaiter) return;
    const resume = keyWaiter;
    keyWaiter = null;
    continueButton.hidden = true;
    resume();
  }

  // The program's closing "Press any key": its result is known by now.
  function waitForKey() {
    redraw();
    showOutcome();
    continueButton.hidden = false;
    continueButton.focus();
    return new Promise((resolve) => {
      keyWaiter = resolve;
    });
  }

  document.addEventListener('keydown', (event) => {
    if (!keyWaiter || ['Shift', 'Control', 'Alt', 'Meta', 'AltGraph', 'CapsLock'].includes(event.key)) return;
    event.preventDefault();
    finishKeyWait();
  });
  continueButton.addEventListener('click', finishKeyWait);
  updateButton.addEventListener('click', startRun);
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
    onMidiProblem(reason, detail) {
      midiProblem = true;
      showNotice(describeMidiProblem(reason, detail));
    },
    waitForKey,
    runEnded() {
      running = false;
      updateButton.disabled = false;
      fileInput.disabled = false;
      updateButton.textContent = 'Update again';
      state = state === 'running' ? 'ended' : state;
      document.body.dataset.runs = String(Number(document.body.dataset.runs || 0) + 1);
    },
    onAbort(what) {
      running = false;
      state = 'failure';
      outcomeView.dataset.outcome = 'failure';
      outcomeView.textContent = 'The update program stopped unexpectedly (' + what + '): the update is not complete.';
      outcomeView.hidden = false;
    },
  };

  // For tests and for anyone reading along in the browser's console: the exact text of the run.
  window.updatePage = {
    state: () => state,
    running: () => running,
    transcript,
    errorOutput: () => new TextDecoder().decode(Uint8Array.from(errorsWritten)),
    screen: () => lines.join('\n'),
    outcome: () => (outcomeView.hidden ? '' : outcomeView.textContent),
    notice: () => (notice.hidden ? '' : notice.textContent),
    percent: () => progress.value,
    waitingForKey: () => keyWaiter !== null,
  };
})();
