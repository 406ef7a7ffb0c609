// The JACK link: connections made and checked by name, and the bytes of an output counted out.
#include "midi/rtmidi_jack_link.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace rtmidi_backend {

namespace {

// Bytes a JACK output may have queued and not yet seen go out before a send counts as unfinished.
constexpr std::uint32_t JACK_IN_FLIGHT_BYTES = 4096;
// Bytes waiting this long without any going out: the server has stopped (a period lasts 43 ms at most
// on the slowest usual settings, 2048 frames at 48 kHz).
constexpr auto JACK_STALL = std::chrono::milliseconds(250);

// How long a connection the server has accepted may take to show: the server publishes the new graph
// at the start of a cycle, and a cycle of a slow server lasts tens of milliseconds.
constexpr int CONNECTION_SHOWS_POLLS = 500;   // 1 ms each

}  // namespace

struct JackLink {
    jack_client_t* client = nullptr;
    jack_port_t* drain = nullptr;
    std::atomic<std::uint32_t> drainedBytes{0};
    std::atomic<bool> serverGone{false};

    // An output's accounting, on the program's thread only.
    std::string ours;
    std::string peer;
    std::uint32_t sentBytes = 0;
    std::uint32_t drainedSeen = 0;                      // the drain count when it last moved
    std::chrono::steady_clock::time_point drainMoved;   // when it last moved, or bytes began to wait
};

namespace {

int countDrained(jack_nframes_t frames, void* context) {
    auto* link = static_cast<JackLink*>(context);
    void* buffer = jack_port_get_buffer(link->drain, frames);
    const std::uint32_t events = jack_midi_get_event_count(buffer);
    std::uint32_t bytes = 0;
    for (std::uint32_t i = 0; i < events; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) == 0) bytes += static_cast<std::uint32_t>(event.size);
    }
    if (bytes != 0) link->drainedBytes.fetch_add(bytes, std::memory_order_release);
    return 0;
}

void noteServerGone(void* context) { static_cast<JackLink*>(context)->serverGone.store(true); }

bool jackConnected(JackLink& link, const std::string& ours, const std::string& other) {
    if (link.serverGone.load()) return false;
    const jack_port_t* port = jack_port_by_name(link.client, ours.c_str());
    return port != nullptr && jack_port_connected_to(port, other.c_str()) != 0;
}

// A port we have just registered becomes findable by name only once the server has run a cycle.
bool jackPortShows(JackLink& link, const std::string& name) {
    for (int poll = 0; poll < CONNECTION_SHOWS_POLLS; ++poll) {
        if (jack_port_by_name(link.client, name.c_str()) != nullptr) return true;
        if (link.serverGone.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool jackConnect(JackLink& link, const std::string& source, const std::string& destination,
                 const std::string& ours, const std::string& other) {
    const int result = jack_connect(link.client, source.c_str(), destination.c_str());
    if (result != 0 && result != EEXIST) return false;
    for (int poll = 0; poll < CONNECTION_SHOWS_POLLS; ++poll) {
        if (jackConnected(link, ours, other)) return true;
        if (link.serverGone.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace

bool jackServerRuns(const std::string& probeName) {
    jack_client_t* probe = jack_client_open(probeName.c_str(), JackNoStartServer, nullptr);
    if (probe == nullptr) return false;
    jack_client_close(probe);
    return true;
}

JackLink* openJackLink(const std::string& clientName, bool countsOutput) {
    auto* link = new JackLink;
    link->client = jack_client_open(clientName.c_str(),
                                    static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), nullptr);
    if (link->client == nullptr) {
        delete link;
        return nullptr;
    }
    jack_on_shutdown(link->client, noteServerGone, link);
    bool ready = true;
    if (countsOutput) {
        link->drain = jack_port_register(link->client, "drain", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        ready = link->drain != nullptr && jack_set_process_callback(link->client, countDrained, link) == 0;
    }
    if (!ready || jack_activate(link->client) != 0) closeJackLink(link);
    return link;
}

// Closing the client waits for its thread, so nothing of the link runs after.
void closeJackLink(JackLink*& link) {
    if (link == nullptr) return;
    jack_client_close(link->client);
    delete link;
    link = nullptr;
}

MidiResult connectJackInput(JackLink& link, const std::string& ours, const std::string& peer) {
    if (!jackPortShows(link, ours)) return MIDI_ERROR;
    if (jack_port_by_name(link.client, peer.c_str()) == nullptr) return MIDI_BAD_DEVICE;
    return jackConnect(link, peer, ours, ours, peer) ? MIDI_OK : MIDI_BAD_DEVICE;
}

// Our output is connected to the link's drain port as well as to the peer, so the link sees its bytes go.
MidiResult connectJackOutput(JackLink& link, const std::string& ours, const std::string& peer) {
    link.ours = ours;
    link.peer = peer;
    if (!jackPortShows(link, ours)) return MIDI_ERROR;
    if (jack_port_by_name(link.client, peer.c_str()) == nullptr) return MIDI_BAD_DEVICE;
    const std::string drain = jack_port_name(link.drain);
    if (!jackConnect(link, ours, drain, ours, drain)) return MIDI_ERROR;
    return jackConnect(link, ours, peer, ours, peer) ? MIDI_OK : MIDI_BAD_DEVICE;
}

bool jackSendBegins(JackLink& link, std::uint16_t length) {
    // Our port stays when the other end goes: the connection tells whether anyone is there.
    if (!jackConnected(link, link.ours, link.peer)) return false;
    const std::uint32_t drained = link.drainedBytes.load(std::memory_order_acquire);
    if (link.sentBytes == drained) {
        link.drainedSeen = drained;
        link.drainMoved = std::chrono::steady_clock::now();
    }
    link.sentBytes += length;
    return true;
}

bool jackSendDone(JackLink& link) {
    // RtMidi's JACK output only queues a message for its next process cycle, and drops without a word
    // what does not fit that cycle's buffer (32 KiB here). Waiting for every message to show would cost
    // a whole period (5.3 ms at 256 frames) per 1 ms data message; instead a send is done while no more
    // than JACK_IN_FLIGHT_BYTES are queued and not yet out, far below what a cycle carries, so nothing
    // queued can be dropped. A server that stops taking messages lets the queue grow past that, and the
    // sender gives up after its bound: a failed send.
    const std::uint32_t drained = link.drainedBytes.load(std::memory_order_acquire);
    if (link.sentBytes - drained > JACK_IN_FLIGHT_BYTES) return false;
    // A server whose cycles have stopped (a client it waits for was killed) keeps our port and its
    // connection for seconds: bytes that wait with no progress mean the output is stuck.
    const auto now = std::chrono::steady_clock::now();
    if (drained != link.drainedSeen) {
        link.drainedSeen = drained;
        link.drainMoved = now;
    }
    return !(link.sentBytes != drained && now - link.drainMoved > JACK_STALL);
}

}  // namespace rtmidi_backend
