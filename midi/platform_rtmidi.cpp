// The platform seam on RtMidi: the ports of every MIDI system RtMidi reaches on this machine, the ALSA
// sequencer's first, then JACK's. Buffers behave as winmm's do: one queued buffer takes one
// system-exclusive message, and while none is queued arriving messages are lost.
// Nothing here, nor in the libraries underneath, may write to the console: it is the program's own.
#include <RtMidi.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#if defined(UPDATE_RTMIDI_ALSA)
#include <alsa/asoundlib.h>
#endif
#if defined(UPDATE_RTMIDI_JACK)
#include <jack/jack.h>
#include <jack/midiport.h>
#endif

#include "midi/midi_platform.h"
#include "midi/precise_sleep.h"

namespace {

// ---------------------------------------------------------------------------------------------------
// Silence and names

void onRtMidiError(RtMidiError::Type, const std::string&, void* failed) {
    static_cast<std::atomic<bool>*>(failed)->store(true);
}

#if defined(UPDATE_RTMIDI_ALSA)
void silentAlsa(const char*, int, const char*, int, const char*, ...) {}
#endif
#if defined(UPDATE_RTMIDI_JACK)
void silentJack(const char*) {}
#endif

void ensureQuiet() {
    static std::once_flag once;
    std::call_once(once, [] {
        // libjack starts a server when none answers unless told not to; the program must never do that.
        setenv("JACK_NO_START_SERVER", "1", 1);
#if defined(UPDATE_RTMIDI_ALSA)
        snd_lib_error_set_handler(silentAlsa);
#endif
#if defined(UPDATE_RTMIDI_JACK)
        jack_set_error_function(silentJack);
        jack_set_info_function(silentJack);
#endif
    });
}

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
};

// RtMidi prints a failing constructor's error on std::cerr before it throws, and no error callback can
// be set before the object exists: std::cerr is muted for the constructor alone. Objects are made on the
// program's thread only, and nothing of the program writes to std::cerr meanwhile.
template <class Port>
std::unique_ptr<Port> makeQuietly(RtMidi::Api api, const std::string& clientName, std::atomic<bool>& failed) {
    static NullBuffer sink;
    std::streambuf* const saved = std::cerr.rdbuf(&sink);
    std::unique_ptr<Port> port;
    try {
        port = std::make_unique<Port>(api, clientName);
    } catch (...) {
        port.reset();
    }
    std::cerr.rdbuf(saved);
    if (port) port->setErrorCallback(onRtMidiError, &failed);
    return port;
}

// Every client of this process is named under one prefix, so its own ports are told from the others.
const std::string& ownPrefix() {
    static const std::string prefix = "update-" + std::to_string(getpid()) + "-";
    return prefix;
}

std::string newClientName(const char* role) {
    static std::atomic<unsigned> serial{0};
    return ownPrefix() + role + std::to_string(++serial);
}

bool isOwnPort(const std::string& name) { return name.compare(0, ownPrefix().size(), ownPrefix()) == 0; }

std::vector<RtMidi::Api> apisInOrder() {
    std::vector<RtMidi::Api> apis;
#if defined(UPDATE_RTMIDI_ALSA)
    apis.push_back(RtMidi::LINUX_ALSA);
#endif
#if defined(UPDATE_RTMIDI_JACK)
    apis.push_back(RtMidi::UNIX_JACK);
#endif
    return apis;
}

// ---------------------------------------------------------------------------------------------------
// The port lists

struct PortEntry {
    RtMidi::Api api;
    std::string name;   // whole, as the system names it: two ports alike in 31 characters stay apart
};

struct PortList {
    bool taken = false;
    std::vector<PortEntry> ports;
};

template <class Lister>
void appendPorts(RtMidi::Api api, std::vector<PortEntry>& list) {
    std::atomic<bool> failed{false};
    const std::unique_ptr<Lister> lister = makeQuietly<Lister>(api, newClientName("list"), failed);
    if (!lister) return;   // this system does not run here
    const unsigned count = lister->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        const std::string name = lister->getPortName(i);
        if (!name.empty() && !isOwnPort(name)) list.push_back(PortEntry{api, name});
    }
}

// RtMidi's JACK objects leak their queue when no server answers; ask the server ourselves first.
bool apiRuns(RtMidi::Api api) {
#if defined(UPDATE_RTMIDI_JACK)
    if (api == RtMidi::UNIX_JACK) {
        jack_client_t* probe = jack_client_open(newClientName("probe").c_str(), JackNoStartServer, nullptr);
        if (probe == nullptr) return false;
        jack_client_close(probe);
    }
#endif
    (void)api;
    return true;
}

