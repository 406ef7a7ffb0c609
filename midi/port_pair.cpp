#include "port_pair.h"

#include <cstring>

MidiPortPair midiPorts;
ReplyMailbox replyMailbox;

namespace {

// MIDI lets a real-time byte (clock F8, active sensing FE, ... FF) fall anywhere, inside a
// system-exclusive message too (a clock on the same cable, a merge): it belongs to no message.
constexpr bool isRealTime(std::uint8_t byte) { return byte >= 0xF8; }

constexpr std::size_t HEADER_BYTES = 3;   // the length, low byte first, and the input's index

void putByte(std::uint32_t at, std::uint8_t byte) { replyMailbox.queue[at % MAILBOX_BYTES] = byte; }
std::uint8_t byteAt(std::uint32_t at) { return replyMailbox.queue[at % MAILBOX_BYTES]; }

// Keeps one message behind its length and input, or counts it lost when there is no room.
void keepMessage(const std::uint8_t* bytes, std::uint16_t length, int input) {
    while (replyMailbox.filling.exchange(true, std::memory_order_acquire)) {
    }
    const std::uint32_t written = replyMailbox.written.load(std::memory_order_relaxed);
    const std::uint32_t waiting = written - replyMailbox.taken.load(std::memory_order_acquire);
    if (MAILBOX_BYTES - waiting < HEADER_BYTES + length) {
        replyMailbox.lost.fetch_add(1);
    } else {
        putByte(written, static_cast<std::uint8_t>(length));
        putByte(written + 1, static_cast<std::uint8_t>(length >> 8));
        putByte(written + 2, static_cast<std::uint8_t>(input));
        for (std::uint16_t i = 0; i < length; ++i) putByte(written + HEADER_BYTES + i, bytes[i]);
        replyMailbox.written.store(written + HEADER_BYTES + length, std::memory_order_release);
    }
    replyMailbox.filling.store(false, std::memory_order_release);
}

// The input a receive buffer belongs to: its buffers are its own, wherever the platform hands them back.
ListeningInput* inputOwning(const MidiBuffer* buffer) {
    for (ListeningInput& input : midiPorts.inputs)
        if (buffer >= input.rxHeader.data() && buffer < input.rxHeader.data() + RX_BUFFER_COUNT) return &input;
    return nullptr;
}

ListeningInput* inputWithIndex(int index) {
    for (ListeningInput& input : midiPorts.inputs)
        if (input.open == 1 && input.index == index) return &input;
    return nullptr;
}

OpenOutput* outputWithIndex(int index) {
    for (OpenOutput& output : midiPorts.outputs)
        if (output.open == 1 && output.index == index) return &output;
    return nullptr;
}

void makePairInput(const ListeningInput& input) {
    midiPorts.in = input.handle;
    std::memcpy(midiPorts.inName, input.name, sizeof midiPorts.inName);
    midiPorts.inOpen = 1;
}

void makePairOutput(const OpenOutput& output) {
    midiPorts.out = output.handle;
    std::memcpy(midiPorts.outName, output.name, sizeof midiPorts.outName);
    midiPorts.outOpen = 1;
}

// The flag goes first: the buffers that the close hands back must not be queued again.
void closeInput(ListeningInput& input) {
    input.open = 0;
    platformCloseInput(input.handle);
}

void closeOutput(OpenOutput& output) {
    output.open = 0;
    platformCloseOutput(output.handle);
}

}  // namespace

MidiResult openMidiIn(int index) {
    ListeningInput* input = inputWithIndex(index);
    if (input != nullptr) {
        makePairInput(*input);
        return MIDI_OK;
    }
    for (ListeningInput& free : midiPorts.inputs) {
        if (free.open != 0) continue;
        input = &free;
        break;
    }
    if (input == nullptr) return MIDI_ERROR;
    MidiInHandle handle = 0;
    MidiResult result = platformOpenInput(index, onMidiInput, handle);
    if (result != MIDI_OK) return result;
    input->handle = handle;
    input->index = index;
    // A port whose name cannot be read keeps an empty name.
    if (!platformInputName(index, input->name)) input->name[0] = '\0';
    for (MidiBuffer& header : input->rxHeader) {
        header = MidiBuffer{input->rx[&header - input->rxHeader.data()].data(), RX_BUFFER_SIZE, 0};
        platformQueueInputBuffer(handle, header);
    }
    input->open = 1;
    result = platformStartInput(handle);
    if (result != MIDI_OK) {
        // An input that will not start is of no use; release it here so nothing stays open.
        closeInput(*input);
        return result;
    }
    makePairInput(*input);
    return MIDI_OK;
}

