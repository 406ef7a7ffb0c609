// The reply ledger: for each reply from the target, which sending of a record it answers and what it
// means. The wire carries no record numbers; a reply is a code and nothing else. The target answers
// each whole record it receives once, in turn, so a reply answers the oldest whole sending that is
// still owed an answer, and over a transfer the answers can never outnumber the sendings: one more
// answer than there are sendings owed one is an echo or another device's message taken for an answer,
// and from then on no answer can be trusted to answer the sending it seems to.
//
// A plain record of counts and times, no input or output: the transfer tells it what went out and
// what came back, with the time in milliseconds, and acts on what it says.
#pragma once

#include <array>
#include <cstdint>

#include "protocol/wire.h"

struct ReplyLedger {
    // Whole sendings of the current record still owed an answer, oldest first: when each became whole.
    std::array<std::uint32_t, RECORD_FAILURE_LIMIT> owedSince;
    int owed;
    bool latestWhole;          // the record's latest sending went out whole; false while one goes out
    int written;               // answers that say the current record is written
    int handshakesOwed;        // discovery's handshakes on this pair that have had no answer yet
    std::uint32_t slowest;     // the longest the target has taken to answer, handshakes included (ms)
    int unexplained;           // messages that answered nothing: another device's, a handshake answer too many
    std::uint32_t sendings;    // whole sendings, over the transfer
    std::uint32_t answers;     // answers credited to them
};

enum class ReplyMeaning : std::uint8_t {
    DROPPED,           // answers nothing the program waits on
    FOREIGN,           // no code the target answers a record with, while the latest sending waits
    WRITTEN,           // the current record is written
    WRITTEN_AGAIN,     // ... a second time: what follows it in the target's flash is out of place
    REFUSED,           // the latest sending is refused
    REFUSED_EARLIER,   // an earlier sending is refused, while a later one waits or goes out
    RESTARTED,         // written, the update is complete and the target restarts
    SURPLUS,           // an answer while no sending is owed one, once one has gone out whole
};

// A new transfer; `handshakesOwed` handshakes of discovery on this pair may still be answered, and the
// target took `handshakeLateMs` to answer the first.
void ledgerStart(ReplyLedger& ledger, int handshakesOwed, std::uint32_t handshakeLateMs);
// A sending of the current record starts to go out; nothing that arrives before it is whole answers it.
void ledgerSendingBegins(ReplyLedger& ledger);
// Its last data message has gone out: from now on it is owed an answer.
void ledgerSendingWhole(ReplyLedger& ledger, std::uint32_t nowMs);
// One reply, in arrival order.
ReplyMeaning ledgerReply(ReplyLedger& ledger, std::uint8_t code, std::uint32_t nowMs);
// Once the record is written: true when its other sendings have had their answers, or are later than
// this target has ever been and the slack besides. Only then may the next record go out.
bool ledgerRecordSettled(const ReplyLedger& ledger, std::uint32_t nowMs);
// On to the next record: what is still owed to this one's sendings is given up.
void ledgerNextRecord(ReplyLedger& ledger);
// How long to watch for a surplus answer after the last record, before calling the update a success.
std::uint32_t ledgerQuietWatchMs(const ReplyLedger& ledger);
