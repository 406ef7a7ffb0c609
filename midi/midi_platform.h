// The platform seam: everything the MIDI transport needs from the operating system, and nothing more.
// Each backend (winmm, RtMidi, the emulated target) is one file that implements these calls; the build
// links exactly one of them. The calls follow the Windows multimedia MIDI services one to one, so the
// winmm backend is a thin translation and the others imitate what winmm does.
#pragma once

#include <cstdint>

using MidiResult = std::uint16_t;           // 0 for success, otherwise the platform's own code
using MidiInHandle = std::uintptr_t;
using MidiOutHandle = std::uintptr_t;

constexpr MidiResult MIDI_OK = 0;
constexpr MidiResult MIDI_STILL_PLAYING = 65;    // winmm's MIDIERR_STILLPLAYING: the send is not done yet
constexpr MidiResult MIDI_BAD_DEVICE = 2;        // winmm's MMSYSERR_BADDEVICEID: no such port
constexpr MidiResult MIDI_ERROR = 1;             // winmm's MMSYSERR_ERROR: any other failure

// Room for a port name: 31 characters and the terminating zero, as winmm's szPname holds.
constexpr int MIDI_NAME_SIZE = 32;

// What the input callback is told about: a whole system-exclusive message in the armed buffer (winmm's
// MIM_LONGDATA), or anything else (short messages, open/close notices, errors) that carries no buffer.
enum MidiInputKind : std::uint16_t { MIDI_INPUT_LONG_DATA = 0x3C4, MIDI_INPUT_OTHER = 0 };

// A caller-owned receive buffer handed to the platform (winmm's MIDIHDR reduced to what is used).
struct MidiBuffer {
    std::uint8_t* data;
    std::uint16_t capacity;
    std::uint16_t recorded;      // bytes of the message written into data; 0 when handed back unused
};

// Called by the platform, on a thread of its own, for every received message; `buffer` is the filled
// buffer for MIDI_INPUT_LONG_DATA and null otherwise. Once called with a buffer, the platform no longer
// holds it: nothing more arrives until the callback queues a buffer again.
using MidiInputCallback = void (*)(MidiInHandle handle, MidiInputKind kind, MidiBuffer* buffer);

// Port names by index: true exactly when the port exists. Name is cut to MIDI_NAME_SIZE - 1.
bool platformInputName(int index, char (&name)[MIDI_NAME_SIZE]);
bool platformOutputName(int index, char (&name)[MIDI_NAME_SIZE]);

MidiResult platformOpenInput(int index, MidiInputCallback callback, MidiInHandle& handle);
MidiResult platformQueueInputBuffer(MidiInHandle handle, MidiBuffer& buffer);    // prepare + add
MidiResult platformReleaseInputBuffer(MidiInHandle handle, MidiBuffer& buffer);  // unprepare
MidiResult platformStartInput(MidiInHandle handle);
// Stops the input, hands a queued buffer back through the callback (nothing recorded), then closes.
MidiResult platformCloseInput(MidiInHandle handle);

MidiResult platformOpenOutput(int index, MidiOutHandle& handle);
// Starts sending one whole system-exclusive message (F0 ... F7); the bytes must stay put until
// platformSendDone says the platform is done with them.
MidiResult platformBeginSend(MidiOutHandle handle, const std::uint8_t* message, std::uint16_t length);
// MIDI_STILL_PLAYING while the message is still going out; anything else: done with the bytes.
MidiResult platformSendDone(MidiOutHandle handle);
// Gives up on a message that never finished: the platform drops it and lets go of the bytes.
void platformAbandonSend(MidiOutHandle handle);
MidiResult platformCloseOutput(MidiOutHandle handle);

void platformSleep(unsigned milliseconds);

// Run by the console programs' backends (winmm, RtMidi) at the start of every platformSleep, which only
// the program's main thread calls: there the program acts on an interruption (Ctrl-C, a closed
// terminal) between two steps of its MIDI work. Set by the program; null runs nothing.
inline void (*platformSleepHook)() = nullptr;

// Bracket the program's run: whatever the platform needs set up for its MIDI work and 1 ms sleeps
// (on Windows, 1 ms timer resolution) is taken at startup and given back at shutdown.
void platformStartup();
void platformShutdown();
