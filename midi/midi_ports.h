// The one open pair of MIDI ports, and the mailbox that the input callback fills: every
// system-exclusive message that arrives is kept, whole and in arrival order, until the main thread
// takes it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "midi_platform.h"

constexpr std::uint16_t RX_BUFFER_SIZE = 200;
// Receive buffers queued on the input at once: a message that arrives while the callback is still busy
// with the one before it has a buffer of its own, and each buffer goes back to the platform as soon as
// its message has been copied into the mailbox.
constexpr int RX_BUFFER_COUNT = 4;
// Room for the messages not yet taken, each behind its 2-byte length. The main thread looks every
// millisecond; this holds more than a MIDI cable can carry in a second (3,125 bytes).
constexpr std::size_t MAILBOX_BYTES = 16 * 1024;

struct MidiPortPair {
    MidiInHandle in;
    MidiOutHandle out;
    std::atomic<std::uint8_t> inOpen;   // also tells the callback whether to queue a buffer again
    std::uint8_t outOpen;
    char inName[MIDI_NAME_SIZE];
    char outName[MIDI_NAME_SIZE];
};

// One system-exclusive message as it arrived (real-time bytes taken out), cut to the receive buffer.
struct ReceivedMessage {
    std::uint16_t length;
    std::array<std::uint8_t, RX_BUFFER_SIZE> bytes;
};

struct ReplyMailbox {
    std::array<std::array<std::uint8_t, RX_BUFFER_SIZE>, RX_BUFFER_COUNT> rx;
    std::array<MidiBuffer, RX_BUFFER_COUNT> rxHeader;
    // A ring of bytes that the callbacks fill and the main thread empties; `written` and `taken` count
    // bytes since the start and only grow, so their difference is what waits.
    std::array<std::uint8_t, MAILBOX_BYTES> queue;
    std::atomic<std::uint32_t> written;
    std::atomic<std::uint32_t> taken;
    std::atomic<std::uint32_t> lost;   // messages that found no room
    std::atomic<bool> filling;      // held by a callback while it writes: inputs may call from different threads
};

extern MidiPortPair midiPorts;
extern ReplyMailbox replyMailbox;

MidiResult openMidiIn(int index);
MidiResult openMidiOut(int index);
int closeMidiIn();
int closeMidiOut();
void onMidiInput(MidiInHandle handle, MidiInputKind kind, MidiBuffer* buffer);

// Takes the oldest message not yet taken; false when none waits. Every message kept has two or more
// bytes: a reply, whose code is bytes[1].
bool takeMessage(ReceivedMessage& message);
// Takes the oldest message and gives its code.
bool takeReply(std::uint8_t& code);
// Drops every message waiting.
void clearReplyMailbox();
// How many messages have been lost for want of room, ever.
std::uint32_t mailboxLost();
