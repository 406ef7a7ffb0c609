// The JACK link: its failure paths (a client the server refuses, an activation it refuses, through the
// link itself and through the seam's opens), and the one watcher client that every input shares. Each must hand back nothing and keep nothing: built with
// AddressSanitizer (scripts/sanitize.sh) a leak or a touch of freed memory fails the run, and the ports
// open as ever afterwards. Needs the JACK server named by JACK_DEFAULT_SERVER; skipped without one.
#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "midi/port_pair.h"
#include "midi/rtmidi_jack_link.h"
#include "support/jack_peer.h"

namespace {

// The server's answer to an activation, or a refusal while this is set: the test's build sends the
// program's calls of jack_activate here (the linker's --wrap; see tests/jack.cmake).
std::atomic<bool> refuseActivation{false};

}  // namespace

extern "C" int __real_jack_activate(jack_client_t* client);
extern "C" int __wrap_jack_activate(jack_client_t* client) {
    return refuseActivation.load() ? -1 : __real_jack_activate(client);
}

namespace {

// The program's own clients, by role: "watch" (the watcher) and "out" (the outputs' host), as their
// names say ("update-PID-watch7").
struct OwnClient {
    jack_client_t* client;
    std::string role;
};
std::mutex clientsMutex;
std::vector<OwnClient> clientsOpen;
std::vector<std::string> clientsEverOpened;

std::string roleOf(const std::string& name) {
    for (const char* role : {"watch", "out"})
        if (name.find(std::string("-") + role) != std::string::npos) return role;
    return "";
}

std::size_t open(const std::string& role) {
    const std::lock_guard<std::mutex> lock(clientsMutex);
    return static_cast<std::size_t>(std::count_if(clientsOpen.begin(), clientsOpen.end(),
                                                  [&](const OwnClient& own) { return own.role == role; }));
}

std::size_t everOpened(const std::string& role) {
    const std::lock_guard<std::mutex> lock(clientsMutex);
    return static_cast<std::size_t>(std::count(clientsEverOpened.begin(), clientsEverOpened.end(), role));
}

std::size_t watchersOpen() { return open("watch"); }
std::size_t watchersOpened() { return everOpened("watch"); }

}  // namespace

// Nobody here passes a server's name, the one optional argument.
extern "C" jack_client_t* __real_jack_client_open(const char* name, jack_options_t options, jack_status_t* status, ...);
extern "C" jack_client_t* __wrap_jack_client_open(const char* name, jack_options_t options, jack_status_t* status, ...) {
    jack_client_t* client = __real_jack_client_open(name, options, status);
    const std::string role = roleOf(name);
    if (client != nullptr && !role.empty()) {
        const std::lock_guard<std::mutex> lock(clientsMutex);
        clientsOpen.push_back(OwnClient{client, role});
        clientsEverOpened.push_back(role);
    }
    return client;
}

extern "C" int __real_jack_client_close(jack_client_t* client);
extern "C" int __wrap_jack_client_close(jack_client_t* client) {
    {
        const std::lock_guard<std::mutex> lock(clientsMutex);
        clientsOpen.erase(std::remove_if(clientsOpen.begin(), clientsOpen.end(),
                                         [client](const OwnClient& own) { return own.client == client; }),
                          clientsOpen.end());
    }
    return __real_jack_client_close(client);
}

