// A build without JACK's development files: no JACK port is ever listed, so none of this is reached.
#include "midi/rtmidi_jack_link.h"

namespace rtmidi_backend {

bool jackServerRuns(const std::string&) { return false; }
JackLink* openJackLink(const std::string&, bool) { return nullptr; }
void closeJackLink(JackLink*& link) { link = nullptr; }
bool jackLinkAlive(const JackLink&) { return false; }
MidiResult connectJackInput(JackLink&, const std::string&, const std::string&) { return MIDI_ERROR; }
MidiResult connectJackOutput(JackLink&, const std::string&, const std::string&) { return MIDI_ERROR; }
bool jackSend(JackLink&, const std::uint8_t*, std::uint16_t) { return false; }
bool jackSendDone(JackLink&) { return true; }

}  // namespace rtmidi_backend
