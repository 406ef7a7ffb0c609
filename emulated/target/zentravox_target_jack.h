// JACK: the client NAME-out with the port the target answers on, a JACK MIDI output of our own rather
// than RtMidi's (whose output frees its queue while its last cycle may still read it). It also finds
// other clients and ports by name, and notices the server going away.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include <jack/jack.h>

#include "jackmidi/jack_midi_output.h"

namespace zentravox_target {

struct JackAnswerPort {
    jack_client_t* client = nullptr;
    JackMidiOutput output;
    std::atomic<bool> serverGone{false};
};

enum class JackOpened { OPENED, NO_SERVER, NAME_TAKEN, FAILED };

// libjack's own messages off; we say what went wrong in our words.
void silenceJack();
// The client takes exactly `clientName`: JACK would otherwise quietly rename it.
JackOpened openAnswerPort(JackAnswerPort& answer, const std::string& clientName, const std::string& portName);
void closeAnswerPort(JackAnswerPort& answer);
bool jackClientExists(JackAnswerPort& answer, const std::string& name);
// Whether every client can find these ports by name (within 5 s).
bool portsVisible(JackAnswerPort& answer, std::initializer_list<std::string> names);
// Queues the messages in order, waiting for room while the server takes what waits: false when the
// server has gone or `stopping` says so.
bool jackAnswer(JackAnswerPort& answer, const std::vector<std::vector<std::uint8_t>>& messages,
                const std::function<bool()>& stopping);

}  // namespace zentravox_target
