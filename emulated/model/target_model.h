// The target's side of the update conversation, as the program sees it on the wire: it answers the
// identification handshake, reassembles the hex-text data messages into records by their length
// field, checks each record's checksum, answers with a reply code and writes what it accepted into its
// flash. No platform, no ports, no clock: whoever drives the model decides when replies travel.
// It is a measuring instrument: the flash is what it wrote, in the order it wrote it, and a record that
// arrives whole and sound twice is written twice, as a target that writes in arrival order does. Every
// whole record that arrived is logged with what the target answered, so a test can tell which sending
// each reply answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

constexpr int TARGET_CHECKSUM = -2;   // answer what the record's checksum says: 0x1A or 0x20
constexpr int TARGET_SILENT = -1;     // send nothing
constexpr int TARGET_CHECKSUM_THEN_RESTART = -3;   // a sound record: 0x77, written and restarting; else 0x20

struct TargetAnswer {
    int code = TARGET_CHECKSUM;       // a reply code, TARGET_CHECKSUM or TARGET_SILENT
    unsigned delayMs = 0;             // time between the end of the question and the answer
};

struct TargetScript {
    // Handshakes are counted from 1 over the target's life. Empty: answer REPLY_READY at once.
    std::function<TargetAnswer(int handshake)> onHandshake;
    // `record` counts from 1 (the record the target is waiting for: one more than it has written),
    // `sending` from 1 (how often that record has now arrived whole). Empty: answer by checksum at once.
    std::function<TargetAnswer(int record, int sending)> onRecord;
};

// No sending: the reply answers a handshake.
constexpr int TARGET_NO_SENDING = -1;

struct TargetReply {
    std::vector<std::uint8_t> bytes;  // F0, code, F7
    unsigned delayMs;
    int answers;                      // index in TargetModel::sendings, or TARGET_NO_SENDING
};

// One whole record as it arrived, and what the target made of it.
struct TargetSending {
    std::vector<std::uint8_t> bytes;
    int code;                         // the reply code sent, or TARGET_SILENT
    bool written;                     // written into the flash
};

struct TargetModel {
    TargetScript script;
    int handshakes = 0;
    int record = 1;                            // the record the target is waiting for, from 1
    int sending = 0;
    int messages = 0;                          // every message received, handshakes included
    std::vector<std::uint8_t> assembling;      // bytes of the record being reassembled
    std::vector<std::uint8_t> flash;           // every record written, whole, in the order written
    std::vector<TargetSending> sendings;       // every whole record received, in order of arrival
    int recordsAccepted = 0;                   // records written: each sending answered 1A or 77
    int recordsRefused = 0;                    // sendings answered otherwise or not at all
    bool restarted = false;                    // answered REPLY_DONE_RESTART
};

// The target starts afresh with the given script.
void targetReset(TargetModel& target, TargetScript script);

// One whole message from the program (F0 ... F7). Appends the target's answers, if any, to `replies`.
void targetReceive(TargetModel& target, const std::uint8_t* message, std::size_t length,
                   std::vector<TargetReply>& replies);

// True when `record` (length field, payload, checksum word) adds up.
bool targetChecksumOk(const std::vector<std::uint8_t>& record);
