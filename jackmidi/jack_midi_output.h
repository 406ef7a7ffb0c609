// A MIDI output port of our own on a JACK client. One thread queues whole messages; the client's process
// callback writes them into the port's buffer at the start of the next cycle, in order, and keeps for the
// cycle after what does not fit. The queue may go only once the client is closed: libjack joins the
// process thread there. (RtMidi 5's JACK output frees its queue before it closes its client, so a cycle
// under way reads freed memory: seen as a crash when an output closes on a loaded machine.)
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

struct JackMidiOutput {
    jack_port_t* port = nullptr;
    jack_ringbuffer_t* queue = nullptr;
    std::atomic<std::uint64_t> bytesOut{0};   // message bytes written into a cycle's buffer, or dropped
};

// Registers the port on a client that is not active yet, and makes writing it out the client's process
// callback; false when the server refuses either.
bool jackOutputOpen(JackMidiOutput& output, jack_client_t* client, const char* portName);
// Registers the port and makes its queue only, on a client whose own process callback writes several
// outputs out with jackOutputWriteCycle; the client may be active. False when the server refuses.
bool jackOutputRegister(JackMidiOutput& output, jack_client_t* client, const char* portName);
// One cycle of the output: the queued messages that fit, into the port's buffer. The process thread only.
void jackOutputWriteCycle(JackMidiOutput& output, jack_nframes_t frames);
// Queues one whole message; false while the queue has no room for it.
bool jackOutputQueue(JackMidiOutput& output, const std::uint8_t* bytes, std::size_t length);
// Queues whole messages so that the cycle sees all of them at once, or none: they leave in one cycle
// when they fit in it. False while the queue has no room for all of them.
bool jackOutputQueueTogether(JackMidiOutput& output, const std::uint8_t* const* messages, const std::size_t* lengths,
                             std::size_t count);
// Only after jack_client_close has returned.
void jackOutputFree(JackMidiOutput& output);
