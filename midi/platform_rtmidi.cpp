// The platform seam on RtMidi: the ports of every MIDI system RtMidi reaches on this machine, the ALSA
// sequencer's first, then JACK's. Buffers behave as winmm's do: one queued buffer takes one
// system-exclusive message, and while none is queued arriving messages are lost.
// Nothing here, nor in the libraries underneath, may write to the console: it is the program's own.
#include <RtMidi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/midi_platform.h"
#include "timing/precise_sleep.h"
#include "midi/rtmidi_jack_link.h"
#include "midi/rtmidi_ports.h"
#include "midi/rtmidi_quiet.h"

using namespace rtmidi_backend;

namespace {

struct InputPort {
    // Held while the callback runs, on RtMidi's thread, and whenever ours touches what the callback uses;
    // recursive because the callback queues its buffer again from inside.
    std::recursive_mutex mutex;
    MidiInputCallback callback = nullptr;
    MidiInHandle handle = 0;
    std::deque<MidiBuffer*> queued;
    bool started = false;
    bool closing = false;

    std::atomic<bool> failed{false};
    std::unique_ptr<RtMidiIn> rt;
    JackLink* watcher = nullptr;   // on JACK only: shared with every JACK input, and left when this closes
};

struct OutputPort {
    PortEntry peer;
    std::atomic<bool> failed{false};
    std::unique_ptr<RtMidiOut> rt;   // on ALSA only
    bool pending = false;
    JackLink* jack = nullptr;        // on JACK only: the port is the link's own
};

std::mutex liveMutex;   // held only for a lookup: the callback's thread takes it too
std::vector<InputPort*> liveInputs;
std::vector<OutputPort*> liveOutputs;

template <class Port>
Port* findLive(std::vector<Port*>& live, std::uintptr_t handle) {
    std::lock_guard<std::mutex> lock(liveMutex);
    for (Port* port : live) {
        if (reinterpret_cast<std::uintptr_t>(port) == handle) return port;
    }
    return nullptr;
}

template <class Port>
Port* takeLive(std::vector<Port*>& live, std::uintptr_t handle) {
    std::lock_guard<std::mutex> lock(liveMutex);
    auto found = std::find_if(live.begin(), live.end(),
                              [handle](Port* port) { return reinterpret_cast<std::uintptr_t>(port) == handle; });
    if (found == live.end()) return nullptr;
    Port* port = *found;
    live.erase(found);
    return port;
}

template <class Port>
bool anyLive(const std::vector<Port*>& live) {
    std::lock_guard<std::mutex> lock(liveMutex);
    return !live.empty();
}

bool nameFrom(bool inputs, int index, char (&name)[MIDI_NAME_SIZE]) {
    ensureQuiet();
    const bool inUse = inputs ? anyLive(liveInputs) : anyLive(liveOutputs);
    return listedName(inputs, index, inUse, name);
}

void onRtMidiMessage(double, std::vector<unsigned char>* message, void* context) {
    auto* in = static_cast<InputPort*>(context);
    std::lock_guard<std::recursive_mutex> lock(in->mutex);
    if (!in->started || in->closing || message == nullptr || message->empty()) return;
    if (message->front() != 0xF0) {
        in->callback(in->handle, MIDI_INPUT_OTHER, nullptr);
        return;
    }
    if (in->queued.empty()) return;   // no buffer: the message is lost, as on winmm
    // RtMidi's JACK input joins an unfinished message (a lone F0) with the one after it; a new F0
    // always starts a new message, so what came before the last one is dropped.
    std::size_t start = message->size() - 1;
    while ((*message)[start] != 0xF0) --start;
    MidiBuffer* buffer = in->queued.front();
    in->queued.pop_front();
    const std::size_t recorded = std::min<std::size_t>(message->size() - start, buffer->capacity);
    std::memcpy(buffer->data, message->data() + start, recorded);
    buffer->recorded = static_cast<std::uint16_t>(recorded);
    in->callback(in->handle, MIDI_INPUT_LONG_DATA, buffer);
}

// Closes the RtMidi port, and the watcher with its last user; both wait for their threads, so nothing
// runs after.
void releaseInput(InputPort& in) {
    in.rt.reset();
    if (in.watcher != nullptr) {
        in.watcher = nullptr;
        leaveJackWatcher();
    }
}

void releaseOutput(OutputPort& out) {
    out.rt.reset();
    closeJackLink(out.jack);
}

MidiResult connectInput(InputPort& in, const PortEntry& entry, const std::string& clientName) {
    if (entry.api == RtMidi::UNIX_JACK) {
        // RtMidi's openPort(index) on JACK reports success even when the index names no port and
        // nothing got connected: our own port, then the one connection, made and checked by name.
        in.rt->openVirtualPort("in");
        if (in.failed.load()) return MIDI_ERROR;
        return connectJackInput(*in.watcher, clientName + ":in", entry.name);
    }
    // ALSA's names carry the client and port numbers, so the name found again at the index after the
    // open tells that the port did not change in between.
    unsigned index = 0;
    if (!currentIndex(*in.rt, entry.name, index)) return MIDI_BAD_DEVICE;
    in.rt->openPort(index, "in");
    if (!in.rt->isPortOpen() || in.failed.load()) return MIDI_ERROR;
    return in.rt->getPortName(index) == entry.name ? MIDI_OK : MIDI_BAD_DEVICE;
}

MidiResult connectOutput(OutputPort& out) {
    if (out.peer.api == RtMidi::UNIX_JACK) return connectJackOutput(*out.jack, out.peer.name);
    unsigned index = 0;
    if (!currentIndex(*out.rt, out.peer.name, index)) return MIDI_BAD_DEVICE;
    out.rt->openPort(index, "out");
    if (!out.rt->isPortOpen() || out.failed.load()) return MIDI_ERROR;
    return out.rt->getPortName(index) == out.peer.name ? MIDI_OK : MIDI_BAD_DEVICE;
}

}  // namespace

