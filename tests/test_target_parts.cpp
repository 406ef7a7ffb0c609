// The emulated target's own parts that sit between it and a real MIDI system: the raw byte stream made
// into whole messages, as a device on a cable must, the timed sender that lets each answer go out
// when it is due, and the words for how its answers travel (and the one line they leave over).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "emulated/model/target_behaviour.h"
#include "emulated/target/midi_byte_stream.h"
#include "emulated/world/timed_sender.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> assemble(const Bytes& stream, std::size_t chunk = 1000) {
    MidiByteStream state;
    std::vector<Bytes> messages;
    const MidiMessageSink sink = [&](const std::uint8_t* bytes, std::size_t length) {
        messages.emplace_back(bytes, bytes + length);
    };
    for (std::size_t at = 0; at < stream.size(); at += chunk)
        midiStreamFeed(state, stream.data() + at, std::min(chunk, stream.size() - at), sink);
    return messages;
}

TEST(ByteStream, SystemExclusiveMessagesComeWholeHoweverTheBytesAreSplit) {
    const Bytes stream = {0xF0, 0x48, 0x71, 0x37, 0x3A, 0x62, 0x58, 0x77, 0xF7, 0xF0, 0x30, 0x30, 0xF7};
    const std::vector<Bytes> expected = {{0xF0, 0x48, 0x71, 0x37, 0x3A, 0x62, 0x58, 0x77, 0xF7}, {0xF0, 0x30, 0x30, 0xF7}};
    for (std::size_t chunk : {1, 2, 5, 13}) EXPECT_EQ(assemble(stream, chunk), expected) << "chunks of " << chunk;
}

TEST(ByteStream, ShortMessagesByTheirLengthWithRunningStatus) {
    // Note on with two notes under running status, a program change, song position, tune request.
    const Bytes stream = {0x90, 0x3C, 0x40, 0x3E, 0x41, 0xC5, 0x07, 0xF2, 0x01, 0x02, 0xF6};
    const std::vector<Bytes> expected = {{0x90, 0x3C, 0x40}, {0x90, 0x3E, 0x41}, {0xC5, 0x07}, {0xF2, 0x01, 0x02}, {0xF6}};
    EXPECT_EQ(assemble(stream, 1), expected);
    EXPECT_EQ(assemble(stream), expected);
}

TEST(ByteStream, RealTimeBytesPassThroughASystemExclusiveMessageWithoutEndingIt) {
    const Bytes stream = {0xF0, 0x31, 0xF8, 0x32, 0xFE, 0xF7};
    const std::vector<Bytes> expected = {{0xF8}, {0xFE}, {0xF0, 0x31, 0x32, 0xF7}};
    EXPECT_EQ(assemble(stream), expected);
}

TEST(ByteStream, AStatusByteCutsASystemExclusiveMessageShortAndWhatBelongsToNothingIsDropped) {
    // Stray data, a lone F7 and the undefined F4 are dropped; the cut message is passed on as it came.
    const Bytes stream = {0x12, 0xF7, 0xF4, 0x55, 0xF0, 0x41, 0x42, 0x80, 0x3C, 0x00, 0x13};
    const std::vector<Bytes> expected = {{0xF0, 0x41, 0x42}, {0x80, 0x3C, 0x00}};
    EXPECT_EQ(assemble(stream), expected);
    // A system common message ends running status: the data after it belong to nothing.
    EXPECT_EQ(assemble({0x90, 0x3C, 0x40, 0xF6, 0x3C, 0x40}), (std::vector<Bytes>{{0x90, 0x3C, 0x40}, {0xF6}}));
}

struct Collected {
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::size_t> batches;
};

