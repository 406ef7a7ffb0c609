// Clients of our own beside RtMidi's JACK inputs (one watcher serves them all, and the lists), and the
// whole of the JACK outputs (one host holds every output's port). RtMidi on JACK reports success for
// connections it never made, cannot tell when its queued messages have gone out, and its output frees
// its queue while its last cycle may still read it. These clients make and check the connections by
// name, notice the server going away and, for an output, own the port and know what it has put on the
// wire. Where the build has no JACK, every call here fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "midi/midi_platform.h"

namespace rtmidi_backend {

struct JackLink;

// A client without ports; null when no server takes it.
JackLink* openJackLink(const std::string& clientName);
// An output: a port of the one client of ours that holds every output, opened as hostName with the
// first; null when no server takes it or it holds 16 already.
JackLink* openJackOutput(const std::string& hostName);
void closeJackLink(JackLink*& link);

// The watcher: one link without ports that lists the ports and connects every input. It opens, named
// clientName, when first needed; inputs share it and leave it, and it closes when the last input leaves
// or at closeJackWatcher. Null when no server takes it. The program's thread only.
JackLink* shareJackWatcher(const std::string& clientName);
void leaveJackWatcher();
void closeJackWatcher();

// The MIDI ports of the server that an input may read (other clients' outputs) or an output may write,
// in the server's order, whole names, through the watcher. False when no server answers.
bool jackPortNames(bool inputs, const std::string& watcherName, std::vector<std::string>& names);

// Connects the port `ours` (RtMidi's input), or the output link's port, to or from `peer`, and waits
// until the server shows it.
// MIDI_ERROR when our port never shows, MIDI_BAD_DEVICE when the peer is gone or the connection fails.
MidiResult connectJackInput(JackLink& link, const std::string& ours, const std::string& peer);
MidiResult connectJackOutput(JackLink& link, const std::string& peer);

// Queues a message on the output: false when the peer is no longer connected or too much waits already.
bool jackSend(JackLink& link, const std::uint8_t* message, std::uint16_t length);
// Whether the messages sent so far count as out; false while too much waits, or the server has stalled.
bool jackSendDone(JackLink& link);

}  // namespace rtmidi_backend
