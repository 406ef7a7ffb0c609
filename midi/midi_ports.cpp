#include "midi_ports.h"

#include <cstring>

MidiPortPair midiPorts;
ReplyMailbox replyMailbox;

namespace {

constexpr std::uint32_t packReply(std::uint16_t length, std::uint8_t code) {
    return length | (std::uint32_t{code} << 16);
}
constexpr std::uint16_t lengthOf(std::uint32_t reply) { return static_cast<std::uint16_t>(reply); }
constexpr std::uint8_t codeOf(std::uint32_t reply) { return static_cast<std::uint8_t>(reply >> 16); }

void armReceiveBuffer(MidiInHandle handle) {
    replyMailbox.rxHeader = MidiBuffer{replyMailbox.rx.data(), RX_BUFFER_SIZE, 0};
    platformQueueInputBuffer(handle, replyMailbox.rxHeader);
}

}  // namespace

MidiResult openMidiIn(int index) {
    MidiInHandle handle = 0;
    MidiResult result = platformOpenInput(index, onMidiInput, handle);
    if (result != MIDI_OK) {
        midiPorts.inOpen = 0;
        return result;
    }
    midiPorts.in = handle;
    // A port whose name cannot be read keeps an empty name.
    if (!platformInputName(index, midiPorts.inName)) midiPorts.inName[0] = '\0';
    armReceiveBuffer(handle);
    midiPorts.inOpen = 1;
    result = platformStartInput(handle);
    if (result != MIDI_OK) {
        // An input that will not start is of no use; release it here so nothing stays open.
        closeMidiIn();
    }
    return result;
}

MidiResult openMidiOut(int index) {
    MidiOutHandle handle = 0;
    MidiResult result = platformOpenOutput(index, handle);
    if (result != MIDI_OK) {
        midiPorts.outOpen = 0;
        return result;
    }
    midiPorts.out = handle;
    if (!platformOutputName(index, midiPorts.outName)) midiPorts.outName[0] = '\0';
    midiPorts.outOpen = 1;
    return MIDI_OK;
}

int closeMidiIn() {
    if (midiPorts.inOpen != 1) return 0;
    // The flag goes first: the buffer that the close hands back must not be queued again.
    midiPorts.inOpen = 0;
    platformCloseInput(midiPorts.in);
    return 1;
}

int closeMidiOut() {
    if (midiPorts.outOpen != 1) return 0;
    midiPorts.outOpen = 0;
    platformCloseOutput(midiPorts.out);
    return 1;
}

void onMidiInput(MidiInHandle handle, MidiInputKind kind, MidiBuffer* buffer) {
    if (kind != MIDI_INPUT_LONG_DATA || buffer == nullptr) return;
    const std::uint16_t length = buffer->recorded;
    const std::uint8_t code = length > 1 ? buffer->data[1] : 0;
    // A message too short to be a reply (a lone F0, a buffer handed back empty) never takes the place
    // of a reply not yet taken: the reply would be lost, and the record it answers sent again.
    std::uint32_t seen = replyMailbox.reply.load();
    while (length > 1 || lengthOf(seen) <= 1) {
        if (replyMailbox.reply.compare_exchange_weak(seen, packReply(length, code))) break;
    }
    if (midiPorts.inOpen == 1) {
        platformReleaseInputBuffer(handle, *buffer);
        armReceiveBuffer(handle);
    }
}

std::int16_t replyLength() { return static_cast<std::int16_t>(lengthOf(replyMailbox.reply.load())); }

bool takeReply(std::uint8_t& code) {
    std::uint32_t seen = replyMailbox.reply.load();
    while (lengthOf(seen) > 1) {
        if (replyMailbox.reply.compare_exchange_weak(seen, 0)) {
            code = codeOf(seen);
            return true;
        }
    }
    return false;
}

void clearReplyMailbox() { replyMailbox.reply.store(0); }