TEST(TimedSender, DeliversInDueOrderThenInOrderOfSchedulingAndDropsWhatIsNotDueAtStop) {
    using Clock = std::chrono::steady_clock;
    TimedSender<int> sender;
    Collected collected;
    const Clock::time_point start = Clock::now();
    // Scheduled before the thread starts, out of due order; 3 and 4 are due at the same moment.
    timedSchedule(sender, start + std::chrono::milliseconds(60), 5);
    timedSchedule(sender, start + std::chrono::milliseconds(30), 3);
    timedSchedule(sender, start + std::chrono::milliseconds(30), 4);
    timedSchedule(sender, start, 1);
    timedSchedule(sender, start, 2);
    timedSchedule(sender, start + std::chrono::hours(1), 99);
    timedStart(sender, TimedSender<int>::Delivery([&](std::vector<int>& due) {
                   std::lock_guard<std::mutex> lock(collected.mutex);
                   collected.order.insert(collected.order.end(), due.begin(), due.end());
                   collected.batches.push_back(due.size());
                   return true;
               }));
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(collected.mutex);
            if (collected.order.size() >= 5) break;
        }
        ASSERT_LT(Clock::now() - start, std::chrono::seconds(10)) << "the sender delivered nothing";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    timedStop(sender);
    EXPECT_EQ(collected.order, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(timedStopping(sender));
}

