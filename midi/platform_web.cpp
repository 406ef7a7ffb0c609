// The platform seam on Web MIDI, for the program built to WebAssembly and run by a browser page.
// The page's one thread runs the program; whenever the program sleeps, the whole call stack is put
// aside (ASYNCIFY) and the browser's event loop runs: that is when MIDI messages arrive, each as one
// event, between the program's polls, as winmm's callback would between two looks at the mailbox.
// The JavaScript half (web/midi_web.pre.js) keeps the MIDIAccess and its ports; this half keeps the
// seam's bookkeeping, as the other backends do.
#include <emscripten.h>

#include <cstring>

#include "midi/midi_platform.h"

namespace {

// While the program looks for the target it holds every input and every output open at once (ten of
// each at most); a few slots spare.
constexpr int MAX_OPEN_PORTS = 16;
// Receive buffers that may be queued on one input at once, taken oldest first.
constexpr int BUFFERS_PER_INPUT = 8;
// An arriving message is copied here first, at most this much of it: more than any receive buffer
// holds. Its whole length comes along, and the buffer takes what fits, as winmm's does.
constexpr int STAGING_SIZE = 512;

struct WebInput {
    MidiInputCallback callback;
    MidiBuffer* queued[BUFFERS_PER_INPUT];
    int first;    // the oldest queued buffer
    int count;
};

MidiBuffer* takeQueued(WebInput& input) {
    if (input.count == 0) return nullptr;
    MidiBuffer* buffer = input.queued[input.first];
    input.first = (input.first + 1) % BUFFERS_PER_INPUT;
    --input.count;
    return buffer;
}

WebInput inputs[MAX_OPEN_PORTS];
bool outputsUsed[MAX_OPEN_PORTS];
std::uint8_t staging[STAGING_SIZE];
// Asked once per run, when the program first looks at the ports: after the image has been checked,
// and in answer to the user's own click on Update, so the browser's permission prompt makes sense.
bool accessAsked = false;
// True while nothing but sleeps has happened since the last sleep: the program is polling for an
// answer, and counts its wait as the sum of its sleeps. Such sleeps keep to one timeline, so that
// 2,000 polls of 1 ms last 2 s here too, where each turn of the page's event loop adds a little and
// a busy machine adds more. Any other call (a send above all) starts the timeline afresh, so a pause
// after a message is never shorter than asked: it paces the target.
bool onTimeline = false;

int slotOf(std::uintptr_t handle) {
    return handle >= 1 && handle <= MAX_OPEN_PORTS ? static_cast<int>(handle) - 1 : -1;
}

int freeInputSlot() {
    for (int slot = 0; slot < MAX_OPEN_PORTS; ++slot)
        if (inputs[slot].callback == nullptr) return slot;
    return -1;
}

int freeOutputSlot() {
    for (int slot = 0; slot < MAX_OPEN_PORTS; ++slot)
        if (!outputsUsed[slot]) return slot;
    return -1;
}

// clang-format off
EM_ASYNC_JS(void, webMidiRequestAccess, (), { await Module.webMidi.requestAccess(); });
EM_JS(int, webMidiPortName, (int input, int index, char* name, int size), {
    const text = Module.webMidi.portName(input, index);
    if (text === null) return 0;
    stringToUTF8(text, name, size);
    return 1;
});
EM_ASYNC_JS(int, webMidiOpen, (int input, int index, int slot, std::uint8_t* stagingArea, int stagingSize), {
    return await Module.webMidi.open(input, index, slot, stagingArea, stagingSize);
});
EM_JS(void, webMidiCloseInput, (int slot), { Module.webMidi.closeInput(slot); });
EM_JS(int, webMidiSend, (int slot, const std::uint8_t* message, int length), {
    return Module.webMidi.send(slot, HEAPU8.slice(message, message + length));
});
EM_JS(void, webMidiClearOutput, (int slot), { Module.webMidi.clearOutput(slot); });
EM_JS(void, webMidiCloseOutput, (int slot), { Module.webMidi.closeOutput(slot); });
EM_ASYNC_JS(void, webSleepUntilDeadline, (double milliseconds, int continueTimeline), {
    await Module.webMidi.sleep(milliseconds, continueTimeline !== 0);
});
// clang-format on

bool portName(bool input, int index, char (&name)[MIDI_NAME_SIZE]) {
    onTimeline = false;
    if (!accessAsked) {
        accessAsked = true;
        webMidiRequestAccess();
    }
    // Cut at a whole character: the page shows the name, and half a character would show as garbage.
    return webMidiPortName(input ? 1 : 0, index, name, MIDI_NAME_SIZE) != 0;
}

}  // namespace

