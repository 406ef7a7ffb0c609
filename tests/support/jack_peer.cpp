#include "support/jack_peer.h"

#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "midi/port_pair.h"

// libjack's lock-free queues and the graph it shares between clients are synchronised by means that
// ThreadSanitizer cannot see from outside the uninstrumented library.
extern "C" const char* __tsan_default_suppressions() { return "race:libjack.so\n"; }

namespace {

void silentJack(const char*) {}

}  // namespace

bool JackPeer::open() {
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
    name_ = "rtpeer" + std::to_string(getpid());
    client_ = jack_client_open(name_.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
                               nullptr);
    if (client_ == nullptr) return false;
    jack_set_process_callback(client_, process, this);
    return jack_activate(client_) == 0;
}

void JackPeer::close() {
    if (client_ != nullptr) jack_client_close(client_);
    client_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.clear();
}

jack_port_t* JackPeer::add(const std::string& port, bool output) {
    jack_port_t* registered = jack_port_register(client_, port.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                                 output ? JackPortIsOutput : JackPortIsInput, 0);
    if (registered == nullptr) return nullptr;
    auto slot = std::make_unique<Slot>();
    slot->port = registered;
    slot->output = output;
    std::lock_guard<std::mutex> lock(mutex_);
    slots_.push_back(std::move(slot));
    return registered;
}

void JackPeer::remove(jack_port_t* port) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.erase(std::remove_if(slots_.begin(), slots_.end(),
                                    [port](const std::unique_ptr<Slot>& slot) { return slot->port == port; }),
                     slots_.end());
    }
    // Outside the lock: the server waits for the cycle, which may be waiting for the lock.
    jack_port_unregister(client_, port);
}

void JackPeer::send(jack_port_t* port, const Bytes& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Slot* slot = find(port)) slot->outgoing.push_back(message);
}

void JackPeer::sendTogether(jack_port_t* port, const std::vector<Bytes>& messages) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Slot* slot = find(port)) slot->outgoing.insert(slot->outgoing.end(), messages.begin(), messages.end());
}

void JackPeer::repeat(jack_port_t* port, const std::vector<Bytes>& messages) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Slot* slot = find(port)) slot->repeated = messages;
}

std::vector<Bytes> JackPeer::received(jack_port_t* port) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot* slot = find(port);
    return slot != nullptr ? slot->incoming : std::vector<Bytes>{};
}

bool JackPeer::waitReceived(jack_port_t* port, std::size_t count) {
    for (int poll = 0; poll < WAIT_POLLS; ++poll) {
        if (received(port).size() >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool JackPeer::waitCycles(std::uint64_t count) {
    const std::uint64_t until = cycles_.load() + count + 1;
    for (int poll = 0; poll < WAIT_POLLS; ++poll) {
        if (cycles_.load() >= until) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::vector<std::string> JackPeer::connections(jack_port_t* port) const {
    std::vector<std::string> names;
    if (const char** all = jack_port_get_all_connections(client_, port)) {
        for (const char** name = all; *name != nullptr; ++name) names.emplace_back(*name);
        jack_free(all);
    }
    return names;
}

JackPeer::Slot* JackPeer::find(jack_port_t* port) {
    for (auto& slot : slots_) {
        if (slot->port == port) return slot.get();
    }
    return nullptr;
}

int JackPeer::process(jack_nframes_t frames, void* context) {
    auto* peer = static_cast<JackPeer*>(context);
    std::lock_guard<std::mutex> lock(peer->mutex_);
    for (auto& slot : peer->slots_) {
        void* buffer = jack_port_get_buffer(slot->port, frames);
        if (slot->output) {
            jack_midi_clear_buffer(buffer);
            while (!slot->outgoing.empty()) {
                const Bytes& message = slot->outgoing.front();
                jack_midi_event_write(buffer, 0, message.data(), message.size());
                slot->outgoing.pop_front();
            }
            for (const Bytes& message : slot->repeated) {
                jack_midi_event_write(buffer, 0, message.data(), message.size());
            }
            continue;
        }
        const std::uint32_t events = jack_midi_get_event_count(buffer);
        for (std::uint32_t i = 0; i < events; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) == 0) {
                slot->incoming.emplace_back(event.buffer, event.buffer + event.size);
            }
        }
    }
    peer->cycles_.fetch_add(1);
    return 0;
}

std::string cut(const std::string& name) { return name.substr(0, MIDI_NAME_SIZE - 1); }

std::vector<std::string> listed(bool (*portName)(int, char (&)[MIDI_NAME_SIZE])) {
    std::vector<std::string> names;
    char name[MIDI_NAME_SIZE];
    while (names.size() < 256 && portName(static_cast<int>(names.size()), name)) names.emplace_back(name);
    return names;
}

int indexIn(const std::vector<std::string>& names, const std::string& wanted) {
    const auto found = std::find(names.begin(), names.end(), cut(wanted));
    return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

bool waitReply(std::uint8_t& code) {
    for (int poll = 0; poll < WAIT_POLLS; ++poll) {
        if (takeReply(code)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool waitMessage(Bytes& message) {
    ReceivedMessage taken;
    for (int poll = 0; poll < WAIT_POLLS; ++poll) {
        if (takeMessage(taken)) {
            message.assign(taken.bytes.begin(), taken.bytes.begin() + taken.length);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

Bytes sysex(std::initializer_list<std::uint8_t> payload) {
    Bytes message(payload.size() + 2);
    message.front() = 0xF0;
    std::copy(payload.begin(), payload.end(), message.begin() + 1);
    message.back() = 0xF7;
    return message;
}

void RtMidiJack::SetUp() {
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    if (server == nullptr || *server == '\0') {
        GTEST_SKIP() << "JACK_DEFAULT_SERVER is not set: no private JACK server to test against";
    }
    // The test must never start a server of its own, nor use someone's default one.
    setenv("JACK_NO_START_SERVER", "1", 1);
    if (!peer.open()) GTEST_SKIP() << "JACK server '" << server << "' does not answer";
    toProgram = peer.add("reply", true);
    fromProgram = peer.add("listen", false);
    ASSERT_NE(toProgram, nullptr);
    ASSERT_NE(fromProgram, nullptr);
    platformStartup();
    clearReplyMailbox();
}

void RtMidiJack::TearDown() {
    closeMidiIn();
    closeMidiOut();
    platformShutdown();
    peer.close();
}

void RtMidiJack::openPeerPair() {
    const int in = indexIn(listed(platformInputName), JackPeer::fullName(toProgram));
    const int out = indexIn(listed(platformOutputName), JackPeer::fullName(fromProgram));
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    ASSERT_EQ(openMidiIn(in), MIDI_OK);
    ASSERT_EQ(openMidiOut(out), MIDI_OK);
}
