// System-exclusive messages to the target: framing, sending and the hex text of data messages.
#pragma once

#include <cstdint>

#include "midi_platform.h"

constexpr std::uint16_t SYSEX_PAYLOAD_LIMIT = 22;
// How long sendSysEx waits for the platform to finish one message before it gives up. A 24-byte
// message needs 7.7 ms on a 31,250-baud cable (10 bits a byte); 2 s is far beyond any healthy port.
constexpr int SEND_WAIT_POLLS = 2000;   // 1 ms each

// Sends F0, the payload, F7 on the pair's output; returns once the platform is done with the message.
MidiResult sendSysEx(const std::uint8_t* payload, std::uint16_t length);
// The same on the open output with that index.
MidiResult sendSysExTo(int outputIndex, const std::uint8_t* payload, std::uint16_t length);

// One byte as two upper-case hex characters, high nibble first.
void byteToHex(std::uint8_t value, char* out);