TEST(TimedSender, ADeliveryThatGivesUpEndsTheThreadAndStopStillReturns) {
    TimedSender<int> sender;
    int deliveries = 0;
    timedSchedule(sender, std::chrono::steady_clock::now(), 1);
    timedStart(sender, TimedSender<int>::Delivery([&](std::vector<int>&) {
                   ++deliveries;
                   return false;
               }));
    timedSchedule(sender, std::chrono::steady_clock::now() + std::chrono::milliseconds(1), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    timedStop(sender);
    EXPECT_EQ(deliveries, 1);
}

TargetBehaviour behaviourOf(const std::vector<std::string>& words) {
    TargetBehaviour behaviour;
    std::string error;
    EXPECT_TRUE(parseBehaviourWords(words, behaviour, error)) << error;
    return behaviour;
}

// What the target sends for the program's handshake and then for a 6-byte record, with their delays.
std::vector<TargetOutgoing> respondToHandshakeAndRecord(const TargetBehaviour& behaviour) {
    TargetModel model;
    targetReset(model, scriptFor(behaviour));
    const Bytes handshake = {0xF0, 'H', 'q', '7', ':', 'b', 'X', 'w', 0xF7};
    const std::string text = "00040102FDFF";
    Bytes record = {0xF0};
    record.insert(record.end(), text.begin(), text.end());
    record.push_back(0xF7);
    std::vector<TargetOutgoing> outgoing;
    targetRespond(behaviour, model, handshake.data(), handshake.size(), outgoing);
    targetRespond(behaviour, model, record.data(), record.size(), outgoing);
    return outgoing;
}

TEST(TargetWords, AnEchoAForeignMessageAndRealTimeBytesTravelWithEachAnswer) {
    const std::vector<TargetOutgoing> sent =
        respondToHandshakeAndRecord(behaviourOf({"--echo", "0", "--foreign-behind", "--realtime-inside", "--delay", "7"}));
    ASSERT_EQ(sent.size(), 6u);
    for (int answer : {0, 3}) {
        const std::uint8_t code = answer == 0 ? 0x43 : 0x1A;
        EXPECT_EQ(sent[answer].bytes, (Bytes{0xF0, 0xF8, code, 0xFE, 0xF7}));
        EXPECT_EQ(sent[answer].delayMs, 7u);
        EXPECT_FALSE(sent[answer].withPrevious);
        // Another device's message right behind it, in the same delivery: a code no target answers with.
        EXPECT_EQ(sent[answer + 1].bytes.size(), 6u);
        EXPECT_EQ(sent[answer + 1].bytes[1], 0x7D);
        EXPECT_EQ(sent[answer + 1].answers, TARGET_NOT_AN_ANSWER);
        EXPECT_TRUE(sent[answer + 1].withPrevious);
        // The echo: the same answer again, in the same delivery.
        EXPECT_EQ(sent[answer + 2].bytes, sent[answer].bytes);
        EXPECT_EQ(sent[answer + 2].answers, sent[answer].answers);
        EXPECT_TRUE(sent[answer + 2].withPrevious);
    }
    const std::vector<TargetOutgoing> later = respondToHandshakeAndRecord(behaviourOf({"--echo", "40"}));
    ASSERT_EQ(later.size(), 4u);
    EXPECT_EQ(later[1].delayMs, 40u);
    EXPECT_FALSE(later[1].withPrevious);
}

TEST(TargetWords, AnswersLeaveInTurnOverOneLineAndInBunchesWhenToldSo) {
    TargetOutgoing answer{{0xF0, 0x1A, 0xF7}, 0, 0};
    TargetOutgoing late{{0xF0, 0x1A, 0xF7}, 30, 0};
    TargetOutgoing together{{0xF0, 0x7D, 0xF7}, 0, TARGET_NOT_AN_ANSWER, true};
    const TargetBehaviour plain;
    TargetLine line;
    EXPECT_EQ(targetLineDue(plain, line, 100, late, 1), 130u);
    // Due earlier, but held up behind the late one and its millisecond on the line.
    EXPECT_EQ(targetLineDue(plain, line, 101, answer, 1), 131u);
    EXPECT_EQ(targetLineDue(plain, line, 101, together, 1), 131u);
    EXPECT_EQ(targetLineDue(plain, line, 200, answer, 1), 200u);
    EXPECT_EQ(targetLineDue(plain, line, 200, answer, 0), 200u);   // a port that takes no time of its own

    // Every 20 ms, what has come due leaves together.
    const TargetBehaviour bunched = behaviourOf({"--burst", "20"});
    TargetLine bunchLine;
    EXPECT_EQ(targetLineDue(bunched, bunchLine, 101, answer, 1), 120u);
    EXPECT_EQ(targetLineDue(bunched, bunchLine, 105, answer, 1), 120u);
    EXPECT_EQ(targetLineDue(bunched, bunchLine, 119, late, 1), 160u);
    EXPECT_EQ(targetLineDue(bunched, bunchLine, 140, answer, 1), 160u);
    EXPECT_EQ(targetLineDue(bunched, bunchLine, 160, answer, 1), 160u);
}

TEST(TargetWords, JitterVariesTheDelayWithinItsBoundTheSameWayForTheSameSeed) {
    const auto delays = [](const std::vector<std::string>& words) {
        const TargetScript script = scriptFor(behaviourOf(words));
        std::vector<unsigned> seen;
        for (int record = 1; record <= 200; ++record) seen.push_back(script.onRecord(record, 1).delayMs);
        return seen;
    };
    const std::vector<unsigned> first = delays({"--delay", "500", "--jitter", "1000:7"});
    EXPECT_EQ(first, delays({"--delay", "500", "--jitter", "1000:7"}));
    EXPECT_NE(first, delays({"--delay", "500", "--jitter", "1000:8"}));
    unsigned lowest = 100000, highest = 0;
    for (unsigned delay : first) {
        lowest = std::min(lowest, delay);
        highest = std::max(highest, delay);
    }
    EXPECT_GE(lowest, 500u);
    EXPECT_LE(highest, 1500u);
    EXPECT_GT(highest - lowest, 800u);   // it really varies, over most of its range
}

TEST(TargetWords, ALateRecordIsLateOnlyForTheSendingsNamed) {
    const TargetScript script = scriptFor(behaviourOf({"--delay", "5", "--late", "2:2100", "--late", "3:700:0"}));
    EXPECT_EQ(script.onRecord(1, 1).delayMs, 5u);
    EXPECT_EQ(script.onRecord(2, 1).delayMs, 2100u);
    EXPECT_EQ(script.onRecord(2, 2).delayMs, 5u);
    EXPECT_EQ(script.onRecord(3, 1).delayMs, 700u);
    EXPECT_EQ(script.onRecord(3, 9).delayMs, 700u);
}

TEST(TargetWords, AValueThatMakesNoSenseIsRefusedNamingItsOption) {
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"--burst", "0"}, {"--echo", "-1"}, {"--jitter", "5:x"}, {"--late", "0:100"}, {"--late", "2"}}) {
        TargetBehaviour behaviour;
        std::string error;
        EXPECT_FALSE(parseBehaviourWords(words, behaviour, error)) << words[0] << " " << words[1];
        EXPECT_EQ(error.rfind(words[0], 0), 0u) << error;
    }
}

}  // namespace
