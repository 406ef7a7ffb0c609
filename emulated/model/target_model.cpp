#include "emulated/model/target_model.h"

#include <algorithm>
#include <utility>

namespace {

// The wire as the target knows it, written down here on its own: a wrong constant in the program must
// show as a failed conversation, not be shared by both ends.
constexpr std::uint8_t HANDSHAKE_TEXT[] = {0x48, 0x71, 0x37, 0x3A, 0x62, 0x58, 0x77};   // "Hq7:bXw"
constexpr int ANSWER_READY = 0x43;
constexpr int ANSWER_RECORD_WRITTEN = 0x1A;
constexpr int ANSWER_CHECKSUM_WRONG = 0x20;
constexpr int ANSWER_TEXT_DAMAGED = 0x21;
constexpr int ANSWER_RECORDS_MIXED = 0x22;
constexpr int ANSWER_DONE_RESTARTING = 0x77;

int hexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;   // the program sends upper case only
}

void answer(std::vector<TargetReply>& replies, int code, unsigned delayMs, int answers) {
    if (code == TARGET_SILENT) return;
    replies.push_back(TargetReply{{0xF0, static_cast<std::uint8_t>(code), 0xF7}, delayMs, answers});
}

void receiveHandshake(TargetModel& target, std::vector<TargetReply>& replies) {
    ++target.handshakes;
    // A handshake starts the conversation over: a half-received record is dropped.
    target.assembling.clear();
    TargetAnswer reply{ANSWER_READY, 0};
    if (target.script.onHandshake) reply = target.script.onHandshake(target.handshakes);
    if (reply.code == TARGET_CHECKSUM) reply.code = ANSWER_READY;
    answer(replies, reply.code, reply.delayMs, TARGET_NO_SENDING);
}

// A whole record has arrived: the target cannot tell a record sent again from the next one, so whatever
// it accepts is written after what it wrote before.
void completeRecord(TargetModel& target, std::vector<TargetReply>& replies) {
    ++target.sending;
    const bool sound = targetChecksumOk(target.assembling);
    TargetAnswer reply{};
    if (target.script.onRecord) reply = target.script.onRecord(target.record, target.sending);
    if (reply.code == TARGET_CHECKSUM) reply.code = sound ? ANSWER_RECORD_WRITTEN : ANSWER_CHECKSUM_WRONG;
    if (reply.code == TARGET_CHECKSUM_THEN_RESTART) reply.code = sound ? ANSWER_DONE_RESTARTING : ANSWER_CHECKSUM_WRONG;
    const bool written = reply.code == ANSWER_RECORD_WRITTEN || reply.code == ANSWER_DONE_RESTARTING;
    if (written) {
        target.flash.insert(target.flash.end(), target.assembling.begin(), target.assembling.end());
        ++target.recordsAccepted;
        ++target.record;
        target.sending = 0;
        if (reply.code == ANSWER_DONE_RESTARTING) target.restarted = true;
    } else {
        ++target.recordsRefused;
    }
    target.sendings.push_back(TargetSending{std::move(target.assembling), reply.code, written});
    target.assembling.clear();
    answer(replies, reply.code, reply.delayMs, static_cast<int>(target.sendings.size()) - 1);
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
    if (textLength == sizeof HANDSHAKE_TEXT && std::equal(text, text + textLength, HANDSHAKE_TEXT)) {
        receiveHandshake(target, replies);
        return;
    }
    if (textLength == 0 || textLength % 2 != 0) {
        target.assembling.clear();
        answer(replies, ANSWER_TEXT_DAMAGED, 0, TARGET_NO_SENDING);
        return;
    }
    for (std::size_t i = 0; i < textLength; i += 2) {
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            target.assembling.clear();
            answer(replies, ANSWER_TEXT_DAMAGED, 0, TARGET_NO_SENDING);
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
        answer(replies, ANSWER_RECORDS_MIXED, 0, TARGET_NO_SENDING);
        return;
    }
    completeRecord(target, replies);
}
