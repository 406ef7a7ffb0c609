// Whole MIDI messages out of a stream of bytes, as a device on a raw MIDI line (a DIN cable, a USB
// MIDI function) has to make them: a system-exclusive message from F0 to F7, any other by the length
// its status byte gives, with running status. Real-time bytes (F8..FF) are messages of their own and
// may fall inside a system-exclusive message without ending it. A status byte that interrupts a
// system-exclusive message ends it as it is, without F7: the target sees what the line carried.
// Data bytes without a status, a lone F7 and the undefined F4/F5 are dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

struct MidiByteStream {
    std::vector<std::uint8_t> message;   // gathered so far
    std::size_t expected = 0;            // length of the short message under way; 0: none
    std::uint8_t runningStatus = 0;      // a channel status that data bytes may go on under
    bool inSysex = false;
};

using MidiMessageSink = std::function<void(const std::uint8_t* bytes, std::size_t length)>;

// Feeds bytes; each message that becomes whole goes to `sink`, in the order of the stream.
void midiStreamFeed(MidiByteStream& stream, const std::uint8_t* bytes, std::size_t length, const MidiMessageSink& sink);

