// Keeping RtMidi, ALSA and JACK off the console, which belongs to the program alone.
#pragma once

#include <RtMidi.h>

#include <atomic>
#include <memory>
#include <string>

namespace rtmidi_backend {

// Once per process: the libraries' own error printers muted, and libjack kept from starting a server.
void ensureQuiet();

// libjack opens its metadata database (Berkeley DB, under /dev/shm) with every client it opens, and
// that library writes its errors straight to the standard error descriptor, past every handler: where
// /dev/shm is missing, "/dev/shm/jack_db-0/__db.001: No such file or directory". Around a call that
// may open a JACK client, the descriptor points at /dev/null; what muteStandardError returns is given
// back to restoreStandardError. Standard output is never touched.
int muteStandardError();
void restoreStandardError(int saved);

// An RtMidiIn or RtMidiOut on `api`, or null where that system does not run. Errors RtMidi reports later
// set `failed` instead of being printed.
template <class Port>
std::unique_ptr<Port> makeQuietly(RtMidi::Api api, const std::string& clientName, std::atomic<bool>& failed);

}  // namespace rtmidi_backend
