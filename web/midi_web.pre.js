// The browser's half of the Web MIDI backend (midi/platform_web.cpp): the MIDIAccess of the current
// run, its ports by index, the listeners that hand arriving messages to the program, and the sleep
// that yields to the page's event loop until a deadline.
Module['webMidi'] = (function () {
  // winmm's result codes, which the program passes on: no such port, port in use, any other failure.
  const BAD_DEVICE = 2;
  const ALLOCATED = 4;
  const FAILED = 1;
  // A port's open() is a promise that a stuck driver might never settle; the program must go on.
  const OPEN_LIMIT_MS = 3000;

  let inputs = [];
  let outputs = [];
  const openInputs = [];
  const openOutputs = [];
  // The index of the port each slot holds, for what the page is told when it closes.
  const inputIndices = [];
  const outputIndices = [];

  function reportProblem(reason, detail) {
    if (typeof Module['onMidiProblem'] === 'function') Module['onMidiProblem'](reason, detail);
  }

  // The program prints nothing while it looks for the product: the page shows from these what it is
  // doing ('asking' for access, 'looking', 'opening' a port, 'closed' a port) and which ports it holds.
  function tell(what, input, index) {
    if (typeof Module['onMidiActivity'] !== 'function') return;
    Module['onMidiActivity'](what, input, index, index === undefined ? null : portName(input, index));
  }

  // Asked once a run. A browser without Web MIDI, or a refusal, leaves no ports: the program then
  // says it found no device, and the page says why.
  async function requestAccess() {
    inputs = [];
    outputs = [];
    tell('asking');
    if (typeof navigator === 'undefined' || typeof navigator.requestMIDIAccess !== 'function') {
      reportProblem('absent', '');
      return;
    }
    let access;
    try {
      access = await navigator.requestMIDIAccess({ sysex: true });
    } catch (error) {
      const name = error && error.name ? error.name : '';
      // NotAllowedError or SecurityError: the user (or a policy) said no. Anything else: the browser
      // could not start its MIDI service (Chromium on Linux without ALSA's sequencer: InvalidStateError).
      const reason = name === 'NotAllowedError' || name === 'SecurityError' ? 'refused' : 'failed';
      reportProblem(reason, (name ? name + ': ' : '') + (error && error.message || error));
      return;
    }
    inputs = Array.from(access.inputs.values());
    outputs = Array.from(access.outputs.values());
    tell('looking');
  }

  function portName(input, index) {
    const port = (input ? inputs : outputs)[index];
    return port ? String(port.name || '') : null;
  }

  function withinLimit(promise) {
    let timer;
    const limit = new Promise((resolve, reject) => {
      timer = setTimeout(() => reject(new Error('no answer from the port')), OPEN_LIMIT_MS);
    });
    return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
  }

  async function open(input, index, slot, staging, stagingSize) {
    const port = (input ? inputs : outputs)[index];
    if (!port) return BAD_DEVICE;
    tell('opening', input, index);
    try {
      await withinLimit(Promise.resolve(port.open()));
    } catch (error) {
      tell('closed', input, index);
      return error && error.name === 'InvalidAccessError' ? ALLOCATED : FAILED;
    }
    if (!input) {
      openOutputs[slot] = port;
      outputIndices[slot] = index;
      return 0;
    }
    // Runs between the program's polls, while it sleeps.
    port.onmidimessage = function (event) {
      const data = event.data;
      const length = data.length;
      HEAPU8.set(data.subarray(0, Math.min(length, stagingSize)), staging);
      Module['_webMidiReceived'](slot, length, length > 0 && data[0] === 0xF0 ? 1 : 0);
    };
    openInputs[slot] = port;
    inputIndices[slot] = index;
    return 0;
  }

  function closeInput(slot) {
    const port = openInputs[slot];
    openInputs[slot] = null;
    if (!port) return;
    tell('closed', true, inputIndices[slot]);
    port.onmidimessage = null;
    Promise.resolve(port.close()).catch(() => {});
  }

  function send(slot, bytes) {
    const port = openOutputs[slot];
    if (!port) return BAD_DEVICE;
    try {
      port.send(bytes);
      return 0;
    } catch (error) {
      // A port that has gone away (a cable pulled) throws InvalidStateError.
      return error && error.name === 'InvalidStateError' ? BAD_DEVICE : FAILED;
    }
  }

  function clearOutput(slot) {
    const port = openOutputs[slot];
    if (port && typeof port.clear === 'function') port.clear();
  }

  function closeOutput(slot) {
    const port = openOutputs[slot];
    openOutputs[slot] = null;
    if (!port) return;
    tell('closed', false, outputIndices[slot]);
    Promise.resolve(port.close()).catch(() => {});
  }

  // Timers are clamped (4 ms; one wake-up a second in a hidden tab); a posted message is not, so the
  // sleep hands the event loop one turn at a time until the deadline has passed. A sleep that
  // continues the timeline ends `milliseconds` after the previous one was due, not after now: one
  // that is late already still hands over one turn, so that waiting messages get in. A turn can come
  // a few tenths of a millisecond after it was asked for, so the last half millisecond is waited out
  // on the clock: handing over one more turn there would end most pauses late.
  const channel = new MessageChannel();
  const SPIN_TAIL_MS = 0.5;
  let due = 0;
  let onTurn = null;
  channel.port1.onmessage = function () {
    const turn = onTurn;
    onTurn = null;
    if (turn) turn();
  };
  function sleep(milliseconds, continueTimeline) {
    const deadline = (continueTimeline ? due : performance.now()) + milliseconds;
    due = deadline;
    return new Promise((resolve) => {
      const turn = function () {
        let now = performance.now();
        if (now >= deadline - SPIN_TAIL_MS) {
          while (now < deadline) now = performance.now();
          resolve();
          return;
        }
        onTurn = turn;
        channel.port2.postMessage(0);
      };
      onTurn = turn;
      channel.port2.postMessage(0);
    });
  }

  return { requestAccess, portName, open, closeInput, send, clearOutput, closeOutput, sleep };
})();
