// The MIDI transport on the emulated target's ports: how messages are framed on the wire, what the
// mailbox counts as a reply, and that ports and waits are released and bounded.
#include <gtest/gtest.h>

#include "midi/midi_ports.h"
#include "midi/sysex.h"
#include "support/scenario.h"

namespace {

class Transport : public testing::Test {
protected:
    void SetUp() override { start(SimScenario{}); }
    void TearDown() override {
        closeMidiIn();
        closeMidiOut();
        simStop();
    }
    static void start(const SimScenario& scenario) {
        closeMidiIn();
        closeMidiOut();
        simStart(scenario);
        clearReplyMailbox();
    }
    static Bytes lastSent() { return messagesSent().back().second; }
};

Bytes payloadOf(std::size_t length) {
    Bytes payload(length);
    for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>('A' + i % 26);
    return payload;
}

TEST_F(Transport, MessagesAreFramedBetweenF0AndF7) {
    ASSERT_EQ(openMidiOut(0), MIDI_OK);
    const Bytes token{'H', 'q', '7', ':', 'b', 'X', 'w'};
    EXPECT_EQ(sendSysEx(token.data(), 7), MIDI_OK);
    EXPECT_EQ(lastSent(), (Bytes{0xF0, 'H', 'q', '7', ':', 'b', 'X', 'w', 0xF7}));

    EXPECT_EQ(sendSysEx(nullptr, 0), MIDI_OK);
    EXPECT_EQ(lastSent(), (Bytes{0xF0, 0xF7}));

    const Bytes longest = payloadOf(22);
    EXPECT_EQ(sendSysEx(longest.data(), 22), MIDI_OK);
    const Bytes framed = lastSent();
    ASSERT_EQ(framed.size(), 24u);
    EXPECT_EQ(framed.front(), 0xF0);
    EXPECT_EQ(Bytes(framed.begin() + 1, framed.end() - 1), longest);
    EXPECT_EQ(framed.back(), 0xF7);
}

TEST_F(Transport, APayloadOverTheLimitSendsNothingAndFails) {
    ASSERT_EQ(openMidiOut(0), MIDI_OK);
    const Bytes tooLong = payloadOf(23);
    EXPECT_NE(sendSysEx(tooLong.data(), 23), MIDI_OK);
    EXPECT_TRUE(messagesSent().empty());
}

TEST(ByteToHex, GivesTwoUpperCaseDigitsHighNibbleFirst) {
    const std::vector<std::pair<std::uint8_t, std::string>> cases = {
        {0x00, "00"}, {0xAB, "AB"}, {0x9F, "9F"}, {0x3C, "3C"}, {0xF7, "F7"}, {0x0A, "0A"}};
    for (const auto& [value, text] : cases) {
        char out[2];
        byteToHex(value, out);
        EXPECT_EQ(std::string(out, 2), text);
    }
}

TEST_F(Transport, SendingWaitsForThePlatformButNeverWithoutEnd) {
    SimScenario busy;
    busy.sendBusyPolls = 3;
    start(busy);
    ASSERT_EQ(openMidiOut(0), MIDI_OK);
    EXPECT_EQ(sendSysEx(nullptr, 0), MIDI_OK);
    EXPECT_EQ(simNowMs(), 3u);

    SimScenario stuck;
    stuck.sendsNeverFinish = true;
    start(stuck);
    ASSERT_EQ(openMidiOut(0), MIDI_OK);
    EXPECT_NE(sendSysEx(nullptr, 0), MIDI_OK);
    EXPECT_EQ(simNowMs(), 2000u);
}

TEST_F(Transport, ARepliesLengthAndCodeComeThroughTheMailbox) {
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    ASSERT_EQ(openMidiOut(0), MIDI_OK);
    EXPECT_STREQ(midiPorts.inName, "Zentravox In");
    EXPECT_STREQ(midiPorts.outName, "Zentravox Out");
    const Bytes token{'H', 'q', '7', ':', 'b', 'X', 'w'};
    sendSysEx(token.data(), 7);
    EXPECT_EQ(replyLength(), 0);
    platformSleep(1);
    EXPECT_EQ(replyLength(), 3);
    std::uint8_t code = 0;
    EXPECT_TRUE(takeReply(code));
    EXPECT_EQ(code, 0x43);
    EXPECT_EQ(replyLength(), 0);
    EXPECT_FALSE(takeReply(code));
}

TEST_F(Transport, ShortMessagesAreIgnoredAndAOneByteMessageIsNoReply) {
    SimScenario scenario;
    scenario.strays = {{SIM_AT_TIME, 1, 0, {0x90, 0x40, 0x7F}, false}, {SIM_AT_TIME, 2, 0, {0xF0}, true}};
    start(scenario);
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    platformSleep(1);
    EXPECT_EQ(replyLength(), 0);
    platformSleep(1);
    EXPECT_EQ(replyLength(), 1);
    std::uint8_t code = 0;
    EXPECT_FALSE(takeReply(code));
    EXPECT_EQ(replyLength(), 1);
}

TEST_F(Transport, AMessageTooShortToBeAReplyNeverTakesThePlaceOfOneNotYetTaken) {
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    std::uint8_t reply[3] = {0xF0, 0x1A, 0xF7};
    std::uint8_t lone[1] = {0xF0};
    MidiBuffer answered{reply, 3, 3};
    MidiBuffer stray{lone, 1, 1};
    MidiBuffer handedBack{lone, 1, 0};
    onMidiInput(midiPorts.in, MIDI_INPUT_LONG_DATA, &answered);
    onMidiInput(midiPorts.in, MIDI_INPUT_LONG_DATA, &stray);
    onMidiInput(midiPorts.in, MIDI_INPUT_LONG_DATA, &handedBack);
    std::uint8_t code = 0;
    EXPECT_TRUE(takeReply(code));
    EXPECT_EQ(code, 0x1A);
    // With no reply waiting, the short message is recorded as before: it is no reply.
    onMidiInput(midiPorts.in, MIDI_INPUT_LONG_DATA, &stray);
    EXPECT_EQ(replyLength(), 1);
    EXPECT_FALSE(takeReply(code));
}

TEST_F(Transport, AMessageLongerThanTheBufferFillsIt) {
    SimScenario scenario;
    Bytes huge(300, 0x11);
    huge.front() = 0xF0;
    huge[1] = 0x1A;
    huge.back() = 0xF7;
    scenario.strays = {{SIM_AT_TIME, 1, 0, huge, true}};
    start(scenario);
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    platformSleep(1);
    EXPECT_EQ(replyLength(), 200);
    std::uint8_t code = 0;
    EXPECT_TRUE(takeReply(code));
    EXPECT_EQ(code, 0x1A);
}

TEST_F(Transport, TheCodeTakenIsTheOneThatCameWithTheLength) {
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    std::uint8_t message[3] = {0xF0, 0x20, 0xF7};
    MidiBuffer filled{message, 3, 3};
    onMidiInput(midiPorts.in, MIDI_INPUT_LONG_DATA, &filled);
    // The receive buffer is handed out again at once and may already hold the start of a later message.
    replyMailbox.rx[1] = 0x43;
    std::uint8_t code = 0;
    EXPECT_TRUE(takeReply(code));
    EXPECT_EQ(code, 0x20);
}

TEST_F(Transport, ClosingTwiceOrBeforeOpeningDoesNothing) {
    EXPECT_EQ(closeMidiIn(), 0);
    EXPECT_EQ(closeMidiOut(), 0);
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    ASSERT_EQ(openMidiOut(0), MIDI_OK);
    EXPECT_EQ(closeMidiIn(), 1);
    EXPECT_EQ(closeMidiIn(), 0);
    EXPECT_EQ(closeMidiOut(), 1);
    EXPECT_EQ(closeMidiOut(), 0);
    EXPECT_EQ(simPortsOpen(), 0);
    EXPECT_EQ(simPortCalls(), "+i0 +o0 -i0 -o0");
}

TEST_F(Transport, ALateCallbackAfterCloseStoresItsLengthButDoesNotRearm) {
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    closeMidiIn();
    replyMailbox.rx[0] = 0xF0;
    replyMailbox.rx[1] = 0x1A;
    replyMailbox.rxHeader.recorded = 5;
    onMidiInput(midiPorts.in, MIDI_INPUT_LONG_DATA, &replyMailbox.rxHeader);
    EXPECT_EQ(replyLength(), 5);
    // Re-arming would have reset the header for the next message.
    EXPECT_EQ(replyMailbox.rxHeader.recorded, 5);
}

TEST_F(Transport, AnInputThatWillNotStartIsLeftClosed) {
    SimScenario scenario;
    scenario.inputsFailingToStart = {0};
    start(scenario);
    EXPECT_NE(openMidiIn(0), MIDI_OK);
    EXPECT_EQ(midiPorts.inOpen, 0);
    EXPECT_EQ(simPortsOpen(), 0);
    EXPECT_EQ(closeMidiIn(), 0);
}

TEST_F(Transport, MessagesArrivingWhileNoBufferIsQueuedAreLost) {
    SimScenario scenario;
    scenario.strays = {{SIM_AT_TIME, 1, 0, {0xF0, 0x1A, 0xF7}, true}, {SIM_AT_TIME, 1, 0, {0xF0, 0x20, 0xF7}, true}};
    start(scenario);
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    // Hold the buffer back: the callback's re-arming is what lets the second message in.
    midiPorts.inOpen = 0;
    platformSleep(1);
    midiPorts.inOpen = 1;
    std::uint8_t code = 0;
    EXPECT_TRUE(takeReply(code));
    EXPECT_EQ(code, 0x1A);
    int lost = 0;
    for (const SimEvent& event : simEvents()) lost += event.kind == SIM_LOST;
    EXPECT_EQ(lost, 1);
}

}  // namespace
