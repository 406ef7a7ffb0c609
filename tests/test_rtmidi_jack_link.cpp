// The JACK link's failure paths: a client the server refuses, and an activation it refuses, through the
// link itself and through the seam's opens. Each must hand back nothing and keep nothing: built with
// AddressSanitizer (scripts/sanitize.sh) a leak or a touch of freed memory fails the run, and the ports
// open as ever afterwards. Needs the JACK server named by JACK_DEFAULT_SERVER; skipped without one.
#include <jack/jack.h>

#include <atomic>
#include <string>

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
    refuseActivation = true;
    for (bool withOutput : {false, true}) {
        SCOPED_TRACE(withOutput ? "an output's link" : "an input's link");
        const std::string name = std::string("update-link-refused-") + (withOutput ? "out" : "in");
        JackLink* link = openJackLink(name, withOutput);
        EXPECT_EQ(link, nullptr);
        EXPECT_EQ(indexIn(listed(platformInputName), name + ":out"), -1) << "the refused client's port stayed";
    }

    // Through the seam: the peer's ports fail to open, and nothing of the attempt stays open.
    const int in = indexIn(listed(platformInputName), JackPeer::fullName(toProgram));
    const int out = indexIn(listed(platformOutputName), JackPeer::fullName(fromProgram));
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    EXPECT_NE(openMidiOut(out), MIDI_OK);
    EXPECT_NE(openMidiIn(in), MIDI_OK);
    EXPECT_TRUE(peer.connections(fromProgram).empty());
    EXPECT_TRUE(peer.connections(toProgram).empty());
    refuseActivation = false;

    // And they open as ever once the server says yes again.
    openPeerPair();
    EXPECT_EQ(peer.connections(fromProgram).size(), 1u);
    EXPECT_EQ(peer.connections(toProgram).size(), 1u);
}

}  // namespace
