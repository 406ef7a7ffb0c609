#include "sim/target_model.h"

#include <algorithm>
#include <utility>

#include "protocol/wire.h"

namespace {

int hexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;   // the program sends upper case only
}

void answer(std::vector<TargetReply>& replies, int code, unsigned delayMs) {
    if (code == TARGET_SILENT) return;
    replies.push_back(TargetReply{{0xF0, static_cast<std::uint8_t>(code), 0xF7}, delayMs});
}

void receiveHandshake(TargetModel& target, std::vector<TargetReply>& replies) {
    ++target.handshakes;
    // A handshake starts the conversation over: a half-received record is dropped.
    target.assembling.clear();
    TargetAnswer reply{REPLY_READY, 0};
    if (target.script.onHandshake) reply = target.script.onHandshake(target.handshakes);
    if (reply.code == TARGET_CHECKSUM) reply.code = REPLY_READY;
    answer(replies, reply.code, reply.delayMs);
}

void completeRecord(TargetModel& target, std::vector<TargetReply>& replies) {
    // The program sends a record again when its answer came late: the target has it already.
    if (target.script.rewritesRepeats && target.recordsAccepted > 0 && target.assembling == target.lastAccepted) {
        target.assembling.clear();
        answer(replies, REPLY_RECORD_OK, target.lastAcceptedDelayMs);
        return;
    }
    ++target.sending;
    const bool sound = targetChecksumOk(target.assembling);
    TargetAnswer reply{};
    if (target.script.onRecord) reply = target.script.onRecord(target.record, target.sending);
    if (reply.code == TARGET_CHECKSUM) reply.code = sound ? REPLY_RECORD_OK : REPLY_CRC_ERROR;
    if (reply.code == REPLY_RECORD_OK || reply.code == REPLY_DONE_RESTART) {
        target.flash.insert(target.flash.end(), target.assembling.begin(), target.assembling.end());
        target.lastAccepted = target.assembling;
        target.lastAcceptedDelayMs = reply.delayMs;
        ++target.recordsAccepted;
        ++target.record;
        target.sending = 0;
        if (reply.code == REPLY_DONE_RESTART) target.restarted = true;
    } else {
        ++target.recordsRefused;
    }
    target.assembling.clear();
    answer(replies, reply.code, reply.delayMs);
}

}  // namespace

void targetReset(TargetModel& target, TargetScript script) {
    target = TargetModel{};
    target.script = std::move(script);
}

bool targetChecksumOk(const std::vector<std::uint8_t>& record) {
    if (record.size() < 4) return false;
    const std::size_t length = record[0] * 256u + record[1];
    if (length < 2 || record.size() != length + 2) return false;
    std::uint16_t sum = 0;
    for (std::size_t i = 2; i < length; ++i) sum = static_cast<std::uint16_t>(sum + record[i]);
    sum = static_cast<std::uint16_t>(sum + record[length] + 256u * record[length + 1]);
    return sum == 0;
}

void targetReceive(TargetModel& target, const std::uint8_t* message, std::size_t length,
                   std::vector<TargetReply>& replies) {
    ++target.messages;
    if (length < 2 || message[0] != 0xF0 || message[length - 1] != 0xF7) return;
    const std::uint8_t* text = message + 1;
    const std::size_t textLength = length - 2;
    if (textLength == identToken.size() && std::equal(identToken.begin(), identToken.end(), text)) {
        receiveHandshake(target, replies);
        return;
    }
    if (textLength == 0 || textLength % 2 != 0) {
        target.assembling.clear();
        answer(replies, REPLY_DAMAGED_A, 0);
        return;
    }
    for (std::size_t i = 0; i < textLength; i += 2) {
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            target.assembling.clear();
            answer(replies, REPLY_DAMAGED_A, 0);
            return;
        }
        target.assembling.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    if (target.assembling.size() < 2) return;
    const std::size_t recordLength = target.assembling[0] * 256u + target.assembling[1] + 2u;
    if (target.assembling.size() < recordLength) return;
    if (target.assembling.size() > recordLength) {
        // More text than the length field announced: the messages of two records were mixed.
        target.assembling.clear();
        answer(replies, REPLY_DAMAGED_B, 0);
        return;
    }
    completeRecord(target, replies);
}
