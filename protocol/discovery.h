// Finding the target among every pairing of a MIDI input with a MIDI output.
#pragma once

#include <cstdint>

constexpr std::uint8_t DEVICE_NOT_FOUND = 0;
constexpr std::uint8_t DEVICE_READY = 1;
// The third outcome is the target's own REPLY_RESET_NEEDED (0x15).

// What the handshakes on the kept pair tell the transfer that follows.
struct HandshakeAnswers {
    // Handshakes that have had no answer yet: a target that answers one after its wait has ended still
    // answers it, during the transfer, and that answer belongs to no record.
    int owed;
    // How long the target took to answer the oldest handshake, in ms: the first sign of its pace.
    std::uint32_t lateMs;
};

// Tries the pairs, inputs outer and outputs inner, and leaves the first pair that answers `expected`
// or the reset request open. Prints the ports' names, or that no device was found.
std::uint8_t findUpdateDevice(std::uint8_t expected, HandshakeAnswers& answers);
