// The MIDI ports the program holds open, and the mailbox that the input callbacks fill. While the
// target is looked for, every input listens and the handshake goes out on every output; then one pair
// stays open for the transfer. Every system-exclusive message that arrives on any open input is kept,
// whole, in arrival order and with the input it came on, until the main thread takes it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "midi_platform.h"

// Ports of each kind that may be open at once: as many as are ever looked at.
constexpr int MIDI_MAX_OPEN_PORTS = 10;
constexpr std::uint16_t RX_BUFFER_SIZE = 200;
// Receive buffers queued on each input at once: a message that arrives while the callback is still busy
// with the one before it has a buffer of its own, and each buffer goes back to the platform as soon as
// its message has been copied into the mailbox.
constexpr int RX_BUFFER_COUNT = 4;
// Room for the messages not yet taken, each behind its length and input. The main thread looks every
// millisecond; this holds more than a MIDI cable can carry in a second (3,125 bytes).
constexpr std::size_t MAILBOX_BYTES = 16 * 1024;

// One open input: its receive buffers go back to the platform for as long as it stays open.
struct ListeningInput {
    MidiInHandle handle;
    std::atomic<int> index;             // the platform's index of the port
    std::atomic<std::uint8_t> open;     // also tells the callback whether to queue a buffer again
    char name[MIDI_NAME_SIZE];
    std::array<std::array<std::uint8_t, RX_BUFFER_SIZE>, RX_BUFFER_COUNT> rx;
    std::array<MidiBuffer, RX_BUFFER_COUNT> rxHeader;
};

struct OpenOutput {
    MidiOutHandle handle;
    int index;
    std::uint8_t open;
    char name[MIDI_NAME_SIZE];
};

struct MidiPortPair {
    // The pair: the input and output opened last, or the ones kept.
    MidiInHandle in;
    MidiOutHandle out;
    std::atomic<std::uint8_t> inOpen;
    std::uint8_t outOpen;
    char inName[MIDI_NAME_SIZE];
    char outName[MIDI_NAME_SIZE];
    // Every port open now.
    std::array<ListeningInput, MIDI_MAX_OPEN_PORTS> inputs;
    std::array<OpenOutput, MIDI_MAX_OPEN_PORTS> outputs;
};

// One system-exclusive message as it arrived (real-time bytes taken out), cut to the receive buffer.
struct ReceivedMessage {
    std::uint16_t length;
    std::array<std::uint8_t, RX_BUFFER_SIZE> bytes;
    int input;   // the platform's index of the input it came on
};

struct ReplyMailbox {
    // A ring of bytes that the callbacks fill and the main thread empties; `written` and `taken` count
    // bytes since the start and only grow, so their difference is what waits.
    std::array<std::uint8_t, MAILBOX_BYTES> queue;
    std::atomic<std::uint32_t> written;
    std::atomic<std::uint32_t> taken;
    std::atomic<std::uint32_t> lost;   // messages that found no room
    std::atomic<bool> filling;         // held by a callback while it writes: inputs may call from different threads
};

extern MidiPortPair midiPorts;
extern ReplyMailbox replyMailbox;

// Opens input `index` beside those open already; it becomes the pair's input.
MidiResult openMidiIn(int index);
// Opens output `index` beside those open already; it becomes the pair's output.
MidiResult openMidiOut(int index);
// Close every open input, or every open output: 1 when anything was open, else 0.
int closeMidiIn();
int closeMidiOut();
// Close every input, or output, but the one with this index, which becomes the pair's.
void keepMidiInOnly(int index);
// Closes the one input with this index.
void closeMidiInOnly(int index);
void keepMidiOutOnly(int index);
bool midiInIsOpen(int index);
bool midiOutIsOpen(int index);
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