MidiResult openMidiOut(int index) {
    OpenOutput* output = outputWithIndex(index);
    if (output != nullptr) {
        makePairOutput(*output);
        return MIDI_OK;
    }
    for (OpenOutput& free : midiPorts.outputs) {
        if (free.open != 0) continue;
        output = &free;
        break;
    }
    if (output == nullptr) return MIDI_ERROR;
    MidiOutHandle handle = 0;
    const MidiResult result = platformOpenOutput(index, handle);
    if (result != MIDI_OK) return result;
    output->handle = handle;
    output->index = index;
    if (!platformOutputName(index, output->name)) output->name[0] = '\0';
    output->open = 1;
    makePairOutput(*output);
    return MIDI_OK;
}

int closeMidiIn() {
    int closed = 0;
    midiPorts.inOpen = 0;
    for (ListeningInput& input : midiPorts.inputs) {
        if (input.open != 1) continue;
        closeInput(input);
        closed = 1;
    }
    return closed;
}

int closeMidiOut() {
    int closed = 0;
    midiPorts.outOpen = 0;
    for (OpenOutput& output : midiPorts.outputs) {
        if (output.open != 1) continue;
        closeOutput(output);
        closed = 1;
    }
    return closed;
}

void keepMidiInOnly(int index) {
    for (ListeningInput& input : midiPorts.inputs)
        if (input.open == 1 && input.index != index) closeInput(input);
    if (ListeningInput* kept = inputWithIndex(index)) makePairInput(*kept);
    else midiPorts.inOpen = 0;
}

void closeMidiInOnly(int index) {
    ListeningInput* input = inputWithIndex(index);
    if (input == nullptr) return;
    if (input->handle == midiPorts.in) midiPorts.inOpen = 0;
    closeInput(*input);
}

void keepMidiOutOnly(int index) {
    for (OpenOutput& output : midiPorts.outputs)
        if (output.open == 1 && output.index != index) closeOutput(output);
    if (OpenOutput* kept = outputWithIndex(index)) makePairOutput(*kept);
    else midiPorts.outOpen = 0;
}

bool midiInIsOpen(int index) { return inputWithIndex(index) != nullptr; }
bool midiOutIsOpen(int index) { return outputWithIndex(index) != nullptr; }

void onMidiInput(MidiInHandle handle, MidiInputKind kind, MidiBuffer* buffer) {
    if (kind != MIDI_INPUT_LONG_DATA || buffer == nullptr) return;
    ListeningInput* input = inputOwning(buffer);
    // Copied out at once, so that the buffer can go back to the platform for the next message.
    std::array<std::uint8_t, RX_BUFFER_SIZE> message;
    std::uint16_t length = 0;
    const std::uint16_t recorded = buffer->recorded < buffer->capacity ? buffer->recorded : buffer->capacity;
    for (std::uint16_t i = 0; i < recorded && length < message.size(); ++i)
        if (!isRealTime(buffer->data[i])) message[length++] = buffer->data[i];
    // A message too short to be a reply (a lone F0, a buffer handed back empty) carries nothing.
    if (length > 1) keepMessage(message.data(), length, input != nullptr ? input->index.load() : -1);
    if (input != nullptr && input->open == 1) {
        platformReleaseInputBuffer(handle, *buffer);
        buffer->recorded = 0;
        platformQueueInputBuffer(handle, *buffer);
    }
}

bool takeMessage(ReceivedMessage& message) {
    const std::uint32_t taken = replyMailbox.taken.load(std::memory_order_relaxed);
    if (replyMailbox.written.load(std::memory_order_acquire) == taken) return false;
    message.length = static_cast<std::uint16_t>(byteAt(taken) | byteAt(taken + 1) << 8);
    message.input = static_cast<std::int8_t>(byteAt(taken + 2));
    for (std::uint16_t i = 0; i < message.length; ++i) message.bytes[i] = byteAt(taken + HEADER_BYTES + i);
    replyMailbox.taken.store(taken + HEADER_BYTES + message.length, std::memory_order_release);
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