bool platformInputName(int index, char (&name)[MIDI_NAME_SIZE]) { return nameFrom(true, index, name); }
bool platformOutputName(int index, char (&name)[MIDI_NAME_SIZE]) { return nameFrom(false, index, name); }

MidiResult platformOpenInput(int index, MidiInputCallback callback, MidiInHandle& handle) {
    ensureQuiet();
    PortEntry entry;
    if (!listedEntry(true, index, entry)) return MIDI_BAD_DEVICE;
    if (callback == nullptr) return MIDI_ERROR;

    auto in = std::make_unique<InputPort>();
    in->callback = callback;
    in->handle = reinterpret_cast<MidiInHandle>(in.get());
    if (entry.api == RtMidi::UNIX_JACK) {
        // Ports are opened and closed on the program's thread only, as the watcher wants.
        in->watcher = shareJackWatcher(newClientName("watch"));
        if (in->watcher == nullptr) return MIDI_ERROR;
    }
    const std::string clientName = newClientName("in");
    in->rt = makeQuietly<RtMidiIn>(entry.api, clientName, in->failed);
    if (!in->rt) {
        releaseInput(*in);
        return MIDI_ERROR;
    }
    // System-exclusive messages are what the target says, and RtMidi drops them unless told otherwise;
    // the rest is let through too, to be reported as winmm reports it.
    in->rt->ignoreTypes(false, false, false);
    in->rt->setCallback(onRtMidiMessage, in.get());
    const MidiResult result = connectInput(*in, entry, clientName);
    if (result != MIDI_OK) {
        releaseInput(*in);
        return result;
    }
    {
        std::lock_guard<std::mutex> lock(liveMutex);
        liveInputs.push_back(in.get());
    }
    handle = in->handle;
    in.release();
    return MIDI_OK;
}

MidiResult platformQueueInputBuffer(MidiInHandle handle, MidiBuffer& buffer) {
    InputPort* in = findLive(liveInputs, handle);
    if (in == nullptr) return MIDI_ERROR;
    if (buffer.data == nullptr || buffer.capacity == 0) return MIDI_ERROR;
    std::lock_guard<std::recursive_mutex> lock(in->mutex);
    if (in->closing) return MIDI_ERROR;
    if (std::find(in->queued.begin(), in->queued.end(), &buffer) != in->queued.end()) return MIDI_ERROR;
    buffer.recorded = 0;
    in->queued.push_back(&buffer);
    return MIDI_OK;
}

MidiResult platformReleaseInputBuffer(MidiInHandle handle, MidiBuffer& buffer) {
    InputPort* in = findLive(liveInputs, handle);
    if (in == nullptr) return MIDI_ERROR;
    std::lock_guard<std::recursive_mutex> lock(in->mutex);
    // A buffer still queued belongs to the platform, as winmm's unprepare refuses it.
    if (std::find(in->queued.begin(), in->queued.end(), &buffer) != in->queued.end()) return MIDI_STILL_PLAYING;
    return MIDI_OK;
}

MidiResult platformStartInput(MidiInHandle handle) {
    InputPort* in = findLive(liveInputs, handle);
    if (in == nullptr) return MIDI_ERROR;
    std::lock_guard<std::recursive_mutex> lock(in->mutex);
    in->started = true;
    return MIDI_OK;
}

