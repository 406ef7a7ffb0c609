#include "sysex.h"

#include <array>
#include <cstring>

#include "port_pair.h"

namespace {

MidiResult sendOn(MidiOutHandle out, const std::uint8_t* payload, std::uint16_t length) {
    if (length > SYSEX_PAYLOAD_LIMIT) return MIDI_ERROR;
    std::array<std::uint8_t, 64> message{};
    message[0] = 0xF0;
    if (length > 0) std::memcpy(&message[1], payload, length);
    message[length + 1] = 0xF7;

    MidiResult result = platformBeginSend(out, message.data(), static_cast<std::uint16_t>(length + 2));
    if (result != MIDI_OK) return result;
    for (int poll = 0; poll < SEND_WAIT_POLLS; ++poll) {
        if (platformSendDone(out) != MIDI_STILL_PLAYING) return MIDI_OK;
        platformSleep(1);
    }
    // A port that never finishes (a driver hung on an unplugged cable) must not hang the update.
    platformAbandonSend(out);
    return MIDI_STILL_PLAYING;
}

}  // namespace

MidiResult sendSysEx(const std::uint8_t* payload, std::uint16_t length) { return sendOn(midiPorts.out, payload, length); }

MidiResult sendSysExTo(int outputIndex, const std::uint8_t* payload, std::uint16_t length) {
    for (const OpenOutput& output : midiPorts.outputs)
        if (output.open == 1 && output.index == outputIndex) return sendOn(output.handle, payload, length);
    return MIDI_BAD_DEVICE;
}

void byteToHex(std::uint8_t value, char* out) {
    constexpr char digits[] = "0123456789ABCDEF";
    out[0] = digits[value >> 4];
    out[1] = digits[value & 0x0F];
}
