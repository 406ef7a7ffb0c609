// The MIDI transport on the emulated target's ports: how messages are framed on the wire, what the
// mailbox counts as a reply, and that ports and waits are released and bounded.
#include <gtest/gtest.h>

#include "midi/port_pair.h"
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

// What the mailbox holds, oldest first, as the bytes of each message.
std::vector<Bytes> takeAll() {
    std::vector<Bytes> taken;
    ReceivedMessage message;
    while (takeMessage(message)) taken.emplace_back(message.bytes.begin(), message.bytes.begin() + message.length);
    return taken;
}

// Hands the callback a buffer filled with `bytes`, as the platform does.
void deliver(Bytes bytes) {
    MidiBuffer filled{bytes.data(), static_cast<std::uint16_t>(bytes.size()), static_cast<std::uint16_t>(bytes.size())};
    onMidiInput(midiPorts.in, MIDI_INPUT_LONG_DATA, &filled);
}

TEST_F(Transport, ARepliesBytesComeThroughTheMailbox) {
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    ASSERT_EQ(openMidiOut(0), MIDI_OK);
    EXPECT_STREQ(midiPorts.inName, "Zentravox In");
    EXPECT_STREQ(midiPorts.outName, "Zentravox Out");
    const Bytes token{'H', 'q', '7', ':', 'b', 'X', 'w'};
    sendSysEx(token.data(), 7);
    EXPECT_EQ(takeAll(), std::vector<Bytes>{});
    platformSleep(1);
    EXPECT_EQ(takeAll(), (std::vector<Bytes>{{0xF0, 0x43, 0xF7}}));
    std::uint8_t code = 0;
    EXPECT_FALSE(takeReply(code));
}

TEST_F(Transport, EveryMessageOfABurstIsKeptInOrder) {
    // Two answers and another device's message in one delivery: none may take another's place.
    SimScenario scenario;
    scenario.strays = {{SIM_AT_TIME, 1, 0, {0xF0, 0x1A, 0xF7}, true},
                       {SIM_AT_TIME, 1, 0, {0xF0, 0x20, 0xF7}, true},
                       {SIM_AT_TIME, 1, 0, {0xF0, 0x41, 0x10, 0x42, 0xF7}, true},
                       {SIM_AT_TIME, 1, 0, {0xF0, 0x1A, 0xF7}, true},
                       {SIM_AT_TIME, 1, 0, {0xF0, 0x1A, 0xF7}, true},
                       {SIM_AT_TIME, 1, 0, {0xF0, 0x77, 0xF7}, true}};
    start(scenario);
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    platformSleep(1);
    const std::vector<Bytes> expected = {{0xF0, 0x1A, 0xF7}, {0xF0, 0x20, 0xF7}, {0xF0, 0x41, 0x10, 0x42, 0xF7},
                                         {0xF0, 0x1A, 0xF7}, {0xF0, 0x1A, 0xF7}, {0xF0, 0x77, 0xF7}};
    EXPECT_EQ(takeAll(), expected);
    int lost = 0;
    for (const SimEvent& event : simEvents()) lost += event.kind == SIM_LOST;
    EXPECT_EQ(lost, 0);
}

TEST_F(Transport, RealTimeBytesInsideAMessageAreTakenOut) {
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    deliver({0xF0, 0xF8, 0x1A, 0xF7});
    deliver({0xF8, 0xF0, 0xFE, 0x20, 0xFF, 0xF7, 0xFA});
    deliver({0xF0, 0xF8, 0xFE, 0xF7});   // nothing but a clock and active sensing inside: no reply
    deliver({0xF0, 0xF9, 0xFD, 0x43, 0xF7});   // F9 and FD are undefined real-time bytes, still real-time
    EXPECT_EQ(takeAll(), (std::vector<Bytes>{{0xF0, 0x1A, 0xF7}, {0xF0, 0x20, 0xF7}, {0xF0, 0xF7}, {0xF0, 0x43, 0xF7}}));
}

