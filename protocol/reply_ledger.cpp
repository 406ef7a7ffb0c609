#include "protocol/reply_ledger.h"

#include <algorithm>

namespace {

constexpr std::uint32_t REPLY_WAIT_MS = RECORD_REPLY_WAIT_POLLS * POLL_INTERVAL_MS;

// The oldest owed sending gets the answer.
void creditOldest(ReplyLedger& ledger, std::uint32_t nowMs) {
    ledger.slowest = std::max(ledger.slowest, nowMs - ledger.owedSince[0]);
    std::copy(ledger.owedSince.begin() + 1, ledger.owedSince.begin() + ledger.owed, ledger.owedSince.begin());
    --ledger.owed;
    ++ledger.answers;
}

}  // namespace

void ledgerStart(ReplyLedger& ledger, int handshakesOwed, std::uint32_t handshakeLateMs) {
    ledger = ReplyLedger{};
    ledger.handshakesOwed = handshakesOwed;
    ledger.slowest = handshakeLateMs;
}

void ledgerSendingBegins(ReplyLedger& ledger) { ledger.latestWhole = false; }

void ledgerSendingWhole(ReplyLedger& ledger, std::uint32_t nowMs) {
    // Each sending after the first follows a failure, and the failures of one record are bounded: the
    // oldest would only be given up if that bound ever changed.
    if (ledger.owed == static_cast<int>(ledger.owedSince.size())) {
        std::copy(ledger.owedSince.begin() + 1, ledger.owedSince.end(), ledger.owedSince.begin());
        --ledger.owed;
    }
    ledger.owedSince[ledger.owed++] = nowMs;
    ledger.latestWhole = true;
    ++ledger.sendings;
}

ReplyMeaning ledgerReply(ReplyLedger& ledger, std::uint8_t code, std::uint32_t nowMs) {
    const ReplyKind kind = replyCodeOf(code).kind;
    if (kind == ReplyKind::HANDSHAKE && ledger.handshakesOwed > 0) {
        --ledger.handshakesOwed;
        return ReplyMeaning::DROPPED;
    }
    if (kind == ReplyKind::HANDSHAKE || kind == ReplyKind::UNKNOWN) {
        // Not an answer the target gives a record: it is credited to no sending, so that the target's
        // own answer, should it come, still finds the sending it answers.
        ++ledger.unexplained;
        const bool latestWaits = ledger.latestWhole && ledger.owed > 0 && ledger.written == 0;
        return latestWaits ? ReplyMeaning::FOREIGN : ReplyMeaning::DROPPED;
    }
    if (ledger.owed == 0 && ledger.sendings == 0) {
        // Nothing of the transfer has gone out whole yet: whatever this is, it came from before it.
        ++ledger.unexplained;
        return ReplyMeaning::DROPPED;
    }
    if (ledger.owed == 0) return ReplyMeaning::SURPLUS;
    creditOldest(ledger, nowMs);
    switch (kind) {
        case ReplyKind::RESTARTED: return ReplyMeaning::RESTARTED;
        case ReplyKind::WRITTEN: return ++ledger.written == 1 ? ReplyMeaning::WRITTEN : ReplyMeaning::WRITTEN_AGAIN;
        default: break;
    }
    const bool latest = ledger.owed == 0 && ledger.latestWhole && ledger.written == 0;
    return latest ? ReplyMeaning::REFUSED : ReplyMeaning::REFUSED_EARLIER;
}

bool ledgerRecordSettled(const ReplyLedger& ledger, std::uint32_t nowMs) {
    if (ledger.written == 0) return false;
    if (ledger.owed == 0) return true;
    const std::uint32_t newest = ledger.owedSince[ledger.owed - 1];
    return nowMs - newest >= std::max(ledger.slowest, REPLY_WAIT_MS) + LATE_ANSWER_SLACK_MS;
}

void ledgerNextRecord(ReplyLedger& ledger) {
    ledger.owed = 0;
    ledger.written = 0;
    ledger.latestWhole = false;
}

std::uint32_t ledgerQuietWatchMs(const ReplyLedger& ledger) {
    if (ledger.sendings == 0) return 0;
    // An echo or another device's message taken for the last record's answer leaves the target's own
    // answer still to come; it can only come as late as the target answers. Where anything was
    // unexplained, or the target is slow, that may be as late as any answer that still counts: the
    // wait for a record's answer and the slack. (An answer credited to a sending given up on long ago
    // makes the target look slower than that; an answer later still is one no program can place.)
    if (ledger.unexplained == 0 && ledger.slowest <= PROMPT_ANSWER_MS) return ledger.slowest + QUIET_MARGIN_MS;
    return REPLY_WAIT_MS + LATE_ANSWER_SLACK_MS + QUIET_MARGIN_MS;
}
