// The one open pair of MIDI ports and the one-slot mailbox that the input callback fills.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "midi_platform.h"

constexpr std::uint16_t RX_BUFFER_SIZE = 200;

struct MidiPortPair {
    MidiInHandle in;
    MidiOutHandle out;
    std::atomic<std::uint8_t> inOpen;   // also tells the callback whether to re-arm the receive buffer
    std::uint8_t outOpen;
    char inName[MIDI_NAME_SIZE];
    char outName[MIDI_NAME_SIZE];
};

struct ReplyMailbox {
    std::array<std::uint8_t, RX_BUFFER_SIZE> rx;
    MidiBuffer rxHeader;
    // The length of the latest system-exclusive message (low 16 bits) and its reply code rx[1] (bits
    // 16-23), stored together so that a later message cannot change the code of a length already seen.
    std::atomic<std::uint32_t> reply;
};

extern MidiPortPair midiPorts;
extern ReplyMailbox replyMailbox;

MidiResult openMidiIn(int index);
MidiResult openMidiOut(int index);
int closeMidiIn();
int closeMidiOut();
void onMidiInput(MidiInHandle handle, MidiInputKind kind, MidiBuffer* buffer);

// Bytes recorded in the latest system-exclusive message; 0 when nothing new has arrived.
std::int16_t replyLength();
// A reply is a message of two or more bytes: takes it (the mailbox reads 0 again) and gives its code.
bool takeReply(std::uint8_t& code);
void clearReplyMailbox();
