// The demo page's choice of emulated product: a field for its behaviour words (zentravox-target's
// options, e.g. "--refuse 2:20 --delay 700"), taken when the page next asks for MIDI access, i.e. at
// the next click on Update. The words may also come in the address: emulated.html?target=--delay+700
(function () {
  'use strict';
  const words = new URLSearchParams(location.search).get('target') || '';
  window.emulatedTargetSetup = { words };
  document.addEventListener('DOMContentLoaded', () => {
    const box = document.createElement('div');
    box.className = 'controls';
    const label = document.createElement('label');
    label.htmlFor = 'target-words';
    label.textContent = 'Emulated product';
    const field = document.createElement('input');
    field.id = 'target-words';
    field.size = 40;
    field.value = words;
    field.placeholder = 'a prompt product; or e.g. --refuse 2:20 --delay 700';
    field.addEventListener('input', () => { window.emulatedTargetSetup.words = field.value; });
    // The closing key prompt takes any key: typing here must not answer it.
    field.addEventListener('keydown', (event) => event.stopPropagation());
    box.append(label, field);
    document.querySelector('.controls').before(box);
  });
})();
