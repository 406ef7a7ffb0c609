// Pins the RtMidi backend's ports on a real JACK server: both kinds counted and named, its own ports
// never listed, long names cut yet kept apart, each index opening the port it was counted for, and ports
// that vanish after counting. Needs the JACK server named by JACK_DEFAULT_SERVER; skipped without one.
#include <string>
#include <vector>

#include "midi/port_pair.h"
#include "midi/rtmidi_ports.h"
#include "support/jack_peer.h"

namespace {

// No server needed: what the user is shown of a port's name.
TEST(PortNames, AlsaNamesShowWhatAUserRecognisesWithin31Characters) {
    using rtmidi_backend::shownPortName;
    EXPECT_EQ(shownPortName(RtMidi::LINUX_ALSA, "Emulated product:Emulated product MIDI 1 20:0"), "Emulated product MIDI 1");
    EXPECT_EQ(shownPortName(RtMidi::LINUX_ALSA, "Midi Through:Midi Through Port-0 14:0"), "Midi Through Port-0");
    EXPECT_EQ(shownPortName(RtMidi::LINUX_ALSA, "vm-target-out:midi 129:0"), "vm-target-out:midi");
    EXPECT_EQ(shownPortName(RtMidi::LINUX_ALSA, "VirMIDI 0-1:VirMIDI 0-1 25:0"), "VirMIDI 0-1:VirMIDI 0-1");
    // JACK names have no numbers and are shown as they are, cut later like any other.
    EXPECT_EQ(shownPortName(RtMidi::UNIX_JACK, "zentravox-target-out:midi"), "zentravox-target-out:midi");
}

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

}  // namespace