std::vector<PortEntry> listPorts(bool inputs) {
    ensureQuiet();
    std::vector<PortEntry> list;
    for (const RtMidi::Api api : apisInOrder()) {
        if (!apiRuns(api)) continue;
        if (inputs) {
            appendPorts<RtMidiIn>(api, list);
        } else {
            appendPorts<RtMidiOut>(api, list);
        }
    }
    return list;
}

// ---------------------------------------------------------------------------------------------------
// JACK: our own port under a name we know, and connections we make and check ourselves

#if defined(UPDATE_RTMIDI_JACK)

// A libjack client of our own beside RtMidi's: it connects and checks ports, notices the server going
// away and, for an output, counts what our port has put on the wire in each cycle.
// Bytes a JACK output may have queued and not yet seen go out before a send counts as unfinished.
constexpr std::uint32_t JACK_IN_FLIGHT_BYTES = 4096;
// Bytes waiting this long without any going out: the server has stopped (a period lasts 43 ms at most
// on the slowest usual settings, 2048 frames at 48 kHz).
constexpr auto JACK_STALL = std::chrono::milliseconds(250);

struct JackWatch {
    jack_client_t* client = nullptr;
    jack_port_t* drain = nullptr;
    std::atomic<std::uint32_t> drainedBytes{0};
    std::atomic<bool> serverGone{false};
};

int countDrained(jack_nframes_t frames, void* context) {
    auto* watch = static_cast<JackWatch*>(context);
    void* buffer = jack_port_get_buffer(watch->drain, frames);
    const std::uint32_t events = jack_midi_get_event_count(buffer);
    std::uint32_t bytes = 0;
    for (std::uint32_t i = 0; i < events; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) == 0) bytes += static_cast<std::uint32_t>(event.size);
    }
    if (bytes != 0) watch->drainedBytes.fetch_add(bytes, std::memory_order_release);
    return 0;
}

void noteServerGone(void* context) { static_cast<JackWatch*>(context)->serverGone.store(true); }

void closeWatch(JackWatch& watch) {
    if (watch.client != nullptr) jack_client_close(watch.client);
    watch.client = nullptr;
    watch.drain = nullptr;
}

