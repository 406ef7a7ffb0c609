// The emulated target's model for a browser page: the same model and behaviour words as
// zentravox-target, behind a small C interface that emulated-midi.js drives. The script decides when
// each answer travels; this side only says what the target sends and after how long.
#include <emscripten.h>

#include <cctype>
#include <string>
#include <vector>

#include "emulated/model/target_behaviour.h"
#include "emulated/model/target_model.h"

namespace {

TargetBehaviour behaviour;
TargetModel model;
TargetLine line;
std::vector<TargetOutgoing> outgoing;
std::vector<std::uint8_t> message;
std::string error;

}  // namespace

extern "C" {

// Starts the target afresh with the behaviour words ("--refuse 2:20 --delay 700"); returns "" or
// what was wrong with them.
EMSCRIPTEN_KEEPALIVE const char* targetStart(const char* words) {
    std::vector<std::string> list;
    for (const char* c = words; *c != '\0';) {
        while (std::isspace(static_cast<unsigned char>(*c))) ++c;
        const char* start = c;
        while (*c != '\0' && !std::isspace(static_cast<unsigned char>(*c))) ++c;
        if (c != start) list.emplace_back(start, c);
    }
    behaviour = TargetBehaviour{};
    error.clear();
    if (!parseBehaviourWords(list, behaviour, error)) return error.c_str();
    targetReset(model, scriptFor(behaviour));
    line = TargetLine{};
    return "";
}

// Room for one message from the program, filled by the script before targetReceiveMessage.
EMSCRIPTEN_KEEPALIVE std::uint8_t* targetMessageRoom(int length) {
    message.assign(static_cast<std::size_t>(length), 0);
    return message.data();
}

// The program's message in the room has arrived whole; returns how many messages the target sends.
EMSCRIPTEN_KEEPALIVE int targetReceiveMessage() {
    outgoing.clear();
    targetRespond(behaviour, model, message.data(), message.size(), outgoing);
    return static_cast<int>(outgoing.size());
}

EMSCRIPTEN_KEEPALIVE const std::uint8_t* targetOutgoingBytes(int i) { return outgoing[i].bytes.data(); }
EMSCRIPTEN_KEEPALIVE int targetOutgoingLength(int i) { return static_cast<int>(outgoing[i].bytes.size()); }
// When message i leaves, in ms since the target started, given the time it arrived; asked in order.
// Each message takes the line for a millisecond (3 bytes at 31,250 baud, 10 bits a byte).
EMSCRIPTEN_KEEPALIVE double targetOutgoingDue(int i, double nowMs) {
    return static_cast<double>(targetLineDue(behaviour, line, static_cast<std::uint64_t>(nowMs), outgoing[i], 1));
}

// The message number at which the target leaves (its ports vanish); 0: never.
EMSCRIPTEN_KEEPALIVE int targetExitAfter() { return static_cast<int>(behaviour.exitAfter); }

EMSCRIPTEN_KEEPALIVE const std::uint8_t* targetFlash() { return model.flash.data(); }
EMSCRIPTEN_KEEPALIVE int targetFlashSize() { return static_cast<int>(model.flash.size()); }
EMSCRIPTEN_KEEPALIVE int targetHandshakes() { return model.handshakes; }
EMSCRIPTEN_KEEPALIVE int targetMessages() { return model.messages; }
EMSCRIPTEN_KEEPALIVE int targetSendings() { return static_cast<int>(model.sendings.size()); }
EMSCRIPTEN_KEEPALIVE int targetSendingCode(int i) { return model.sendings[i].code; }
EMSCRIPTEN_KEEPALIVE int targetRecordsAccepted() { return model.recordsAccepted; }
EMSCRIPTEN_KEEPALIVE int targetRecordsRefused() { return model.recordsRefused; }

}  // extern "C"
