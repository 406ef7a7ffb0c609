// JACK: the client NAME-out with the port the target answers on, a JACK MIDI output of our own rather
// than RtMidi's (whose output frees its queue while its last cycle may still read it). It also finds
// other clients and ports by name, and notices the server going away. A build without JACK's
// development files has zentravox_target_jack_absent.cpp instead, which never opens one.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace zentravox_target {

struct JackAnswerPort;

// libjack's own messages off; we say what went wrong in our words.
void silenceJack();
// The client outClient with its answering port portName, where no client inClient exists yet: both
// take exactly these names, as JACK would otherwise quietly rename a client whose name is taken. Null,
// with fail() said, when it cannot be had.
JackAnswerPort* openAnswerPort(const std::string& inClient, const std::string& outClient, const std::string& portName);
void closeAnswerPort(JackAnswerPort*& answer);
// Whether every client can find these ports by name (within 5 s).
bool portsVisible(JackAnswerPort& answer, std::initializer_list<std::string> names);
bool jackServerGone(JackAnswerPort& answer);
// Queues the messages in order, waiting for room while the server takes what waits: false when the
// server has gone or `stopping` says so.
bool jackAnswer(JackAnswerPort& answer, const std::vector<std::vector<std::uint8_t>>& messages,
                const std::function<bool()>& stopping);

}  // namespace zentravox_target
