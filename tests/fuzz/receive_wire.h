// The messages a receive fuzz run put on the wire, read back: handshakes, data messages grouped into
// sendings of whole, unchanged records of the image, and the deliveries that can back a claim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "receive_world.h"

struct Sent {
    std::size_t event;   // index in the event log
    int port;
    std::string text;    // between F0 and F7
};

struct Sending {
    int record;
    std::size_t firstEvent, lastEvent;
    bool whole;
};

// The data messages as sendings of the image's records: each the record before it again or the next
// one, starting from the first; only the very last may be cut short.
std::vector<Sending> readSendings(const Case& c, const std::vector<Sent>& data);
bool isIdent(const Bytes& bytes);
// A message as the program reads it: real-time bytes inside it are no part of it.
Bytes withoutRealTime(const Bytes& bytes);
// The code the program reads from a message, or -1 for a message too short to have one.
int codeOf(const Bytes& bytes);
// The deliveries of a system-exclusive message with `code` that may have reached the program, as indices
// in the event log.
std::vector<std::size_t> evidenceOf(const Case& c, const std::vector<SimEvent>& events, std::uint8_t code);
// Window ends are event indices; `after` is -1 for "from the start of the log".
bool anyBetween(const std::vector<std::size_t>& evidence, long after, std::size_t before);