TEST_F(Transport, MessagesTooShortToBeARepliesAreNotKept) {
    SimScenario scenario;
    scenario.strays = {{SIM_AT_TIME, 1, 0, {0x90, 0x40, 0x7F}, false},
                       {SIM_AT_TIME, 1, 0, {0xF0}, true},
                       {SIM_AT_TIME, 1, 0, {0xF0, 0x1A, 0xF7}, true},
                       {SIM_AT_TIME, 1, 0, {0xF0, 0xF8}, true}};
    start(scenario);
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    platformSleep(1);
    EXPECT_EQ(takeAll(), (std::vector<Bytes>{{0xF0, 0x1A, 0xF7}}));
    // A buffer handed back with nothing recorded (as at a close) carries no message either.
    std::uint8_t storage[4] = {0xF0, 0x1A, 0xF7, 0};
    MidiBuffer handedBack{storage, 4, 0};
    onMidiInput(midiPorts.in, MIDI_INPUT_LONG_DATA, &handedBack);
    EXPECT_EQ(takeAll(), std::vector<Bytes>{});
}

TEST_F(Transport, AMessageLongerThanTheBufferFillsIt) {
    SimScenario scenario;
    Bytes huge(300, 0x11);
    huge.front() = 0xF0;
    huge[1] = 0x1A;
    huge.back() = 0xF7;
    scenario.strays = {{SIM_AT_TIME, 1, 0, huge, true}, {SIM_AT_TIME, 1, 0, {0xF0, 0x20, 0xF7}, true}};
    start(scenario);
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    platformSleep(1);
    const std::vector<Bytes> taken = takeAll();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0], Bytes(huge.begin(), huge.begin() + 200));
    EXPECT_EQ(taken[1], (Bytes{0xF0, 0x20, 0xF7}));
}

TEST_F(Transport, AFullMailboxCountsWhatItLosesAndKeepsWhatItHeld) {
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    Bytes message(200, 0x01);
    message.front() = 0xF0;
    message.back() = 0xF7;
    const std::uint32_t lostBefore = mailboxLost();
    // 16 KiB hold 80 messages of 200 bytes behind their lengths and inputs.
    for (int i = 0; i < 80; ++i) {
        message[1] = static_cast<std::uint8_t>(i);
        deliver(message);
    }
    EXPECT_EQ(mailboxLost(), lostBefore);
    deliver(message);
    EXPECT_EQ(mailboxLost(), lostBefore + 1);
    // What was kept is whole, in order; taking it makes room again, also across the ring's end.
    for (int i = 0; i < 80; ++i) {
        ReceivedMessage taken;
        ASSERT_TRUE(takeMessage(taken));
        ASSERT_EQ(taken.length, 200);
        EXPECT_EQ(taken.bytes[1], i);
        EXPECT_EQ(taken.bytes[199], 0xF7);
        deliver({0xF0, static_cast<std::uint8_t>(i), 0x55, 0xF7});
    }
    for (int i = 0; i < 80; ++i) {
        ReceivedMessage taken;
        ASSERT_TRUE(takeMessage(taken));
        EXPECT_EQ(Bytes(taken.bytes.begin(), taken.bytes.begin() + taken.length),
                  (Bytes{0xF0, static_cast<std::uint8_t>(i), 0x55, 0xF7}));
    }
    EXPECT_EQ(mailboxLost(), lostBefore + 1);
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

TEST_F(Transport, ABufferHandedBackAfterCloseIsKeptButNotQueuedAgain) {
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    closeMidiIn();
    MidiBuffer& late = midiPorts.inputs[0].rxHeader[0];
    late.data[0] = 0xF0;
    late.data[1] = 0x1A;
    late.data[2] = 0xF7;
    late.recorded = 3;
    onMidiInput(midiPorts.in, MIDI_INPUT_LONG_DATA, &late);
    EXPECT_EQ(takeAll(), (std::vector<Bytes>{{0xF0, 0x1A, 0xF7}}));
    // Queuing it again would have reset it for the next message.
    EXPECT_EQ(late.recorded, 3);
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
    for (int i = 0; i < 6; ++i)
        scenario.strays.push_back({SIM_AT_TIME, 1, 0, {0xF0, static_cast<std::uint8_t>(0x10 + i), 0xF7}, true});
    start(scenario);
    ASSERT_EQ(openMidiIn(0), MIDI_OK);
    // Hold the buffers back: the callback's queueing them again is what lets more messages in.
    midiPorts.inputs[0].open = 0;
    platformSleep(1);
    midiPorts.inputs[0].open = 1;
    EXPECT_EQ(takeAll(), (std::vector<Bytes>{{0xF0, 0x10, 0xF7}, {0xF0, 0x11, 0xF7}, {0xF0, 0x12, 0xF7}, {0xF0, 0x13, 0xF7}}));
    int lost = 0;
    for (const SimEvent& event : simEvents()) lost += event.kind == SIM_LOST;
    EXPECT_EQ(lost, 2);
}

}  // namespace
