// The emulated target's own parts that sit between it and a real MIDI system: the raw byte stream made
// into whole messages, as a device on a cable must, and the timed sender that lets each answer go out
// when it is due.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/midi_byte_stream.h"
#include "sim/timed_sender.h"

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

}  // namespace
