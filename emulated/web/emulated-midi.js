// The emulated target behind a stand-in for the browser's Web MIDI, for tests and the demo: a page
// that loads this script before its own sees one input and one output, with the emulated target
// (emulated/model/target_model.cpp and its behaviour words, compiled to wasm) on the other end.
// Configured by window.emulatedTargetSetup, read when the page asks for MIDI access:
//   words   the target's behaviour in zentravox-target's words, e.g. "--refuse 2:20 --delay 700"
//   access  "grant" (the default), "deny" (the user refuses) or "absent" (a browser without Web MIDI)
//   base    where target.js and target.wasm are, by default /emulated/
//   inputName, outputName   the names of its ports, by default "Zentravox In" and "Zentravox Out"
//   inputs, outputs, targetInput, targetOutput   how many ports there are (1 each by default) and
//           which are the target's (0 by default); the others, "MIDI In 2", "MIDI Out 1"..., are
//           ports with nothing behind them, named as the console program's emulated world names them
// What the target received, wrote and answered is in window.emulatedTarget.
(function () {
  'use strict';
  const setup = window.emulatedTargetSetup || (window.emulatedTargetSetup = {});
  const base = setup.base || '/emulated/';

  let loading = null;
  function loadTarget() {
    if (!loading) {
      loading = new Promise((resolve, reject) => {
        const script = document.createElement('script');
        script.src = base + 'target.js';
        script.onload = () => window.createEmulatedTarget({ locateFile: (file) => base + file }).then(resolve, reject);
        script.onerror = () => reject(new Error('the emulated target could not be loaded from ' + base));
        document.head.appendChild(script);
      });
    }
    return loading;
  }
  // Loaded with the page, so that a run works offline once the page is up.
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', loadTarget);
  else loadTarget();

  // What a test reads back: the target's own record of this run.
  const record = {
    ready: () => loadTarget().then(() => true),
    started: false,
    messagesFromProgram: 0,     // every message that arrived, handshakes included
    delivered: 0,               // messages the program's input took
    lost: 0,                    // messages sent while no listener was on the program's input
    firstMessageAt: null,       // performance.now() when the first message from the program arrived
    lastDeliveredAt: null,      // ... and when the last one to the program was delivered
    setupError: '',
    flashHex: () => hexOf(flash()),
    flashSize: () => (target ? target._targetFlashSize() : 0),
    handshakes: () => (target ? target._targetHandshakes() : 0),
    sendingCodes: () => {
      const codes = [];
      for (let i = 0; target && i < target._targetSendings(); ++i) codes.push(target._targetSendingCode(i));
      return codes;
    },
    recordsAccepted: () => (target ? target._targetRecordsAccepted() : 0),
    recordsRefused: () => (target ? target._targetRecordsRefused() : 0),
  };
  window.emulatedTarget = record;

  let target = null;
  let world = null;

  function flash() {
    if (!target) return new Uint8Array(0);
    const start = target._targetFlash();
    return target.HEAPU8.slice(start, start + target._targetFlashSize());
  }
  function hexOf(bytes) {
    return Array.from(bytes, (b) => b.toString(16).toUpperCase().padStart(2, '0')).join('');
  }

  function startTarget(words) {
    const size = target.lengthBytesUTF8(words) + 1;
    const text = target._malloc(size);
    target.stringToUTF8(words, text, size);
    const error = target.UTF8ToString(target._targetStart(text));
    target._free(text);
    return error;
  }

  function makePort(type, name) {
    const port = new EventTarget();
    port.id = 'zentravox-' + type;
    port.name = name;
    port.manufacturer = 'emulated';
    port.version = '1';
    port.type = type;
    port.state = 'connected';
    port.connection = 'closed';
    port.onmidimessage = null;
    port.onstatechange = null;
    port.open = async function () {
      if (port.state === 'disconnected') throw new DOMException('The port is disconnected.', 'InvalidAccessError');
      port.connection = 'open';
      return port;
    };
    port.close = async function () {
      port.connection = 'closed';
      return port;
    };
    return port;
  }

  // Answers travel on a posted message, not on a timer: a timer would be clamped, and held back to
  // one a second in a hidden tab, where a real MIDI input is not.
  const channel = new MessageChannel();
  let pumping = false;
  channel.port1.onmessage = function () {
    pumping = false;
    deliverDue();
    if (world && world.queue.length > 0) pump();
  };
  function pump() {
    if (pumping) return;
    pumping = true;
    channel.port2.postMessage(0);
  }

  function deliverDue() {
    const now = performance.now();
    while (world.queue.length > 0 && world.queue[0].due <= now) deliver(world.queue.shift().bytes);
  }

  function deliver(bytes) {
    const input = world.input;
    const listening = input.state === 'connected' && typeof input.onmidimessage === 'function';
    if (!listening) {
      record.lost += 1;
      return;
    }
    record.delivered += 1;
    record.lastDeliveredAt = performance.now();
    const event = new MIDIMessageEvent('midimessage', { data: bytes });
    input.onmidimessage(event);
  }

  function leave() {
    for (const port of [world.input, world.output]) {
      port.state = 'disconnected';
      port.connection = 'closed';
    }
    world.queue.length = 0;
  }

  function receive(data, sysexAllowed) {
    const bytes = Uint8Array.from(data);
    if (world.output.state === 'disconnected') throw new DOMException('The port is disconnected.', 'InvalidStateError');
    if (bytes.length > 0 && bytes[0] === 0xF0 && !sysexAllowed)
      throw new DOMException('System exclusive message is not allowed.', 'InvalidAccessError');
    record.messagesFromProgram += 1;
    if (record.firstMessageAt === null) record.firstMessageAt = performance.now();
    const exitAfter = target._targetExitAfter();
    if (exitAfter !== 0 && record.messagesFromProgram === exitAfter) {
      leave();
      return;
    }
    target.HEAPU8.set(bytes, target._targetMessageRoom(bytes.length));
    const count = target._targetReceiveMessage();
    // The target's messages leave in turn over its one line, a late answer holding up what comes
    // after it; the model says when, on the clock of the target's start.
    const now = Math.floor(performance.now() - world.started);
    for (let i = 0; i < count; ++i) {
      const start = target._targetOutgoingBytes(i);
      const message = target.HEAPU8.slice(start, start + target._targetOutgoingLength(i));
      world.queue.push({ due: world.started + target._targetOutgoingDue(i, now), bytes: message });
    }
    if (world.queue.length > 0) pump();
  }

  async function requestAccess(options) {
    if ((setup.access || 'grant') === 'deny') throw new DOMException('Permission denied.', 'NotAllowedError');
    target = await loadTarget();
    const error = startTarget(setup.words || '');
    if (error) {
      record.setupError = error;
      throw new DOMException('The emulated target does not understand its words: ' + error, 'NotSupportedError');
    }
    // A new access is a target switched on afresh: its counts start again.
    record.started = true;
    record.messagesFromProgram = record.delivered = record.lost = 0;
    record.firstMessageAt = record.lastDeliveredAt = null;
    const sysexAllowed = !!(options && options.sysex);
    const ports = (type, count, targetIndex, targetName, otherName) => Array.from({ length: count }, (_, index) => {
      const port = makePort(type, index === targetIndex ? targetName : otherName + ' ' + (index + 1));
      port.id += '-' + index;
      return port;
    });
    const inputs = ports('input', setup.inputs || 1, setup.targetInput || 0, setup.inputName || 'Zentravox In', 'MIDI In');
    const outputs = ports('output', setup.outputs || 1, setup.targetOutput || 0, setup.outputName || 'Zentravox Out',
                          'MIDI Out');
    world = {
      input: inputs[setup.targetInput || 0],
      output: outputs[setup.targetOutput || 0],
      queue: [],
      started: performance.now(),
    };
    for (const output of outputs) {
      // Nothing is behind the other outputs: what they are sent goes nowhere.
      output.send = output === world.output ? (data) => receive(data, sysexAllowed) : () => {};
      output.clear = () => {};
    }
    const access = new EventTarget();
    access.inputs = new Map(inputs.map((port) => [port.id, port]));
    access.outputs = new Map(outputs.map((port) => [port.id, port]));
    access.sysexEnabled = sysexAllowed;
    access.onstatechange = null;
    return access;
  }

  if ((setup.access || 'grant') === 'absent') navigator.requestMIDIAccess = undefined;
  else navigator.requestMIDIAccess = requestAccess;
})();