bool openWatch(JackWatch& watch, bool countsDrain) {
    const std::string name = newClientName("watch");
    watch.client = jack_client_open(name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
                                    nullptr);
    if (watch.client == nullptr) return false;
    jack_on_shutdown(watch.client, noteServerGone, &watch);
    if (countsDrain) {
        watch.drain = jack_port_register(watch.client, "drain", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (watch.drain == nullptr || jack_set_process_callback(watch.client, countDrained, &watch) != 0) {
            closeWatch(watch);
            return false;
        }
    }
    if (jack_activate(watch.client) != 0) {
        closeWatch(watch);
        return false;
    }
    return true;
}

bool jackConnected(JackWatch& watch, const std::string& ours, const std::string& other) {
    if (watch.serverGone.load()) return false;
    const jack_port_t* port = jack_port_by_name(watch.client, ours.c_str());
    return port != nullptr && jack_port_connected_to(port, other.c_str()) != 0;
}

// How long a connection the server has accepted may take to show: the server publishes the new graph
// at the start of a cycle, and a cycle of a slow server lasts tens of milliseconds.
constexpr int CONNECTION_SHOWS_POLLS = 500;   // 1 ms each

// A port we have just registered becomes findable by name only once the server has run a cycle.
bool jackPortShows(JackWatch& watch, const std::string& name) {
    for (int poll = 0; poll < CONNECTION_SHOWS_POLLS; ++poll) {
        if (jack_port_by_name(watch.client, name.c_str()) != nullptr) return true;
        if (watch.serverGone.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool jackConnect(JackWatch& watch, const std::string& source, const std::string& destination,
                 const std::string& ours, const std::string& other) {
    const int result = jack_connect(watch.client, source.c_str(), destination.c_str());
    if (result != 0 && result != EEXIST) return false;
    for (int poll = 0; poll < CONNECTION_SHOWS_POLLS; ++poll) {
        if (jackConnected(watch, ours, other)) return true;
        if (watch.serverGone.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

#endif

// ---------------------------------------------------------------------------------------------------
// Ports opened through the seam

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
#if defined(UPDATE_RTMIDI_JACK)
    JackWatch watch;
#endif
};

struct OutputPort {
    PortEntry peer;
    std::atomic<bool> failed{false};
    std::unique_ptr<RtMidiOut> rt;
    bool pending = false;
#if defined(UPDATE_RTMIDI_JACK)
    JackWatch watch;
    std::string ownName;
    std::uint32_t sentBytes = 0;
    std::uint32_t drainedSeen = 0;                      // the drain count when it last moved
    std::chrono::steady_clock::time_point drainMoved;   // when it last moved, or bytes began to wait
#endif
};

std::mutex listMutex;   // the program's thread only; never held while RtMidi's thread may wait on it
PortList inputList;
PortList outputList;

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

// A kind's list is taken anew when its counting starts (index 0) while none of its ports is open, so
// the indices stay those that were counted for as long as a port of that kind is in use.
bool nameFrom(PortList& list, bool inputs, int index, char (&name)[MIDI_NAME_SIZE]) {
    ensureQuiet();
    const bool inUse = inputs ? anyLive(liveInputs) : anyLive(liveOutputs);
    std::lock_guard<std::mutex> lock(listMutex);
    if (!list.taken || (index == 0 && !inUse)) {
        list.ports = listPorts(inputs);
        list.taken = true;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= list.ports.size()) return false;
    const std::string& whole = list.ports[static_cast<std::size_t>(index)].name;
    const std::size_t length = std::min<std::size_t>(whole.size(), MIDI_NAME_SIZE - 1);
    std::memcpy(name, whole.data(), length);
    name[length] = '\0';
    return true;
}

bool entryAt(PortList& list, bool inputs, int index, PortEntry& entry) {
    std::lock_guard<std::mutex> lock(listMutex);
    if (!list.taken) {
        list.ports = listPorts(inputs);
        list.taken = true;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= list.ports.size()) return false;
    entry = list.ports[static_cast<std::size_t>(index)];
    return true;
}

// The index of a port in RtMidi's list as it is now; the lists move as ports come and go.
bool currentIndex(RtMidi& rt, const std::string& name, unsigned& index) {
    const unsigned count = rt.getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (rt.getPortName(i) == name) {
            index = i;
            return true;
        }
    }
    return false;
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

// Closes the RtMidi port and our JACK client; both wait for their threads, so nothing runs after.
void releaseInput(InputPort& in) {
    in.rt.reset();
#if defined(UPDATE_RTMIDI_JACK)
    closeWatch(in.watch);
#endif
}

void releaseOutput(OutputPort& out) {
    out.rt.reset();
#if defined(UPDATE_RTMIDI_JACK)
    closeWatch(out.watch);
#endif
}

MidiResult connectInput(InputPort& in, const PortEntry& entry, const std::string& clientName) {
#if defined(UPDATE_RTMIDI_JACK)
    if (entry.api == RtMidi::UNIX_JACK) {
        // RtMidi's openPort(index) on JACK reports success even when the index names no port and
        // nothing got connected: our own port, then the one connection, made and checked by name.
        in.rt->openVirtualPort("in");
        if (in.failed.load()) return MIDI_ERROR;
        const std::string ours = clientName + ":in";
        if (!jackPortShows(in.watch, ours)) return MIDI_ERROR;
        if (jack_port_by_name(in.watch.client, entry.name.c_str()) == nullptr) return MIDI_BAD_DEVICE;
        return jackConnect(in.watch, entry.name, ours, ours, entry.name) ? MIDI_OK : MIDI_BAD_DEVICE;
    }
#endif
    (void)clientName;
    // ALSA's names carry the client and port numbers, so the name found again at the index after the
    // open tells that the port did not change in between.
    unsigned index = 0;
    if (!currentIndex(*in.rt, entry.name, index)) return MIDI_BAD_DEVICE;
    in.rt->openPort(index, "in");
    if (!in.rt->isPortOpen() || in.failed.load()) return MIDI_ERROR;
    return in.rt->getPortName(index) == entry.name ? MIDI_OK : MIDI_BAD_DEVICE;
}

MidiResult connectOutput(OutputPort& out, const std::string& clientName) {
#if defined(UPDATE_RTMIDI_JACK)
    if (out.peer.api == RtMidi::UNIX_JACK) {
        out.rt->openVirtualPort("out");
        if (out.failed.load()) return MIDI_ERROR;
        out.ownName = clientName + ":out";
        if (!jackPortShows(out.watch, out.ownName)) return MIDI_ERROR;
        if (jack_port_by_name(out.watch.client, out.peer.name.c_str()) == nullptr) return MIDI_BAD_DEVICE;
        const std::string drain = jack_port_name(out.watch.drain);
        if (!jackConnect(out.watch, out.ownName, drain, out.ownName, drain)) return MIDI_ERROR;
        return jackConnect(out.watch, out.ownName, out.peer.name, out.ownName, out.peer.name) ? MIDI_OK
                                                                                               : MIDI_BAD_DEVICE;
    }
#endif
    (void)clientName;
    unsigned index = 0;
    if (!currentIndex(*out.rt, out.peer.name, index)) return MIDI_BAD_DEVICE;
    out.rt->openPort(index, "out");
    if (!out.rt->isPortOpen() || out.failed.load()) return MIDI_ERROR;
    return out.rt->getPortName(index) == out.peer.name ? MIDI_OK : MIDI_BAD_DEVICE;
}

}  // namespace

bool platformInputName(int index, char (&name)[MIDI_NAME_SIZE]) { return nameFrom(inputList, true, index, name); }
bool platformOutputName(int index, char (&name)[MIDI_NAME_SIZE]) { return nameFrom(outputList, false, index, name); }

MidiResult platformOpenInput(int index, MidiInputCallback callback, MidiInHandle& handle) {
    ensureQuiet();
    PortEntry entry;
    if (!entryAt(inputList, true, index, entry)) return MIDI_BAD_DEVICE;
    if (callback == nullptr) return MIDI_ERROR;

    auto in = std::make_unique<InputPort>();
    in->callback = callback;
    in->handle = reinterpret_cast<MidiInHandle>(in.get());
#if defined(UPDATE_RTMIDI_JACK)
    if (entry.api == RtMidi::UNIX_JACK && !openWatch(in->watch, false)) return MIDI_ERROR;
#endif
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
    if (!entryAt(outputList, false, index, out->peer)) return MIDI_BAD_DEVICE;
#if defined(UPDATE_RTMIDI_JACK)
    if (out->peer.api == RtMidi::UNIX_JACK && !openWatch(out->watch, true)) return MIDI_ERROR;
#endif
    const std::string clientName = newClientName("out");
    out->rt = makeQuietly<RtMidiOut>(out->peer.api, clientName, out->failed);
    if (!out->rt) {
        releaseOutput(*out);
        return MIDI_ERROR;
    }
    const MidiResult result = connectOutput(*out, clientName);
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
#if defined(UPDATE_RTMIDI_JACK)
    if (out->peer.api == RtMidi::UNIX_JACK) {
        // Our port stays when the other end goes: the connection tells whether anyone is there.
        if (!jackConnected(out->watch, out->ownName, out->peer.name)) return MIDI_ERROR;
        const std::uint32_t drained = out->watch.drainedBytes.load(std::memory_order_acquire);
        if (out->sentBytes == drained) {
            out->drainedSeen = drained;
            out->drainMoved = std::chrono::steady_clock::now();
        }
        out->sentBytes += length;
    } else
#endif
    {
        unsigned index = 0;
        if (!currentIndex(*out->rt, out->peer.name, index)) return MIDI_ERROR;
    }
    out->failed.store(false);
    // RtMidi takes a copy: on ALSA it is written out at once, on JACK it waits for the next cycle.
    out->rt->sendMessage(message, length);
    if (out->failed.load()) return MIDI_ERROR;   // JACK's queue is full: RtMidi dropped the message
    out->pending = true;
    return MIDI_OK;
}

MidiResult platformSendDone(MidiOutHandle handle) {
    OutputPort* out = findLive(liveOutputs, handle);
    if (out == nullptr || !out->pending) return MIDI_OK;
#if defined(UPDATE_RTMIDI_JACK)
    if (out->peer.api == RtMidi::UNIX_JACK) {
        // RtMidi's JACK output only queues a message for its next process cycle, and drops without a
        // word what does not fit that cycle's buffer (32 KiB here). Our port is also connected to a
        // port of our own client, which counts the bytes it sees go out. Waiting for every message to
        // show would cost a whole period (5.3 ms at 256 frames) per 1 ms data message; instead a send
        // is done while no more than JACK_IN_FLIGHT_BYTES are queued and not yet out, far below what
        // a cycle carries, so nothing queued can be dropped. A server that stops taking messages lets
        // the queue grow past that, and the sender gives up after its bound: a failed send.
        const std::uint32_t drained = out->watch.drainedBytes.load(std::memory_order_acquire);
        if (out->sentBytes - drained > JACK_IN_FLIGHT_BYTES) return MIDI_STILL_PLAYING;
        // A server whose cycles have stopped (a client it waits for was killed) keeps our port and
        // its connection for seconds: bytes that wait with no progress mean the output is stuck.
        const auto now = std::chrono::steady_clock::now();
        if (drained != out->drainedSeen) {
            out->drainedSeen = drained;
            out->drainMoved = now;
        }
        if (out->sentBytes != drained && now - out->drainMoved > JACK_STALL) return MIDI_STILL_PLAYING;
    }
#endif
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

void platformSleep(unsigned milliseconds) { sleepPrecisely(milliseconds); }

void platformStartup() {
    ensureQuiet();
    std::lock_guard<std::mutex> lock(listMutex);
    inputList = PortList{};
    outputList = PortList{};
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
    std::lock_guard<std::mutex> lock(listMutex);
    inputList = PortList{};
    outputList = PortList{};
}
