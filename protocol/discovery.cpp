#include "protocol/discovery.h"

#include <array>
#include <cstdio>

#include "midi/midi_ports.h"
#include "midi/sysex.h"
#include "protocol/reply_wait.h"
#include "protocol/wire.h"

namespace {

// Ports are numbered without gaps: counting stops at the first index that does not exist.
int countPorts(bool (*portName)(int, char (&)[MIDI_NAME_SIZE])) {
    char name[MIDI_NAME_SIZE];
    int count = 0;
    while (count < MAX_PORTS_PER_KIND && portName(count, name)) ++count;
    return count;
}

// Lets an input that has just opened deliver whatever it held, then drops it: those are answers to
// handshakes sent while it was closed, on another pair, and must never select a pair. The quiet polls
// must come in a row: held answers may pour out in bursts with gaps between them.
void letInputSettle() {
    int quietPolls = 0;
    for (int poll = 0; poll < INPUT_SETTLE_LIMIT_POLLS && quietPolls < INPUT_QUIET_POLLS; ++poll) {
        ReceivedMessage dropped;
        bool anything = false;
        while (takeMessage(dropped)) anything = true;
        quietPolls = anything ? 0 : quietPolls + 1;
        platformSleep(POLL_INTERVAL_MS);
    }
    clearReplyMailbox();
}

std::uint8_t handshakeOpenPair(const std::array<std::uint8_t, identToken.size()>& payload, std::uint8_t expected,
                               HandshakeAnswers& answers) {
    for (int attempt = 1; attempt <= HANDSHAKES_PER_PAIR; ++attempt) {
        // A failed send simply goes unanswered.
        sendSysEx(payload.data(), static_cast<std::uint16_t>(payload.size()));
        std::uint8_t code = 0;
        // Any code but the two a target answers a handshake with is no answer: the next handshake
        // follows at once, unless an answer came in the same breath.
        int polls = 0;
        bool answered = waitForReply(HANDSHAKE_WAIT_POLLS, code, polls);
        while (answered && code != expected && code != REPLY_RESET_NEEDED) answered = takeReply(code);
        if (!answered) continue;
        // The target answers in turn: what came was the answer to the oldest handshake, and the later
        // ones may still be answered.
        answers.owed = attempt - 1;
        answers.lateMs = static_cast<std::uint32_t>(((attempt - 1) * HANDSHAKE_WAIT_POLLS + polls) * POLL_INTERVAL_MS);
        return code == expected ? DEVICE_READY : REPLY_RESET_NEEDED;
    }
    return DEVICE_NOT_FOUND;
}

}  // namespace

std::uint8_t findUpdateDevice(std::uint8_t expected, HandshakeAnswers& answers) {
    const int inCount = countPorts(platformInputName);
    const int outCount = countPorts(platformOutputName);
    const std::array<std::uint8_t, identToken.size()> payload = identToken;

    std::uint8_t outcome = DEVICE_NOT_FOUND;
    answers = HandshakeAnswers{};
    for (int in = 0; in < inCount && outcome == DEVICE_NOT_FOUND; ++in) {
        if (openMidiIn(in) != MIDI_OK) continue;
        if (outCount > 0) letInputSettle();
        for (int out = 0; out < outCount && outcome == DEVICE_NOT_FOUND; ++out) {
            if (openMidiOut(out) != MIDI_OK) continue;
            // An answer meant for an earlier pair must not select this one.
            clearReplyMailbox();
            outcome = handshakeOpenPair(payload, expected, answers);
            if (outcome == DEVICE_NOT_FOUND) closeMidiOut();
        }
        if (outcome == DEVICE_NOT_FOUND) closeMidiIn();
    }

    if (outcome != DEVICE_NOT_FOUND) {
        std::printf("The Update Device is Open successfully:\n");
        std::printf("MIDIIN Device: %s\n", midiPorts.inName);
        std::printf("MIDIOUT Device: %s\n", midiPorts.outName);
    } else {
        std::printf("\nFailed: Can't find the suitable device to update!\n\n");
    }
    return outcome;
}
