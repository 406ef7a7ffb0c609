// The target's side of the update conversation, as the program sees it on the wire: it answers the
// identification handshake, reassembles the hex-text data messages into records by their length
// field, checks each record's checksum, answers with a reply code and keeps what it accepted in its
// flash. No platform, no ports, no clock: whoever drives the model decides when replies travel.
// Told so, it takes a record that arrives again right after it was accepted as written already, as a
// real target does that writes each record where its address says: it is accepted once more, and the
// flash keeps one copy. (Images whose records are opaque may hold two equal records in a row, so this
// is not the default.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

constexpr int TARGET_CHECKSUM = -2;   // answer what the record's checksum says: 0x1A or 0x20
constexpr int TARGET_SILENT = -1;     // send nothing

struct TargetAnswer {
    int code = TARGET_CHECKSUM;       // a reply code, TARGET_CHECKSUM or TARGET_SILENT
    unsigned delayMs = 0;             // time between the end of the question and the answer
};

struct TargetScript {
    // Handshakes are counted from 1 over the target's life. Empty: answer REPLY_READY at once.
    std::function<TargetAnswer(int handshake)> onHandshake;
    // `record` counts from 0 (the record the target is waiting for), `sending` from 1 (how often
    // that record has now arrived whole). Empty: answer by checksum at once.
    std::function<TargetAnswer(int record, int sending)> onRecord;
    bool rewritesRepeats = false;
};

struct TargetReply {
    std::vector<std::uint8_t> bytes;  // F0, code, F7
    unsigned delayMs;
};

struct TargetModel {
    TargetScript script;
    int handshakes = 0;
    int record = 0;
    int sending = 0;
    int messages = 0;                          // every message received, handshakes included
    std::vector<std::uint8_t> assembling;      // bytes of the record being reassembled
    std::vector<std::uint8_t> flash;           // accepted records, whole, in order of acceptance
    std::vector<std::uint8_t> lastAccepted;    // the record accepted last, to know it when it comes again
    unsigned lastAcceptedDelayMs = 0;
    int recordsAccepted = 0;
    int recordsRefused = 0;
    bool restarted = false;                    // answered REPLY_DONE_RESTART
};

// The target starts afresh with the given script.
void targetReset(TargetModel& target, TargetScript script);

// One whole message from the program (F0 ... F7). Appends the target's answers, if any, to `replies`.
void targetReceive(TargetModel& target, const std::uint8_t* message, std::size_t length,
                   std::vector<TargetReply>& replies);

// True when `record` (length field, payload, checksum word) adds up.
bool targetChecksumOk(const std::vector<std::uint8_t>& record);