namespace {

using rtmidi_backend::JackLink;
using rtmidi_backend::openJackLink;

TEST_F(RtMidiJack, ALinkWhoseClientTheServerRefusesIsNothing) {
    // A name the server has given already: the link asks for its exact name, and is refused.
    jack_client_t* holder = jack_client_open("update-link-taken", JackNoStartServer, nullptr);
    ASSERT_NE(holder, nullptr);
    const std::string taken = jack_get_client_name(holder);
    for (bool withOutput : {false, true}) {
        SCOPED_TRACE(withOutput ? "an output's link" : "an input's link");
        JackLink* link = withOutput ? rtmidi_backend::openJackOutput(taken) : openJackLink(taken);
        EXPECT_EQ(link, nullptr);
    }
    jack_client_close(holder);
}

TEST_F(RtMidiJack, ALinkWhoseActivationTheServerRefusesIsNothingAndLeavesNoPort) {
    // Counted while the server still takes clients: one that refuses every client shows no port at all.
    const int in = indexIn(listed(platformInputName), JackPeer::fullName(toProgram));
    const int out = indexIn(listed(platformOutputName), JackPeer::fullName(fromProgram));
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    // The watcher that counted them goes, so that opening an input needs a new one.
    rtmidi_backend::closeJackWatcher();

    refuseActivation = true;
    const std::string refusedNames[] = {"update-link-refused-in", "update-link-refused-out"};
    for (bool withOutput : {false, true}) {
        SCOPED_TRACE(withOutput ? "an output's link" : "an input's link");
        JackLink* link = withOutput ? rtmidi_backend::openJackOutput(refusedNames[1]) : openJackLink(refusedNames[0]);
        EXPECT_EQ(link, nullptr);
    }

    // Through the seam: the peer's ports fail to open, and nothing of the attempt stays open.
    EXPECT_NE(openMidiOut(out), MIDI_OK);
    EXPECT_NE(openMidiIn(in), MIDI_OK);
    EXPECT_TRUE(peer.connections(fromProgram).empty());
    EXPECT_TRUE(peer.connections(toProgram).empty());
    refuseActivation = false;

    for (const std::string& name : refusedNames)
        EXPECT_EQ(indexIn(listed(platformInputName), name + ":out"), -1) << "the refused client's port stayed";
    // And they open as ever once the server says yes again.
    openPeerPair();
    EXPECT_EQ(peer.connections(fromProgram).size(), 1u);
    EXPECT_EQ(peer.connections(toProgram).size(), 1u);
}

// Opening a client costs the server 10 to 20 ms, and the search lists both kinds of port and opens up to
// ten inputs: one watcher serves them all, and goes with the last of them.
TEST_F(RtMidiJack, EveryInputIsConnectedThroughOneWatcherThatGoesWithTheLastInput) {
    const std::vector<jack_port_t*> peerPorts = {toProgram, peer.add("reply-2", true), peer.add("reply-3", true)};
    const std::vector<std::string> inputs = listed(platformInputName);
    std::vector<int> indexes;
    for (jack_port_t* port : peerPorts) {
        ASSERT_NE(port, nullptr);
        indexes.push_back(indexIn(inputs, JackPeer::fullName(port)));
        ASSERT_GE(indexes.back(), 0);
        ASSERT_EQ(openMidiIn(indexes.back()), MIDI_OK);
    }
    EXPECT_EQ(watchersOpen(), 1u);
    for (jack_port_t* port : peerPorts) EXPECT_EQ(peer.connections(port).size(), 1u) << JackPeer::fullName(port);
    // The outputs are counted through the same watcher.
    const std::size_t opened = watchersOpened();
    EXPECT_GE(indexIn(listed(platformOutputName), JackPeer::fullName(fromProgram)), 0);
    EXPECT_EQ(watchersOpened(), opened);

    // The first input closes; the others keep the watcher, and it connects an input opened again.
    closeMidiInOnly(indexes[0]);
    EXPECT_TRUE(peer.connections(toProgram).empty());
    EXPECT_EQ(watchersOpen(), 1u);
    ASSERT_EQ(openMidiIn(indexes[0]), MIDI_OK);
    EXPECT_EQ(peer.connections(toProgram).size(), 1u);

    // An input that fails to open does not count as one the watcher serves.
    peer.remove(peerPorts[2]);
    closeMidiInOnly(indexes[2]);
    EXPECT_NE(openMidiIn(indexes[2]), MIDI_OK);

    closeMidiIn();
    EXPECT_EQ(watchersOpen(), 0u);
    // The next input brings a watcher of its own again.
    ASSERT_EQ(openMidiIn(indexes[1]), MIDI_OK);
    EXPECT_EQ(watchersOpen(), 1u);
    EXPECT_EQ(peer.connections(peerPorts[1]).size(), 1u);
    closeMidiIn();
    EXPECT_EQ(watchersOpen(), 0u);
}

// Every output is a port of one host client, whose cycle writes them all: each output's messages reach
// its own peer whole and in order while others open, send and close beside it, and the host goes with
// the last output.
TEST_F(RtMidiJack, EveryOutputIsAPortOfOneHostAndKeepsItsOwnMessages) {
    jack_port_t* secondPeer = peer.add("listen-2", false);
    ASSERT_NE(secondPeer, nullptr);
    const std::vector<std::string> outputs = listed(platformOutputName);
    const int first = indexIn(outputs, JackPeer::fullName(fromProgram));
    const int second = indexIn(outputs, JackPeer::fullName(secondPeer));
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    const std::size_t hostsBefore = everOpened("out");

    ASSERT_EQ(openMidiOut(first), MIDI_OK);
    const MidiOutHandle staying = midiPorts.out;
    const auto send = [](MidiOutHandle handle, std::uint8_t tag, std::uint8_t serial) {
        const Bytes message = sysex({tag, serial, 0x01, 0x02, 0x03});
        for (int poll = 0; poll < 2000 && platformSendDone(handle) == MIDI_STILL_PLAYING; ++poll) platformSleep(1);
        return platformBeginSend(handle, message.data(), static_cast<std::uint16_t>(message.size()));
    };
    // The second output comes and goes thirty times, closed while its messages may still wait, while
    // the first sends all along.
    constexpr int ROUNDS = 30;
    for (int round = 0; round < ROUNDS; ++round) {
        ASSERT_EQ(openMidiOut(second), MIDI_OK) << "round " << round;
        const MidiOutHandle coming = midiPorts.out;
        EXPECT_EQ(open("out"), 1u) << "round " << round;
        ASSERT_EQ(send(staying, 0x01, static_cast<std::uint8_t>(round)), MIDI_OK);
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(send(coming, 0x02, static_cast<std::uint8_t>(round)), MIDI_OK);
            platformAbandonSend(coming);
        }
        keepMidiOutOnly(first);
    }
    EXPECT_EQ(everOpened("out"), hostsBefore + 1) << "one host for every output";

    ASSERT_TRUE(peer.waitReceived(fromProgram, ROUNDS));
    peer.waitCycles(4);
    const std::vector<Bytes> stayed = peer.received(fromProgram);
    ASSERT_EQ(stayed.size(), static_cast<std::size_t>(ROUNDS)) << "the first output's messages, each once";
    for (int round = 0; round < ROUNDS; ++round)
        EXPECT_EQ(stayed[static_cast<std::size_t>(round)], sysex({0x01, static_cast<std::uint8_t>(round), 0x01, 0x02, 0x03}));
    for (const Bytes& arrived : peer.received(secondPeer)) {
        ASSERT_GE(arrived.size(), 3u);
        EXPECT_EQ(arrived[1], 0x02) << "another output's message on the second's port";
        EXPECT_EQ(arrived.size(), 7u) << "a message cut";
    }

    closeMidiOut();
    EXPECT_EQ(open("out"), 0u) << "the host stayed after its last output";
}

}  // namespace
