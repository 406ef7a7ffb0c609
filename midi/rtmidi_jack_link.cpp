// The JACK link: connections made and checked by name, and an output's port with its bytes counted out.
#include "midi/rtmidi_jack_link.h"

#include <jack/jack.h>

#include "jackmidi/jack_midi_output.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace rtmidi_backend {

namespace {

// Bytes a JACK output may have queued and not yet seen go out before a send counts as unfinished.
constexpr std::uint64_t JACK_IN_FLIGHT_BYTES = 4096;
// Bytes waiting this long without any going out: the server has stopped (a period lasts 43 ms at most
// on the slowest usual settings, 2048 frames at 48 kHz).
constexpr auto JACK_STALL = std::chrono::milliseconds(250);

// How long a connection the server has accepted may take to show: the server publishes the new graph
// at the start of a cycle, and a cycle of a slow server lasts tens of milliseconds.
constexpr int CONNECTION_SHOWS_POLLS = 500;   // 1 ms each

}  // namespace

struct JackLink {
    jack_client_t* client = nullptr;   // an output's is its host's
    std::atomic<bool> serverGone{false};
    // An output's link only: the client that holds its port, and its place among the host's outputs.
    JackLink* host = nullptr;
    std::size_t slot = 0;
    JackMidiOutput output;   // its queue is null on any other link

    // An output's accounting, on the program's thread only.
    std::string ours;
    std::string peer;
    std::uint64_t sentBytes = 0;
    std::uint64_t outSeen = 0;                        // the count of bytes out when it last moved
    std::chrono::steady_clock::time_point outMoved;   // when it last moved, or bytes began to wait
};

