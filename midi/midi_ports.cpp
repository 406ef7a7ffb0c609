#include "midi_ports.h"

#include <cstring>

MidiPortPair midiPorts;
ReplyMailbox replyMailbox;

namespace {

// MIDI lets a real-time byte (clock F8, active sensing FE, ... FF) fall anywhere, inside a
// system-exclusive message too (a clock on the same cable, a merge): it belongs to no message.
constexpr bool isRealTime(std::uint8_t byte) { return byte >= 0xF8; }

constexpr std::size_t LENGTH_BYTES = 2;

void queueBuffer(MidiInHandle handle, int slot) {
    replyMailbox.rxHeader[slot] = MidiBuffer{replyMailbox.rx[slot].data(), RX_BUFFER_SIZE, 0};
    platformQueueInputBuffer(handle, replyMailbox.rxHeader[slot]);
}

void putByte(std::uint32_t at, std::uint8_t byte) { replyMailbox.queue[at % MAILBOX_BYTES] = byte; }
std::uint8_t byteAt(std::uint32_t at) { return replyMailbox.queue[at % MAILBOX_BYTES]; }

// Keeps one message behind its length, or notes that it found no room.
void keepMessage(const std::uint8_t* bytes, std::uint16_t length) {
    while (replyMailbox.filling.exchange(true, std::memory_order_acquire)) {
    }
    const std::uint32_t written = replyMailbox.written.load(std::memory_order_relaxed);
    const std::uint32_t waiting = written - replyMailbox.taken.load(std::memory_order_acquire);
    if (MAILBOX_BYTES - waiting < LENGTH_BYTES + length) {
        replyMailbox.lost.fetch_add(1);
    } else {
        putByte(written, static_cast<std::uint8_t>(length));
        putByte(written + 1, static_cast<std::uint8_t>(length >> 8));
        for (std::uint16_t i = 0; i < length; ++i) putByte(written + LENGTH_BYTES + i, bytes[i]);
        replyMailbox.written.store(written + LENGTH_BYTES + length, std::memory_order_release);
    }
    replyMailbox.filling.store(false, std::memory_order_release);
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
    for (int slot = 0; slot < RX_BUFFER_COUNT; ++slot) queueBuffer(handle, slot);
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
    // The flag goes first: the buffers that the close hands back must not be queued again.
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
    // Copied out at once, so that the buffer can go back to the platform for the next message.
    std::array<std::uint8_t, RX_BUFFER_SIZE> message;
    std::uint16_t length = 0;
    const std::uint16_t recorded = buffer->recorded < buffer->capacity ? buffer->recorded : buffer->capacity;
    for (std::uint16_t i = 0; i < recorded && length < message.size(); ++i)
        if (!isRealTime(buffer->data[i])) message[length++] = buffer->data[i];
    // A message too short to be a reply (a lone F0, a buffer handed back empty) carries nothing.
    if (length > 1) keepMessage(message.data(), length);
    if (midiPorts.inOpen == 1) {
        platformReleaseInputBuffer(handle, *buffer);
        buffer->recorded = 0;
        platformQueueInputBuffer(handle, *buffer);
    }
}

bool takeMessage(ReceivedMessage& message) {
    const std::uint32_t taken = replyMailbox.taken.load(std::memory_order_relaxed);
    if (replyMailbox.written.load(std::memory_order_acquire) == taken) return false;
    message.length = static_cast<std::uint16_t>(byteAt(taken) | byteAt(taken + 1) << 8);
    for (std::uint16_t i = 0; i < message.length; ++i) message.bytes[i] = byteAt(taken + LENGTH_BYTES + i);
    replyMailbox.taken.store(taken + LENGTH_BYTES + message.length, std::memory_order_release);
    return true;
}

bool takeReply(std::uint8_t& code) {
    ReceivedMessage message;
    if (!takeMessage(message)) return false;
    code = message.bytes[1];
    return true;
}

void clearReplyMailbox() {
    replyMailbox.taken.store(replyMailbox.written.load(std::memory_order_acquire), std::memory_order_release);
}

std::uint32_t mailboxLost() { return replyMailbox.lost.load(); }
