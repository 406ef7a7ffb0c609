// A libjack client of our own beside each of RtMidi's JACK ports. RtMidi on JACK reports success for
// connections it never made and cannot tell when its queued messages have gone out; this client makes
// and checks the connections by name, notices the server going away and, for an output, counts what our
// port has put on the wire in each cycle. Where the build has no JACK, every call here fails.
#pragma once

#include <cstdint>
#include <string>

#include "midi/midi_platform.h"

namespace rtmidi_backend {

struct JackLink;

// Whether a JACK server answers a client named probeName, which leaves again at once.
bool jackServerRuns(const std::string& probeName);

// Null when no server takes the client. An output's link also counts the bytes its port sends.
JackLink* openJackLink(const std::string& clientName, bool countsOutput);
void closeJackLink(JackLink*& link);

// Connects the port `ours` (just made by RtMidi) to or from `peer`, and waits until the server shows it.
// MIDI_ERROR when our port never shows, MIDI_BAD_DEVICE when the peer is gone or the connection fails.
MidiResult connectJackInput(JackLink& link, const std::string& ours, const std::string& peer);
MidiResult connectJackOutput(JackLink& link, const std::string& ours, const std::string& peer);

// Before a message of `length` bytes goes to RtMidi: false when the peer is no longer connected.
bool jackSendBegins(JackLink& link, std::uint16_t length);
// Whether the messages sent so far count as out; false while too much waits, or the server has stalled.
bool jackSendDone(JackLink& link);

}  // namespace rtmidi_backend