namespace {

void noteServerGone(void* context) { static_cast<JackLink*>(context)->serverGone.store(true); }

// An output hears of the server's going through the client that holds its port.
bool serverGone(const JackLink& link) { return (link.host != nullptr ? link.host : &link)->serverGone.load(); }

bool jackConnected(JackLink& link, const std::string& ours, const std::string& other) {
    if (serverGone(link)) return false;
    const jack_port_t* port = jack_port_by_name(link.client, ours.c_str());
    return port != nullptr && jack_port_connected_to(port, other.c_str()) != 0;
}

// A port we have just registered becomes findable by name only once the server has run a cycle.
bool jackPortShows(JackLink& link, const std::string& name) {
    for (int poll = 0; poll < CONNECTION_SHOWS_POLLS; ++poll) {
        if (jack_port_by_name(link.client, name.c_str()) != nullptr) return true;
        if (serverGone(link)) return false;
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
        if (serverGone(link)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace

namespace {

// Every JACK output of the program is a port of one client of ours, the host, whose process callback
// writes them all out: a client costs the server 10 to 20 ms to open and as much to close, and the
// search opens up to ten outputs. The program's thread only, but for the callback's reading of the
// outputs.
constexpr std::size_t HOSTED_OUTPUTS = 16;
JackLink* outputHost = nullptr;
int outputHostUsers = 0;
unsigned hostedPortSerial = 0;
std::array<std::atomic<JackMidiOutput*>, HOSTED_OUTPUTS> hostedOutputs{};
std::atomic<bool> hostWriting{false};   // while the callback may hold an output it took from the list

int writeHostedOutputs(jack_nframes_t frames, void*) {
    hostWriting.store(true);
    for (std::atomic<JackMidiOutput*>& slot : hostedOutputs)
        if (JackMidiOutput* output = slot.load()) jackOutputWriteCycle(*output, frames);
    hostWriting.store(false);
    return 0;
}

// Null when no server takes the client; processCallback, when given, runs from its activation.
JackLink* openClientLink(const std::string& clientName, JackProcessCallback processCallback) {
    auto* link = new JackLink;
    link->client = jack_client_open(clientName.c_str(),
                                    static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), nullptr);
    if (link->client == nullptr) {
        delete link;
        return nullptr;
    }
    jack_on_shutdown(link->client, noteServerGone, link);
    const bool ready = processCallback == nullptr || jack_set_process_callback(link->client, processCallback, nullptr) == 0;
    if (!ready || jack_activate(link->client) != 0) closeJackLink(link);
    return link;
}

// Once the output is off the host's list and no cycle holds it, its port and queue go; the host goes
// with its last output, and closing it waits for its thread.
void closeHostedOutput(JackLink& link) {
    hostedOutputs[link.slot].store(nullptr);
    while (hostWriting.load()) std::this_thread::yield();
    if (link.output.port != nullptr) jack_port_unregister(link.client, link.output.port);
    jackOutputFree(link.output);
    if (--outputHostUsers == 0) closeJackLink(outputHost);
}

}  // namespace

JackLink* openJackLink(const std::string& clientName) { return openClientLink(clientName, nullptr); }

JackLink* openJackOutput(const std::string& hostName) {
    // Outputs left on a host whose server went away keep it until they close; no new one joins them.
    if (outputHost != nullptr && outputHostUsers == 0 && outputHost->serverGone.load()) closeJackLink(outputHost);
    if (outputHost == nullptr) outputHost = openClientLink(hostName, writeHostedOutputs);
    if (outputHost == nullptr) return nullptr;
    if (outputHost->serverGone.load()) {
        if (outputHostUsers == 0) closeJackLink(outputHost);
        return nullptr;
    }
    std::size_t slot = 0;
    while (slot < HOSTED_OUTPUTS && hostedOutputs[slot].load() != nullptr) ++slot;
    if (slot == HOSTED_OUTPUTS) return nullptr;

    auto* link = new JackLink;
    link->host = outputHost;
    link->client = outputHost->client;
    link->slot = slot;
    ++outputHostUsers;
    const std::string portName = "out" + std::to_string(++hostedPortSerial);
    if (!jackOutputRegister(link->output, link->client, portName.c_str())) {
        closeJackLink(link);
        return nullptr;
    }
    link->ours = jack_port_name(link->output.port);
    hostedOutputs[slot].store(&link->output);
    return link;
}

void closeJackLink(JackLink*& link) {
    if (link == nullptr) return;
    if (link->host != nullptr) {
        closeHostedOutput(*link);
    } else {
        jack_client_close(link->client);
    }
    delete link;
    link = nullptr;
}

namespace {

// Opening a client costs the server 10 to 20 ms and closing one as much, and the search lists both kinds
// of port and then opens up to ten inputs: one watcher serves them all.
JackLink* watcher = nullptr;
int watcherUsers = 0;

// The watcher, opened if there is none; a watcher whose server went away connects nothing, and a server
// that runs now may take a new one. Its users need it only while they list or connect, so the old one
// may go from under them.
JackLink* currentWatcher(const std::string& clientName) {
    if (watcher != nullptr && watcher->serverGone.load()) closeJackLink(watcher);
    if (watcher == nullptr) watcher = openJackLink(clientName);
    return watcher;
}

}  // namespace

JackLink* shareJackWatcher(const std::string& clientName) {
    JackLink* link = currentWatcher(clientName);
    if (link != nullptr) ++watcherUsers;
    return link;
}

void leaveJackWatcher() {
    if (watcherUsers > 0 && --watcherUsers == 0) closeJackLink(watcher);
}

void closeJackWatcher() {
    watcherUsers = 0;
    closeJackLink(watcher);
}

// The watcher stays after a list: the search counts the inputs, then the outputs, then opens the inputs.
bool jackPortNames(bool inputs, const std::string& watcherName, std::vector<std::string>& names) {
    JackLink* link = currentWatcher(watcherName);
    if (link == nullptr) return false;
    const char** ports =
        jack_get_ports(link->client, nullptr, JACK_DEFAULT_MIDI_TYPE, inputs ? JackPortIsOutput : JackPortIsInput);
    for (const char** port = ports; port != nullptr && *port != nullptr; ++port) names.emplace_back(*port);
    jack_free(static_cast<void*>(ports));
    return true;
}

MidiResult connectJackInput(JackLink& link, const std::string& ours, const std::string& peer) {
    if (!jackPortShows(link, ours)) return MIDI_ERROR;
    if (jack_port_by_name(link.client, peer.c_str()) == nullptr) return MIDI_BAD_DEVICE;
    return jackConnect(link, peer, ours, ours, peer) ? MIDI_OK : MIDI_BAD_DEVICE;
}

MidiResult connectJackOutput(JackLink& link, const std::string& peer) {
    link.peer = peer;
    if (link.output.queue == nullptr || !jackPortShows(link, link.ours)) return MIDI_ERROR;
    if (jack_port_by_name(link.client, peer.c_str()) == nullptr) return MIDI_BAD_DEVICE;
    return jackConnect(link, link.ours, peer, link.ours, peer) ? MIDI_OK : MIDI_BAD_DEVICE;
}

bool jackSend(JackLink& link, const std::uint8_t* message, std::uint16_t length) {
    // Our port stays when the other end goes: the connection tells whether anyone is there.
    if (link.output.queue == nullptr || !jackConnected(link, link.ours, link.peer)) return false;
    const std::uint64_t out = link.output.bytesOut.load(std::memory_order_acquire);
    if (!jackOutputQueue(link.output, message, length)) return false;
    if (link.sentBytes == out) {   // nothing was waiting: the wait for this message starts now
        link.outSeen = out;
        link.outMoved = std::chrono::steady_clock::now();
    }
    link.sentBytes += length;
    return true;
}

bool jackSendDone(JackLink& link) {
    // A JACK output only queues a message for the next process cycle. Waiting for every message to go
    // out would cost a whole period (5.3 ms at 256 frames) per 1 ms data message; instead a send is
    // done while no more than JACK_IN_FLIGHT_BYTES are queued and not yet out. A server that stops
    // taking messages lets the queue grow past that, and the sender gives up after its bound: a failed
    // send.
    const std::uint64_t out = link.output.bytesOut.load(std::memory_order_acquire);
    if (link.sentBytes - out > JACK_IN_FLIGHT_BYTES) return false;
    // A server whose cycles have stopped (a client it waits for was killed) keeps our port and its
    // connection for seconds: bytes that wait with no progress mean the output is stuck.
    const auto now = std::chrono::steady_clock::now();
    if (out != link.outSeen) {
        link.outSeen = out;
        link.outMoved = now;
    }
    return !(link.sentBytes != out && now - link.outMoved > JACK_STALL);
}

}  // namespace rtmidi_backend
