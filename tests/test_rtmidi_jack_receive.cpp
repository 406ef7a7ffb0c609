// Pins what the RtMidi backend receives from a real JACK wire: long, short and unbuffered messages, a
// lone F0, one message per queued buffer, and nothing delivered after an input is closed.
// Needs the JACK server named by JACK_DEFAULT_SERVER; skipped without one.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/port_pair.h"
#include "protocol/wire.h"
#include "support/jack_peer.h"

namespace {

// ---------------------------------------------------------------------------------------------------
// Through the transport's mailbox

TEST_F(RtMidiJack, ALongMessageFillsTheBufferAndShortOnesAreNoMessages) {
    openPeerPair();
    Bytes longMessage{0xF0};
    for (int i = 0; i < 300; ++i) longMessage.push_back(static_cast<std::uint8_t>(i & 0x7F));
    longMessage.push_back(0xF7);
    peer.send(toProgram, longMessage);
    Bytes taken;
    ASSERT_TRUE(waitMessage(taken));
    EXPECT_EQ(taken, Bytes(longMessage.begin(), longMessage.begin() + RX_BUFFER_SIZE));

    // A note-on is no reply, and the buffers stay queued for what follows.
    peer.send(toProgram, {0x90, 0x3C, 0x40});
    const Bytes fiveBytes = sysex({REPLY_RESET_NEEDED, 0x01, 0x02});
    peer.send(toProgram, fiveBytes);
    ASSERT_TRUE(waitMessage(taken));
    EXPECT_EQ(taken, fiveBytes);
    ASSERT_TRUE(peer.waitCycles(3));
    std::uint8_t code = 0;
    EXPECT_FALSE(takeReply(code));
}

TEST_F(RtMidiJack, MessagesOfOneCycleAreAllKeptInOrderWithoutTheirRealTimeBytes) {
    openPeerPair();
    // Two answers, another device's message and a clock inside an answer, all in one cycle: what a
    // merge of two cables or a patchbay delivers.
    const std::vector<Bytes> burst = {sysex({REPLY_RECORD_OK}), {0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7},
                                      {0xF0, 0xF8, REPLY_CRC_ERROR, 0xFE, 0xF7}, {0xF8},
                                      sysex({REPLY_RECORD_OK})};
    peer.sendTogether(toProgram, burst);
    std::vector<Bytes> taken(4);
    for (Bytes& message : taken) ASSERT_TRUE(waitMessage(message));
    EXPECT_EQ(taken, (std::vector<Bytes>{sysex({REPLY_RECORD_OK}), {0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7},
                                         sysex({REPLY_CRC_ERROR}), sysex({REPLY_RECORD_OK})}));
    ASSERT_TRUE(peer.waitCycles(3));
    ReceivedMessage nothing;
    EXPECT_FALSE(takeMessage(nothing));
    EXPECT_EQ(mailboxLost(), 0u);
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
    static std::atomic<int> refusedRequeues;

    static void reset() {
        std::lock_guard<std::mutex> lock(mutex);
        longMessages.clear();
        others = 0;
        calls = 0;
        requeue = false;
        refusedRequeues = 0;
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
            if (platformQueueInputBuffer(handle, *buffer) != MIDI_OK) refusedRequeues.fetch_add(1);
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
std::atomic<int> Recorder::refusedRequeues{0};

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
    // The callback re-queues the buffer under the input's lock, so the close always finds it queued.
    ASSERT_TRUE(Recorder::waitLong(5));
    ASSERT_EQ(platformCloseInput(handle), MIDI_OK);
    const std::vector<Bytes> atClose = Recorder::taken();
    const int callsAtClose = Recorder::calls.load();
    ASSERT_FALSE(atClose.empty());
    EXPECT_TRUE(atClose.back().empty()) << "the last buffer comes back with nothing recorded";
    EXPECT_EQ(Recorder::refusedRequeues.load(), 1) << "only the closing input refuses the buffer back";

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
    ReceivedMessage nothing;
    EXPECT_FALSE(takeMessage(nothing));
}

}  // namespace
