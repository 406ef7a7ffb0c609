#include "emulated/target/midi_byte_stream.h"

namespace {

// The length of a message, status byte included, by its status; 0 for a status with no message.
std::size_t lengthOf(std::uint8_t status) {
    switch (status & 0xF0) {
        case 0xC0:
        case 0xD0: return 2;   // program change, channel pressure
        case 0xF0: break;
        default: return 3;     // note off/on, key pressure, control change, pitch bend
    }
    switch (status) {
        case 0xF1:
        case 0xF3: return 2;   // time code quarter frame, song select
        case 0xF2: return 3;   // song position
        case 0xF6: return 1;   // tune request
        default: return 0;
    }
}

void complete(MidiByteStream& stream, const MidiMessageSink& sink) {
    sink(stream.message.data(), stream.message.size());
    stream.message.clear();
    stream.expected = 0;
}

}  // namespace

void midiStreamFeed(MidiByteStream& stream, const std::uint8_t* bytes, std::size_t length, const MidiMessageSink& sink) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = bytes[i];
        if (byte >= 0xF8) {
            sink(&byte, 1);
            continue;
        }
        if (stream.inSysex) {
            if (byte < 0x80 || byte == 0xF7) {
                stream.message.push_back(byte);
                if (byte == 0xF7) {
                    stream.inSysex = false;
                    complete(stream, sink);
                }
                continue;
            }
            stream.inSysex = false;
            complete(stream, sink);   // cut short by the status byte that follows
        }
        if (byte == 0xF0) {
            stream.message.assign(1, byte);
            stream.expected = 0;
            stream.runningStatus = 0;
            stream.inSysex = true;
            continue;
        }
        if (byte >= 0x80) {
            stream.message.clear();
            stream.expected = lengthOf(byte);
            // System common messages cancel running status; channel messages set it.
            stream.runningStatus = byte < 0xF0 ? byte : 0;
            if (stream.expected == 0) continue;
            stream.message.push_back(byte);
            if (stream.message.size() == stream.expected) complete(stream, sink);
            continue;
        }
        if (stream.expected == 0) {
            if (stream.runningStatus == 0) continue;   // a data byte that belongs to nothing
            stream.message.assign(1, stream.runningStatus);
            stream.expected = lengthOf(stream.runningStatus);
        }
        stream.message.push_back(byte);
        if (stream.message.size() == stream.expected) complete(stream, sink);
    }
}
