// A build without JACK's development files: no JACK port is ever listed, so none of this is reached.
#include "midi/rtmidi_jack_link.h"

namespace rtmidi_backend {

JackLink* openJackLink(const std::string&) { return nullptr; }
JackLink* openJackOutput(const std::string&) { return nullptr; }
void closeJackLink(JackLink*& link) { link = nullptr; }
JackLink* shareJackWatcher(const std::string&) { return nullptr; }
void leaveJackWatcher() {}
void closeJackWatcher() {}
bool jackPortNames(bool, const std::string&, std::vector<std::string>&) { return false; }
MidiResult connectJackInput(JackLink&, const std::string&, const std::string&) { return MIDI_ERROR; }
MidiResult connectJackOutput(JackLink&, const std::string&) { return MIDI_ERROR; }
bool jackSend(JackLink&, const std::uint8_t*, std::uint16_t) { return false; }
bool jackSendDone(JackLink&) { return true; }

}  // namespace rtmidi_backend
