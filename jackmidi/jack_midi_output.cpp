#include "jackmidi/jack_midi_output.h"

#include <jack/midiport.h>

namespace {

// Far more than is ever waiting: the program's sender lets no more than a few KiB wait, and the target's
// answers are tens of bytes.
constexpr std::size_t QUEUE_BYTES = 32 * 1024;

using Length = std::uint32_t;   // each message is queued behind its length

int writeCycle(jack_nframes_t frames, void* context);

}  // namespace

bool jackOutputRegister(JackMidiOutput& output, jack_client_t* client, const char* portName) {
    output.port = jack_port_register(client, portName, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (output.port == nullptr) return false;
    output.queue = jack_ringbuffer_create(QUEUE_BYTES);
    return output.queue != nullptr;
}

bool jackOutputOpen(JackMidiOutput& output, jack_client_t* client, const char* portName) {
    return jackOutputRegister(output, client, portName) &&
           jack_set_process_callback(client, writeCycle, &output) == 0;
}

bool jackOutputQueue(JackMidiOutput& output, const std::uint8_t* bytes, std::size_t length) {
    return jackOutputQueueTogether(output, &bytes, &length, 1);
}

bool jackOutputQueueTogether(JackMidiOutput& output, const std::uint8_t* const* messages, const std::size_t* lengths,
                             std::size_t count) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (lengths[i] == 0) return false;
        total += sizeof(Length) + lengths[i];
    }
    jack_ringbuffer_data_t space[2];
    jack_ringbuffer_get_write_vector(output.queue, space);
    if (space[0].len + space[1].len < total) return false;
    // Written where the cycle cannot see it yet; one advance then shows the cycle every message at once.
    std::size_t at = 0;
    const auto put = [&](const void* from, std::size_t length) {
        const char* bytes = static_cast<const char*>(from);
        for (std::size_t i = 0; i < length; ++i, ++at) {
            if (at < space[0].len) space[0].buf[at] = bytes[i];
            else space[1].buf[at - space[0].len] = bytes[i];
        }
    };
    for (std::size_t i = 0; i < count; ++i) {
        const Length header = static_cast<Length>(lengths[i]);
        put(&header, sizeof header);
        put(messages[i], lengths[i]);
    }
    jack_ringbuffer_write_advance(output.queue, total);
    return true;
}

namespace {

int writeCycle(jack_nframes_t frames, void* context) {
    jackOutputWriteCycle(*static_cast<JackMidiOutput*>(context), frames);
    return 0;
}

}  // namespace

void jackOutputWriteCycle(JackMidiOutput& output, jack_nframes_t frames) {
    void* buffer = jack_port_get_buffer(output.port, frames);
    jack_midi_clear_buffer(buffer);
    bool wroteAny = false;
    Length length = 0;
    while (jack_ringbuffer_peek(output.queue, reinterpret_cast<char*>(&length), sizeof length) == sizeof length &&
           jack_ringbuffer_read_space(output.queue) >= sizeof length + length) {
        jack_midi_data_t* space = jack_midi_event_reserve(buffer, 0, length);
        if (space == nullptr && wroteAny) return;   // this cycle is full: the rest goes in the next
        jack_ringbuffer_read_advance(output.queue, sizeof length);
        if (space == nullptr) {
            // Larger than a whole cycle's buffer: it can never go out, and must not hold up the rest.
            jack_ringbuffer_read_advance(output.queue, length);
        } else {
            jack_ringbuffer_read(output.queue, reinterpret_cast<char*>(space), length);
            wroteAny = true;
        }
        output.bytesOut.fetch_add(length, std::memory_order_release);
    }
}

void jackOutputFree(JackMidiOutput& output) {
    if (output.queue != nullptr) jack_ringbuffer_free(output.queue);
    output.queue = nullptr;
    output.port = nullptr;
}
