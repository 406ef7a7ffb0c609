// The ports the program may try: every port of the ALSA sequencer, then of JACK, less the program's own,
// counted into a list that the seam's indices refer to.
#pragma once

#include <RtMidi.h>

#include <string>

#include "midi/midi_platform.h"

namespace rtmidi_backend {

struct PortEntry {
    RtMidi::Api api;
    std::string name;   // whole, as the system names it: two ports alike in 31 characters stay apart
};

// A client name of this process for `role`, new with every call; its ports are never listed.
std::string newClientName(const char* role);

// What the user is shown of a port named `whole`, within 31 characters: on ALSA without the client and
// port numbers, and the port's own name when "client:port" is still too long.
std::string shownPortName(RtMidi::Api api, const std::string& whole);

// The name at `index` of the inputs' or outputs' list. A list is taken anew when its counting starts
// (index 0) while none of its ports is in use, so an index keeps the port it was counted for.
bool listedName(bool inputs, int index, bool inUse, char (&name)[MIDI_NAME_SIZE]);
// The port at `index` of the list, taken now if it has not been yet.
bool listedEntry(bool inputs, int index, PortEntry& entry);
void forgetLists();

// The index of a port in RtMidi's list as it is now; the lists move as ports come and go.
bool currentIndex(RtMidi& rt, const std::string& name, unsigned& index);

}  // namespace rtmidi_backend