MidiResult platformCloseInput(MidiInHandle handle) {
    InputPort* in = takeLive(liveInputs, handle);
    if (in == nullptr) return MIDI_ERROR;
    std::unique_ptr<InputPort> owned(in);
    {
        // Waits for a callback under way; from here on RtMidi's thread delivers nothing.
        std::lock_guard<std::recursive_mutex> lock(in->mutex);
        in->started = false;
        in->closing = true;
        while (!in->queued.empty()) {
            MidiBuffer* buffer = in->queued.front();
            in->queued.pop_front();
            buffer->recorded = 0;
            in->callback(handle, MIDI_INPUT_LONG_DATA, buffer);
        }
    }
    // Not under the lock: closing joins RtMidi's thread, which may be waiting for it.
    releaseInput(*in);
    return MIDI_OK;
}

MidiResult platformOpenOutput(int index, MidiOutHandle& handle) {
    ensureQuiet();
    auto out = std::make_unique<OutputPort>();
    if (!listedEntry(false, index, out->peer)) return MIDI_BAD_DEVICE;
    const std::string clientName = newClientName("out");
    if (out->peer.api == RtMidi::UNIX_JACK) {
        // RtMidi's JACK output frees its queue before it closes its client, while a cycle may still be
        // reading it: a JACK output is a port of our own host client instead.
        out->jack = openJackOutput(clientName);
        if (out->jack == nullptr) return MIDI_ERROR;
    } else {
        out->rt = makeQuietly<RtMidiOut>(out->peer.api, clientName, out->failed);
        if (!out->rt) return MIDI_ERROR;
    }
    const MidiResult result = connectOutput(*out);
    if (result != MIDI_OK) {
        releaseOutput(*out);
        return result;
    }
    {
        std::lock_guard<std::mutex> lock(liveMutex);
        liveOutputs.push_back(out.get());
    }
    handle = reinterpret_cast<MidiOutHandle>(out.get());
    out.release();
    return MIDI_OK;
}

MidiResult platformBeginSend(MidiOutHandle handle, const std::uint8_t* message, std::uint16_t length) {
    OutputPort* out = findLive(liveOutputs, handle);
    if (out == nullptr || message == nullptr || length == 0) return MIDI_ERROR;
    if (out->pending) return MIDI_STILL_PLAYING;
    if (out->peer.api == RtMidi::UNIX_JACK) {
        // A copy waits in the link's queue for the next cycle.
        if (!jackSend(*out->jack, message, length)) return MIDI_ERROR;
    } else {
        unsigned index = 0;
        if (!currentIndex(*out->rt, out->peer.name, index)) return MIDI_ERROR;
        out->failed.store(false);
        // RtMidi takes a copy and writes it to the sequencer at once.
        out->rt->sendMessage(message, length);
        if (out->failed.load()) return MIDI_ERROR;
    }
    out->pending = true;
    return MIDI_OK;
}

MidiResult platformSendDone(MidiOutHandle handle) {
    OutputPort* out = findLive(liveOutputs, handle);
    if (out == nullptr || !out->pending) return MIDI_OK;
    // A JACK send counts as done once little enough of it waits to go out; see the JACK link.
    if (out->peer.api == RtMidi::UNIX_JACK && !jackSendDone(*out->jack)) return MIDI_STILL_PLAYING;
    out->pending = false;
    return MIDI_OK;
}

void platformAbandonSend(MidiOutHandle handle) {
    OutputPort* out = findLive(liveOutputs, handle);
    if (out != nullptr) out->pending = false;
}

MidiResult platformCloseOutput(MidiOutHandle handle) {
    OutputPort* out = takeLive(liveOutputs, handle);
    if (out == nullptr) return MIDI_ERROR;
    std::unique_ptr<OutputPort> owned(out);
    releaseOutput(*out);
    return MIDI_OK;
}

void platformSleep(unsigned milliseconds) {
    if (platformSleepHook != nullptr) platformSleepHook();
    sleepPrecisely(milliseconds);
}

void platformStartup() {
    ensureQuiet();
    forgetLists();
}

void platformShutdown() {
    std::vector<InputPort*> inputs;
    std::vector<OutputPort*> outputs;
    {
        std::lock_guard<std::mutex> lock(liveMutex);
        inputs = liveInputs;
        outputs = liveOutputs;
    }
    for (InputPort* in : inputs) platformCloseInput(reinterpret_cast<MidiInHandle>(in));
    for (OutputPort* out : outputs) platformCloseOutput(reinterpret_cast<MidiOutHandle>(out));
    closeJackWatcher();
    forgetLists();
}
