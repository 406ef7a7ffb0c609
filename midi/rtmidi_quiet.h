// Keeping RtMidi, ALSA and JACK off the console, which belongs to the program alone.
#pragma once

#include <RtMidi.h>

#include <atomic>
#include <memory>
#include <string>

namespace rtmidi_backend {

// Once per process: the libraries' own error printers muted, libjack kept from starting a server, and
// the standard error descriptor and std::cerr pointed at nothing for the rest of the process. Some of
// what the libraries say goes past every handler: RtMidi's ALSA input thread writes its input errors
// (an overrun under a flood of messages) to std::cerr and through perror(), whenever they happen, and
// libjack's metadata database (Berkeley DB) prints "/dev/shm/jack_db-0/__db.001: No such file or
// directory" with every client opened where /dev/shm is missing. Standard output is never touched.
void ensureQuiet();

// An RtMidiIn or RtMidiOut on `api`, or null where that system does not run. Errors RtMidi reports later
// set `failed` instead of being printed.
template <class Port>
std::unique_ptr<Port> makeQuietly(RtMidi::Api api, const std::string& clientName, std::atomic<bool>& failed);

}  // namespace rtmidi_backend
