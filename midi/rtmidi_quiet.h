// Keeping RtMidi, ALSA and JACK off the console, which belongs to the program alone.
#pragma once

#include <RtMidi.h>

#include <atomic>
#include <memory>
#include <string>

namespace rtmidi_backend {

// Once per process: the libraries' own error printers muted, and libjack kept from starting a server.
void ensureQuiet();

// An RtMidiIn or RtMidiOut on `api`, or null where that system does not run. Errors RtMidi reports later
// set `failed` instead of being printed.
template <class Port>
std::unique_ptr<Port> makeQuietly(RtMidi::Api api, const std::string& clientName, std::atomic<bool>& failed);

}  // namespace rtmidi_backend
