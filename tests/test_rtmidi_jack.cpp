// Pins the RtMidi backend on real JACK MIDI ports: counting, naming and opening by index, the handshake
// out and the reply back byte for byte, long, short and unbuffered input, closing, and vanished ports.
// Needs the JACK server named by JACK_DEFAULT_SERVER (scripts/jack-server.sh); skipped without one.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_platform.h"
#include "midi/midi_ports.h"
#include "midi/sysex.h"
#include "protocol/wire.h"

// libjack's lock-free queues and the graph it shares between clients are synchronised by means that
// ThreadSanitizer cannot see from outside the uninstrumented library.
extern "C" const char* __tsan_default_suppressions() { return "race:libjack.so\n"; }

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int WAIT_POLLS = 2000;   // 1 ms each: no test waits longer than this for one event

void silentJack(const char*) {}

// The other end of the wire: a JACK client of the test's own, with MIDI ports that the backend must
// find, open and talk to. What it receives is recorded; what it is given to send goes out next cycle.
class JackPeer {
public:
    ~JackPeer() { close(); }

    bool open() {
        jack_set_error_function(silentJack);
        jack_set_info_function(silentJack);
        name_ = "rtpeer" + std::to_string(getpid());
        client_ = jack_client_open(name_.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackUseExactName),
                                   nullptr);
        if (client_ == nullptr) return false;
        jack_set_process_callback(client_, process, this);
        return jack_activate(client_) == 0;
    }

    void close() {
        if (client_ != nullptr) jack_client_close(client_);
        client_ = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.clear();
    }

    jack_port_t* add(const std::string& port, bool output) {
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

    void remove(jack_port_t* port) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slots_.erase(std::remove_if(slots_.begin(), slots_.end(),
                                        [port](const std::unique_ptr<Slot>& slot) { return slot->port == port; }),
                         slots_.end());
        }
        // Outside the lock: the server waits for the cycle, which may be waiting for the lock.
        jack_port_unregister(client_, port);
    }

    void send(jack_port_t* port, const Bytes& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (Slot* slot = find(port)) slot->outgoing.push_back(message);
    }

    // The messages go out again in every cycle until told to stop (none).
    void repeat(jack_port_t* port, const std::vector<Bytes>& messages) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (Slot* slot = find(port)) slot->repeated = messages;
    }

    std::vector<Bytes> received(jack_port_t* port) {
        std::lock_guard<std::mutex> lock(mutex_);
        Slot* slot = find(port);
        return slot != nullptr ? slot->incoming : std::vector<Bytes>{};
    }

    bool waitReceived(jack_port_t* port, std::size_t count) {
        for (int poll = 0; poll < WAIT_POLLS; ++poll) {
            if (received(port).size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // Whatever was written in the cycle under way has been read by every port downstream once two
    // more cycles have started.
    bool waitCycles(std::uint64_t count) {
        const std::uint64_t until = cycles_.load() + count + 1;
        for (int poll = 0; poll < WAIT_POLLS; ++poll) {
            if (cycles_.load() >= until) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    std::vector<std::string> connections(jack_port_t* port) const {
        std::vector<std::string> names;
        if (const char** all = jack_port_get_all_connections(client_, port)) {
            for (const char** name = all; *name != nullptr; ++name) names.emplace_back(*name);
            jack_free(all);
        }
        return names;
    }

    static std::string fullName(jack_port_t* port) { return jack_port_name(port); }

private:
    struct Slot {
        jack_port_t* port = nullptr;
        bool output = false;
        std::deque<Bytes> outgoing;
        std::vector<Bytes> repeated;
        std::vector<Bytes> incoming;
    };

    Slot* find(jack_port_t* port) {
        for (auto& slot : slots_) {
            if (slot->port == port) return slot.get();
        }
        return nullptr;
    }

    static int process(jack_nframes_t frames, void* context) {
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

    jack_client_t* client_ = nullptr;
    std::string name_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::atomic<std::uint64_t> cycles_{0};
};

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

bool waitReplyLength(std::int16_t length) {
    for (int poll = 0; poll < WAIT_POLLS; ++poll) {
        if (replyLength() == length) return true;
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

class RtMidiJack : public ::testing::Test {
protected:
    void SetUp() override {
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

    void TearDown() override {
        closeMidiIn();
        closeMidiOut();
        platformShutdown();
        peer.close();
    }

    // Counts both kinds, as discovery does, and opens the peer's pair.
    void openPeerPair() {
        const int in = indexIn(listed(platformInputName), JackPeer::fullName(toProgram));
        const int out = indexIn(listed(platformOutputName), JackPeer::fullName(fromProgram));
        ASSERT_GE(in, 0);
        ASSERT_GE(out, 0);
        ASSERT_EQ(openMidiIn(in), MIDI_OK);
        ASSERT_EQ(openMidiOut(out), MIDI_OK);
    }

    JackPeer peer;
    jack_port_t* toProgram = nullptr;     // the peer's output: one of the program's inputs
    jack_port_t* fromProgram = nullptr;   // the peer's input: one of the program's outputs
};

// ---------------------------------------------------------------------------------------------------
// Ports: counted, named, opened by the index they were counted under

TEST_F(RtMidiJack, PeerPortsAreCountedAndNamedUnderBothKinds) {
    const std::vector<std::string> inputs = listed(platformInputName);
    const std::vector<std::string> outputs = listed(platformOutputName);
    EXPECT_GE(indexIn(inputs, JackPeer::fullName(toProgram)), 0);
    EXPECT_GE(indexIn(outputs, JackPeer::fullName(fromProgram)), 0);
    // Each kind lists the ports that the program can use that way, and no others.
    EXPECT_LT(indexIn(inputs, JackPeer::fullName(fromProgram)), 0);
    EXPECT_LT(indexIn(outputs, JackPeer::fullName(toProgram)), 0);

    openPeerPair();
    EXPECT_EQ(std::string(midiPorts.inName), JackPeer::fullName(toProgram));
    EXPECT_EQ(std::string(midiPorts.outName), JackPeer::fullName(fromProgram));
}

TEST_F(RtMidiJack, OwnPortsAreNeverListed) {
    openPeerPair();
    const std::vector<std::string> ownOutput = peer.connections(fromProgram);
    const std::vector<std::string> ownInput = peer.connections(toProgram);
    ASSERT_EQ(ownOutput.size(), 1u);
    ASSERT_EQ(ownInput.size(), 1u);

    // Each kind is counted afresh while our port of the other kind exists and is connected.
    closeMidiIn();
    const std::vector<std::string> inputs = listed(platformInputName);
    EXPECT_GE(indexIn(inputs, JackPeer::fullName(toProgram)), 0);
    EXPECT_LT(indexIn(inputs, ownOutput[0]), 0) << ownOutput[0] << " is the program's own output";

    ASSERT_EQ(openMidiIn(indexIn(inputs, JackPeer::fullName(toProgram))), MIDI_OK);
    closeMidiOut();
    const std::vector<std::string> outputs = listed(platformOutputName);
    const std::vector<std::string> ownInputNow = peer.connections(toProgram);
    ASSERT_EQ(ownInputNow.size(), 1u);
    EXPECT_GE(indexIn(outputs, JackPeer::fullName(fromProgram)), 0);
    EXPECT_LT(indexIn(outputs, ownInputNow[0]), 0) << ownInputNow[0] << " is the program's own input";
}

TEST_F(RtMidiJack, LongNamesAreCutYetEachIndexOpensItsOwnPort) {
    // Two ports alike in their first 31 characters: the cut names match, the ports must not be confused.
    const std::string stem = "a-port-name-far-longer-than-thirty-one-characters-";
    jack_port_t* first = peer.add(stem + "1", true);
    jack_port_t* second = peer.add(stem + "2", true);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    const std::vector<std::string> inputs = listed(platformInputName);
    for (const std::string& name : inputs) EXPECT_LE(name.size(), static_cast<std::size_t>(MIDI_NAME_SIZE - 1));
    std::vector<int> alike;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i] == cut(JackPeer::fullName(first))) alike.push_back(static_cast<int>(i));
    }
    ASSERT_EQ(alike.size(), 2u);
    EXPECT_EQ(inputs[static_cast<std::size_t>(alike[0])].size(), static_cast<std::size_t>(MIDI_NAME_SIZE - 1));

    ASSERT_EQ(openMidiIn(alike[0]), MIDI_OK);
    const bool firstTaken = !peer.connections(first).empty();
    const bool secondTaken = !peer.connections(second).empty();
    EXPECT_NE(firstTaken, secondTaken) << "one index, one port";
    closeMidiIn();

    ASSERT_EQ(openMidiIn(alike[1]), MIDI_OK);
    EXPECT_EQ(!peer.connections(first).empty(), !firstTaken) << "the other index opens the other port";
    EXPECT_EQ(!peer.connections(second).empty(), !secondTaken);
}

TEST_F(RtMidiJack, AnIndexKeepsThePortItWasCountedFor) {
    jack_port_t* later = peer.add("later", true);
    ASSERT_NE(later, nullptr);
    const std::vector<std::string> inputs = listed(platformInputName);
    const int early = indexIn(inputs, JackPeer::fullName(toProgram));
    const int index = indexIn(inputs, JackPeer::fullName(later));
    ASSERT_GE(early, 0);
    ASSERT_GT(index, early);

    // A port listed before it goes away: every index after it would shift if looked up afresh.
    peer.remove(toProgram);
    toProgram = nullptr;
    ASSERT_EQ(openMidiIn(index), MIDI_OK);
    EXPECT_EQ(peer.connections(later).size(), 1u);
    EXPECT_EQ(std::string(midiPorts.inName), JackPeer::fullName(later));
}

// ---------------------------------------------------------------------------------------------------
// The wire both ways

TEST_F(RtMidiJack, HandshakeGoesOutByteForByteAndTheReplyComesBack) {
    openPeerPair();
    ASSERT_EQ(sendSysEx(identToken.data(), static_cast<std::uint16_t>(identToken.size())), MIDI_OK);
    ASSERT_TRUE(peer.waitReceived(fromProgram, 1));
    const Bytes handshake{0xF0, 'H', 'q', '7', ':', 'b', 'X', 'w', 0xF7};
    EXPECT_EQ(peer.received(fromProgram).front(), handshake);

    peer.send(toProgram, sysex({REPLY_READY}));
    std::uint8_t code = 0;
    ASSERT_TRUE(waitReply(code));
    EXPECT_EQ(code, REPLY_READY);
    EXPECT_EQ(peer.received(fromProgram).size(), 1u) << "one send, one message on the wire";
}

TEST_F(RtMidiJack, BackToBackSendsAllArriveInOrder) {
    // Far more than one JACK cycle carries (a port's buffer is 32 KiB): RtMidi empties its queue into
    // the next cycle and drops without a word what does not fit, so a send reported done before its
    // cycle has taken it lets the following ones be lost. Sent as sendSysEx sends, but through the seam,
    // so that big messages keep the test short.
    openPeerPair();
    constexpr int MESSAGES = 100;
    constexpr std::size_t SIZE = 1000;
    Bytes message(SIZE, 0x55);
    message.front() = 0xF0;
    message.back() = 0xF7;
    for (int i = 0; i < MESSAGES; ++i) {
        message[1] = static_cast<std::uint8_t>(i);
        ASSERT_EQ(platformBeginSend(midiPorts.out, message.data(), static_cast<std::uint16_t>(SIZE)), MIDI_OK);
        bool done = false;
        for (int poll = 0; poll < SEND_WAIT_POLLS && !done; ++poll) {
            done = platformSendDone(midiPorts.out) != MIDI_STILL_PLAYING;
            if (!done) platformSleep(1);
        }
        ASSERT_TRUE(done) << "message " << i << " never left";
    }
    peer.waitReceived(fromProgram, MESSAGES);
    const std::vector<Bytes> got = peer.received(fromProgram);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(MESSAGES)) << "messages lost on the way";
    for (int i = 0; i < MESSAGES; ++i) {
        const Bytes& arrived = got[static_cast<std::size_t>(i)];
        ASSERT_EQ(arrived.size(), SIZE);
        EXPECT_EQ(arrived[1], i) << "messages out of order";
    }

    // And through the transport, with the largest message it sends.
    std::uint8_t payload[SYSEX_PAYLOAD_LIMIT];
    std::memset(payload, 0x2A, sizeof payload);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(sendSysEx(payload, sizeof payload), MIDI_OK);
    ASSERT_TRUE(peer.waitReceived(fromProgram, MESSAGES + 20));
    EXPECT_EQ(peer.received(fromProgram).back().size(), sizeof payload + 2);
}

TEST_F(RtMidiJack, ALongMessageFillsTheBufferAndAShortOneLeavesTheMailboxAlone) {
    openPeerPair();
    Bytes longMessage{0xF0};
    for (int i = 0; i < 300; ++i) longMessage.push_back(static_cast<std::uint8_t>(i & 0x7F));
    longMessage.push_back(0xF7);
    peer.send(toProgram, longMessage);
    ASSERT_TRUE(waitReplyLength(RX_BUFFER_SIZE));

    const Bytes fiveBytes = sysex({REPLY_RESET_NEEDED, 0x01, 0x02});
    peer.send(toProgram, fiveBytes);
    ASSERT_TRUE(waitReplyLength(5));

    // A note-on is no reply: the mailbox keeps the last system-exclusive message, and the buffer stays
    // queued for the next one.
    peer.send(toProgram, {0x90, 0x3C, 0x40});
    ASSERT_TRUE(peer.waitCycles(3));
    EXPECT_EQ(replyLength(), 5);

    clearReplyMailbox();
    peer.send(toProgram, sysex({REPLY_READY}));
    std::uint8_t code = 0;
    ASSERT_TRUE(waitReply(code));
    EXPECT_EQ(code, REPLY_READY);
}

TEST_F(RtMidiJack, ALoneF0DoesNotSpoilTheReplyThatFollowsIt) {
    openPeerPair();
    // The library joins an unfinished message with the next one; the reply must still read as itself.
    peer.send(toProgram, {0xF0});
    peer.send(toProgram, sysex({REPLY_READY}));
    std::uint8_t code = 0;
    ASSERT_TRUE(waitReply(code));
    EXPECT_EQ(code, REPLY_READY);
}

// ---------------------------------------------------------------------------------------------------
// The input seam itself: buffers, short messages, closing

struct Recorder {
    static std::mutex mutex;
    static std::vector<Bytes> longMessages;   // what each LONG_DATA callback carried
    static std::atomic<int> others;
    static std::atomic<int> calls;
    static std::atomic<bool> requeue;

    static void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        longMessages.clear();
        others = 0;
        calls = 0;
        requeue = false;
    }

    static void callback(MidiInHandle handle, MidiInputKind kind, MidiBuffer* buffer) {
        calls.fetch_add(1);
        if (kind != MIDI_INPUT_LONG_DATA) {
            if (buffer == nullptr) others.fetch_add(1);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            longMessages.emplace_back(buffer->data, buffer->data + buffer->recorded);
        }
        if (requeue) {
            platformReleaseInputBuffer(handle, *buffer);
            platformQueueInputBuffer(handle, *buffer);
        }
    }

    static std::vector<Bytes> taken() {
        std::lock_guard<std::mutex> lock(mutex);
        return longMessages;
    }

    static bool waitLong(std::size_t count) {
        for (int poll = 0; poll < WAIT_POLLS; ++poll) {
            if (taken().size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
};
std::mutex Recorder::mutex;
std::vector<Bytes> Recorder::longMessages;
std::atomic<int> Recorder::others{0};
std::atomic<int> Recorder::calls{0};
std::atomic<bool> Recorder::requeue{false};

TEST_F(RtMidiJack, BuffersTakeOneMessageEachAndShortMessagesCarryNone) {
    Recorder::reset();
    const int index = indexIn(listed(platformInputName), JackPeer::fullName(toProgram));
    ASSERT_GE(index, 0);
    MidiInHandle handle = 0;
    ASSERT_EQ(platformOpenInput(index, Recorder::callback, handle), MIDI_OK);
    std::array<std::uint8_t, 16> storage{};
    MidiBuffer buffer{storage.data(), static_cast<std::uint16_t>(storage.size()), 0};
    ASSERT_EQ(platformQueueInputBuffer(handle, buffer), MIDI_OK);
    ASSERT_EQ(platformStartInput(handle), MIDI_OK);

    // A message longer than the buffer fills it: what fits is delivered, the rest is gone.
    Bytes longMessage{0xF0};
    for (std::uint8_t i = 0; i < 40; ++i) longMessage.push_back(i);
    longMessage.push_back(0xF7);
    peer.send(toProgram, {0x90, 0x3C, 0x40});
    peer.send(toProgram, longMessage);
    ASSERT_TRUE(Recorder::waitLong(1));
    EXPECT_EQ(Recorder::others.load(), 1);
    EXPECT_EQ(Recorder::taken()[0], Bytes(longMessage.begin(), longMessage.begin() + storage.size()));
    EXPECT_EQ(platformReleaseInputBuffer(handle, buffer), MIDI_OK) << "the delivered buffer is ours again";

    // No buffer queued now: this one is lost, not kept for later.
    peer.send(toProgram, sysex({0x02}));
    ASSERT_TRUE(peer.waitCycles(3));
    ASSERT_EQ(platformQueueInputBuffer(handle, buffer), MIDI_OK);
    EXPECT_EQ(platformReleaseInputBuffer(handle, buffer), MIDI_STILL_PLAYING) << "a queued buffer is the platform's";
    ASSERT_TRUE(peer.waitCycles(3));
    peer.send(toProgram, sysex({0x03}));
    ASSERT_TRUE(Recorder::waitLong(2));
    const std::vector<Bytes> got = Recorder::taken();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], sysex({0x03}));

    EXPECT_EQ(platformCloseInput(handle), MIDI_OK);
}

TEST_F(RtMidiJack, CloseHandsTheBufferBackAndThenNothingMoreIsDelivered) {
    Recorder::reset();
    Recorder::requeue = true;
    const int index = indexIn(listed(platformInputName), JackPeer::fullName(toProgram));
    ASSERT_GE(index, 0);
    MidiInHandle handle = 0;
    ASSERT_EQ(platformOpenInput(index, Recorder::callback, handle), MIDI_OK);
    std::array<std::uint8_t, 16> storage{};
    MidiBuffer buffer{storage.data(), static_cast<std::uint16_t>(storage.size()), 0};
    ASSERT_EQ(platformQueueInputBuffer(handle, buffer), MIDI_OK);
    ASSERT_EQ(platformStartInput(handle), MIDI_OK);

    // Messages keep arriving, every cycle, while the input closes: a short one needs no buffer.
    peer.repeat(toProgram, {sysex({0x11}), {0x90, 0x3C, 0x40}});
    ASSERT_TRUE(Recorder::waitLong(5));
    Recorder::requeue = false;   // the buffer handed back by the close is not queued again
    ASSERT_EQ(platformCloseInput(handle), MIDI_OK);
    const std::vector<Bytes> atClose = Recorder::taken();
    const int callsAtClose = Recorder::calls.load();
    ASSERT_FALSE(atClose.empty());
    EXPECT_TRUE(atClose.back().empty()) << "the last buffer comes back with nothing recorded";

    ASSERT_TRUE(peer.waitCycles(5));
    EXPECT_EQ(Recorder::calls.load(), callsAtClose) << "a callback ran after the input was closed";
    peer.repeat(toProgram, {});
    EXPECT_EQ(platformQueueInputBuffer(handle, buffer), MIDI_ERROR) << "a closed input takes no buffer";
}

TEST_F(RtMidiJack, NothingIsDeliveredAfterCloseMidiIn) {
    openPeerPair();
    closeMidiIn();
    clearReplyMailbox();
    peer.send(toProgram, sysex({REPLY_READY}));
    ASSERT_TRUE(peer.waitCycles(3));
    EXPECT_EQ(replyLength(), 0);
}

// ---------------------------------------------------------------------------------------------------
// Ports that go away

TEST_F(RtMidiJack, APortThatVanishedAfterCountingFailsToOpen) {
    const std::vector<std::string> inputs = listed(platformInputName);
    const std::vector<std::string> outputs = listed(platformOutputName);
    const int in = indexIn(inputs, JackPeer::fullName(toProgram));
    const int out = indexIn(outputs, JackPeer::fullName(fromProgram));
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    peer.remove(toProgram);
    peer.remove(fromProgram);
    toProgram = fromProgram = nullptr;
    EXPECT_NE(openMidiIn(in), MIDI_OK);
    EXPECT_NE(openMidiOut(out), MIDI_OK);
    // An index never counted opens nothing either.
    EXPECT_NE(openMidiIn(static_cast<int>(inputs.size())), MIDI_OK);
    EXPECT_NE(openMidiOut(static_cast<int>(outputs.size())), MIDI_OK);
}

TEST_F(RtMidiJack, SendingToAPortThatVanishedFails) {
    openPeerPair();
    ASSERT_EQ(sendSysEx(identToken.data(), static_cast<std::uint16_t>(identToken.size())), MIDI_OK);
    peer.remove(fromProgram);
    fromProgram = nullptr;
    EXPECT_NE(sendSysEx(identToken.data(), static_cast<std::uint16_t>(identToken.size())), MIDI_OK);
}

}  // namespace
