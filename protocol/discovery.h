// Finding the target among every pairing of a MIDI input with a MIDI output.
#pragma once

#include <cstdint>

constexpr std::uint8_t DEVICE_NOT_FOUND = 0;
constexpr std::uint8_t DEVICE_READY = 1;
// The third outcome is the target's own REPLY_RESET_NEEDED (0x15).

// Tries the pairs, inputs outer and outputs inner, and leaves the first pair that answers `expected`
// or the reset request open. Prints the ports' names, or that no device was found.
std::uint8_t findUpdateDevice(std::uint8_t expected);

// Handshakes sent on the kept pair that have had no answer yet. A target that answers a handshake
// after its wait has ended still answers it, during the transfer: that answer belongs to no record.
extern int unansweredHandshakes;