// The page's listener calls this for every message of an open input, with its bytes in `staging`.
extern "C" EMSCRIPTEN_KEEPALIVE void webMidiReceived(int slot, int length, int sysex) {
    if (slot < 0 || slot >= MAX_OPEN_PORTS) return;
    WebInput& input = inputs[slot];
    if (input.callback == nullptr) return;
    const MidiInHandle handle = static_cast<MidiInHandle>(slot) + 1;
    if (!sysex) {
        input.callback(handle, MIDI_INPUT_OTHER, nullptr);
        return;
    }
    MidiBuffer* buffer = takeQueued(input);
    // No buffer queued: the message is lost, as it is on winmm.
    if (buffer == nullptr) return;
    int recorded = length < buffer->capacity ? length : buffer->capacity;
    if (recorded > STAGING_SIZE) recorded = STAGING_SIZE;
    if (recorded > 0) std::memcpy(buffer->data, staging, static_cast<std::size_t>(recorded));
    buffer->recorded = static_cast<std::uint16_t>(recorded);
    input.callback(handle, MIDI_INPUT_LONG_DATA, buffer);
}

bool platformInputName(int index, char (&name)[MIDI_NAME_SIZE]) { return portName(true, index, name); }
bool platformOutputName(int index, char (&name)[MIDI_NAME_SIZE]) { return portName(false, index, name); }

MidiResult platformOpenInput(int index, MidiInputCallback callback, MidiInHandle& handle) {
    onTimeline = false;
    const int slot = freeInputSlot();
    if (slot < 0) return MIDI_ERROR;
    inputs[slot] = WebInput{callback, {}, 0, 0};
    const int result = webMidiOpen(1, index, slot, staging, STAGING_SIZE);
    if (result != MIDI_OK) {
        inputs[slot] = WebInput{};
        return static_cast<MidiResult>(result);
    }
    handle = static_cast<MidiInHandle>(slot) + 1;
    return MIDI_OK;
}

MidiResult platformQueueInputBuffer(MidiInHandle handle, MidiBuffer& buffer) {
    const int slot = slotOf(handle);
    if (slot < 0 || inputs[slot].callback == nullptr) return MIDI_BAD_DEVICE;
    WebInput& input = inputs[slot];
    if (input.count == BUFFERS_PER_INPUT) return MIDI_ERROR;
    for (int i = 0; i < input.count; ++i)
        if (input.queued[(input.first + i) % BUFFERS_PER_INPUT] == &buffer) return MIDI_STILL_PLAYING;
    buffer.recorded = 0;
    input.queued[(input.first + input.count) % BUFFERS_PER_INPUT] = &buffer;
    ++input.count;
    return MIDI_OK;
}

MidiResult platformReleaseInputBuffer(MidiInHandle, MidiBuffer&) { return MIDI_OK; }

// The listener is in place from the open on; messages only arrive while the program sleeps.
MidiResult platformStartInput(MidiInHandle handle) { return slotOf(handle) < 0 ? MIDI_BAD_DEVICE : MIDI_OK; }

MidiResult platformCloseInput(MidiInHandle handle) {
    onTimeline = false;
    const int slot = slotOf(handle);
    if (slot < 0 || inputs[slot].callback == nullptr) return MIDI_BAD_DEVICE;
    webMidiCloseInput(slot);
    WebInput input = inputs[slot];
    inputs[slot] = WebInput{};
    // As winmm's reset does: the queued buffers come back through the callback, nothing recorded.
    while (MidiBuffer* buffer = takeQueued(input)) {
        buffer->recorded = 0;
        input.callback(handle, MIDI_INPUT_LONG_DATA, buffer);
    }
    return MIDI_OK;
}

MidiResult platformOpenOutput(int index, MidiOutHandle& handle) {
    onTimeline = false;
    const int slot = freeOutputSlot();
    if (slot < 0) return MIDI_ERROR;
    const int result = webMidiOpen(0, index, slot, nullptr, 0);
    if (result != MIDI_OK) return static_cast<MidiResult>(result);
    outputsUsed[slot] = true;
    handle = static_cast<MidiOutHandle>(slot) + 1;
    return MIDI_OK;
}

// Web MIDI copies the message as send() is called and tells nothing more: the bytes are free at once.
MidiResult platformBeginSend(MidiOutHandle handle, const std::uint8_t* message, std::uint16_t length) {
    onTimeline = false;
    const int slot = slotOf(handle);
    if (slot < 0 || !outputsUsed[slot]) return MIDI_BAD_DEVICE;
    return static_cast<MidiResult>(webMidiSend(slot, message, length));
}

MidiResult platformSendDone(MidiOutHandle) {
    onTimeline = false;
    return MIDI_OK;
}

void platformAbandonSend(MidiOutHandle handle) {
    onTimeline = false;
    const int slot = slotOf(handle);
    if (slot >= 0 && outputsUsed[slot]) webMidiClearOutput(slot);
}

MidiResult platformCloseOutput(MidiOutHandle handle) {
    onTimeline = false;
    const int slot = slotOf(handle);
    if (slot < 0 || !outputsUsed[slot]) return MIDI_BAD_DEVICE;
    webMidiCloseOutput(slot);
    outputsUsed[slot] = false;
    return MIDI_OK;
}

// A browser clamps timers to 4 ms and, in a hidden tab, to one wake-up a second; yielding to the
// event loop until the deadline keeps a 1 ms pause near 1 ms, visible or not.
void platformSleep(unsigned milliseconds) {
    webSleepUntilDeadline(static_cast<double>(milliseconds), onTimeline ? 1 : 0);
    onTimeline = true;
}

void platformStartup() {
    accessAsked = false;
    onTimeline = false;
}
void platformShutdown() {}
