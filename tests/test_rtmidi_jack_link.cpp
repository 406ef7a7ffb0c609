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

// The watcher clients the program has open now (theirs are the names with "-watch" in them).
std::mutex watchersMutex;
std::vector<jack_client_t*> watchers;
int watchersEverOpened = 0;

int watchersOpened() {
    const std::lock_guard<std::mutex> lock(watchersMutex);
    return watchersEverOpened;
}

std::size_t watchersOpen() {
    const std::lock_guard<std::mutex> lock(watchersMutex);
    return watchers.size();
}

}  // namespace

// Nobody here passes a server's name, the one optional argument.
extern "C" jack_client_t* __real_jack_client_open(const char* name, jack_options_t options, jack_status_t* status, ...);
extern "C" jack_client_t* __wrap_jack_client_open(const char* name, jack_options_t options, jack_status_t* status, ...) {
    jack_client_t* client = __real_jack_client_open(name, options, status);
    if (client != nullptr && std::string(name).find("-watch") != std::string::npos) {
        const std::lock_guard<std::mutex> lock(watchersMutex);
        watchers.push_back(client);
        ++watchersEverOpened;
    }
    return client;
}

extern "C" int __real_jack_client_close(jack_client_t* client);
extern "C" int __wrap_jack_client_close(jack_client_t* client) {
    {
        const std::lock_guard<std::mutex> lock(watchersMutex);
        watchers.erase(std::remove(watchers.begin(), watchers.end(), client), watchers.end());
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
        JackLink* link = openJackLink(taken, withOutput);
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
        JackLink* link = openJackLink(refusedNames[withOutput ? 1 : 0], withOutput);
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
    const int opened = watchersOpened();
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

}  // namespace
