// The reply ledger's rules, each as a sentence: which sending a reply answers, and what it means.
// Times are milliseconds on the transfer's clock; codes are written out as the target sends them.
#include <gtest/gtest.h>

#include "protocol/reply_ledger.h"

namespace {

constexpr std::uint8_t ACCEPTED = 0x1A;
constexpr std::uint8_t CRC = 0x20;
constexpr std::uint8_t ERASE = 0x25;
constexpr std::uint8_t RESTART = 0x77;
constexpr std::uint8_t READY = 0x43;
constexpr std::uint8_t RESET = 0x15;
constexpr std::uint8_t NOT_THE_TARGETS = 0x23;

// A ledger with one sending of the current record gone out whole at `at`.
ReplyLedger oneSending(std::uint32_t at = 100, int handshakesOwed = 0) {
    ReplyLedger ledger;
    ledgerStart(ledger, handshakesOwed, 0);
    ledgerSendingBegins(ledger);
    ledgerSendingWhole(ledger, at);
    return ledger;
}

void sendAgain(ReplyLedger& ledger, std::uint32_t at) {
    ledgerSendingBegins(ledger);
    ledgerSendingWhole(ledger, at);
}

TEST(ReplyLedger, AnAcceptanceOfTheSendingThatWaitsWritesTheRecord) {
    ReplyLedger ledger = oneSending();
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 105), ReplyMeaning::WRITTEN);
    EXPECT_TRUE(ledgerRecordSettled(ledger, 105));
    EXPECT_EQ(ledger.answers, 1u);
}

TEST(ReplyLedger, EachRefusalCodeRefusesTheSendingThatWaits) {
    for (const std::uint8_t code : {0x20, 0x21, 0x22, 0x24, 0x25}) {
        ReplyLedger ledger = oneSending();
        EXPECT_EQ(ledgerReply(ledger, static_cast<std::uint8_t>(code), 101), ReplyMeaning::REFUSED) << int(code);
        EXPECT_FALSE(ledgerRecordSettled(ledger, 101));
    }
}

TEST(ReplyLedger, TheRestartCodeEndsTheUpdateWhateverCameBefore) {
    ReplyLedger ledger = oneSending();
    EXPECT_EQ(ledgerReply(ledger, RESTART, 101), ReplyMeaning::RESTARTED);
}

TEST(ReplyLedger, NothingThatArrivesBeforeASendingIsWholeAnswersIt) {
    // Before anything of the transfer has gone out whole, a record's code can only be left over from
    // before it: it is passed over, but not forgotten.
    ReplyLedger ledger;
    ledgerStart(ledger, 0, 0);
    ledgerSendingBegins(ledger);
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 3), ReplyMeaning::DROPPED);
    EXPECT_EQ(ledger.unexplained, 1);
    // Once a sending has gone out whole and been answered, an acceptance while the next record is
    // still going out is one answer more than there are sendings.
    ledgerSendingWhole(ledger, 4);
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 5), ReplyMeaning::WRITTEN);
    ledgerNextRecord(ledger);
    ledgerSendingBegins(ledger);
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 6), ReplyMeaning::SURPLUS);
}

TEST(ReplyLedger, AnAnswerWhileNoSendingIsOwedOneIsASurplusWhateverItsCode) {
    for (const std::uint8_t code : {ACCEPTED, CRC, RESTART}) {
        ReplyLedger ledger = oneSending();
        EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 101), ReplyMeaning::WRITTEN);
        // An echo of the acceptance, or another device's message with a code of the target's.
        EXPECT_EQ(ledgerReply(ledger, code, 102), ReplyMeaning::SURPLUS) << int(code);
    }
}

TEST(ReplyLedger, AnEchoTakenForTheNextRecordsAnswerShowsAsASurplusWhenTheRealAnswerComes) {
    ReplyLedger ledger = oneSending(100);
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 101), ReplyMeaning::WRITTEN);
    ledgerNextRecord(ledger);
    sendAgain(ledger, 104);
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 105), ReplyMeaning::WRITTEN);   // the echo, late
    ledgerNextRecord(ledger);
    ledgerSendingBegins(ledger);
    EXPECT_EQ(ledgerReply(ledger, CRC, 106), ReplyMeaning::SURPLUS);        // record 2's own answer
}

TEST(ReplyLedger, ARecordWrittenTwiceIsSaidSo) {
    ReplyLedger ledger = oneSending(100);
    sendAgain(ledger, 2101);   // the first sending went unanswered for 2 s
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 2102), ReplyMeaning::WRITTEN);         // answers the first
    EXPECT_FALSE(ledgerRecordSettled(ledger, 2102));
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 2103), ReplyMeaning::WRITTEN_AGAIN);   // answers the second
}

TEST(ReplyLedger, ALateRefusalOfAnEarlierSendingDoesNotAskForTheRecordAgain) {
    ReplyLedger ledger = oneSending(100);
    sendAgain(ledger, 2101);
    EXPECT_EQ(ledgerReply(ledger, CRC, 2200), ReplyMeaning::REFUSED_EARLIER);
    // The later sending is still owed, and its own answer decides.
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 2210), ReplyMeaning::WRITTEN);
    EXPECT_TRUE(ledgerRecordSettled(ledger, 2210));
}

TEST(ReplyLedger, ARefusalOfAnEarlierSendingWhileTheRecordGoesOutAgainChangesNothing) {
    ReplyLedger ledger = oneSending(100);
    ledgerSendingBegins(ledger);
    EXPECT_EQ(ledgerReply(ledger, ERASE, 2103), ReplyMeaning::REFUSED_EARLIER);
    ledgerSendingWhole(ledger, 2105);
    EXPECT_EQ(ledgerReply(ledger, ERASE, 2106), ReplyMeaning::REFUSED);
}

TEST(ReplyLedger, ARefusalAfterTheRecordIsWrittenChangesNothing) {
    ReplyLedger ledger = oneSending(100);
    sendAgain(ledger, 2101);
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 2150), ReplyMeaning::WRITTEN);
    EXPECT_EQ(ledgerReply(ledger, CRC, 2160), ReplyMeaning::REFUSED_EARLIER);
    EXPECT_TRUE(ledgerRecordSettled(ledger, 2160));
}

TEST(ReplyLedger, ACodeTheTargetNeverAnswersARecordWithAsksForTheRecordAgainButIsCreditedToNoSending) {
    ReplyLedger ledger = oneSending(100);
    EXPECT_EQ(ledgerReply(ledger, NOT_THE_TARGETS, 101), ReplyMeaning::FOREIGN);
    // The target's own answer to the same sending still finds it.
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 102), ReplyMeaning::WRITTEN);
    EXPECT_EQ(ledger.answers, 1u);
}

TEST(ReplyLedger, ACodeTheTargetNeverAnswersARecordWithIsDroppedWhenNoSendingWaits) {
    ReplyLedger ledger;
    ledgerStart(ledger, 0, 0);
    ledgerSendingBegins(ledger);
    EXPECT_EQ(ledgerReply(ledger, NOT_THE_TARGETS, 1), ReplyMeaning::DROPPED);   // the record is going out
    ledgerSendingWhole(ledger, 2);
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 3), ReplyMeaning::WRITTEN);
    EXPECT_EQ(ledgerReply(ledger, NOT_THE_TARGETS, 4), ReplyMeaning::DROPPED);   // the record is written
}

TEST(ReplyLedger, LateHandshakeAnswersAreDroppedAsManyAsDiscoveryLeftOwed) {
    ReplyLedger ledger = oneSending(100, 2);
    EXPECT_EQ(ledgerReply(ledger, READY, 101), ReplyMeaning::DROPPED);
    EXPECT_EQ(ledgerReply(ledger, RESET, 102), ReplyMeaning::DROPPED);
    // A third is no late answer: a handshake's code is never a record's, so it asks for the record again.
    EXPECT_EQ(ledgerReply(ledger, READY, 103), ReplyMeaning::FOREIGN);
    EXPECT_EQ(ledger.answers, 0u);
}

TEST(ReplyLedger, AnswersAreCreditedOldestSendingFirst) {
    ReplyLedger ledger = oneSending(0);
    sendAgain(ledger, 2001);
    sendAgain(ledger, 4002);
    EXPECT_EQ(ledgerReply(ledger, CRC, 4100), ReplyMeaning::REFUSED_EARLIER);   // the first: 4100 ms late
    EXPECT_EQ(ledgerReply(ledger, CRC, 4101), ReplyMeaning::REFUSED_EARLIER);   // the second
    EXPECT_EQ(ledgerReply(ledger, CRC, 4102), ReplyMeaning::REFUSED);           // the third, the latest
    EXPECT_EQ(ledger.slowest, 4100u);
}

TEST(ReplyLedger, AWrittenRecordWaitsForItsOtherSendingsAsLongAsTheTargetHasTakenAndTheSlack) {
    ReplyLedger ledger = oneSending(0);
    sendAgain(ledger, 2001);
    EXPECT_EQ(ledgerReply(ledger, ACCEPTED, 2300), ReplyMeaning::WRITTEN);   // 2300 ms late: the slowest yet
    // The second sending is owed until 2300 + 1000 ms after it became whole.
    EXPECT_FALSE(ledgerRecordSettled(ledger, 2001 + 3299));
    EXPECT_TRUE(ledgerRecordSettled(ledger, 2001 + 3300));
    // A prompt target is still given the 2 s a record's answer may take, and the slack: here another
    // device's message made the record go out again before the target's own answer came.
    ReplyLedger prompt = oneSending(0);
    EXPECT_EQ(ledgerReply(prompt, NOT_THE_TARGETS, 1), ReplyMeaning::FOREIGN);
    sendAgain(prompt, 10);
    EXPECT_EQ(ledgerReply(prompt, ACCEPTED, 12), ReplyMeaning::WRITTEN);
    EXPECT_FALSE(ledgerRecordSettled(prompt, 10 + 2999));
    EXPECT_TRUE(ledgerRecordSettled(prompt, 10 + 3000));
}

TEST(ReplyLedger, WhatIsStillOwedToAWrittenRecordIsGivenUpForTheNext) {
    ReplyLedger ledger = oneSending(0);
    sendAgain(ledger, 2001);
    ledgerReply(ledger, ACCEPTED, 2010);
    ledgerNextRecord(ledger);
    ledgerSendingBegins(ledger);
    ledgerSendingWhole(ledger, 5100);
    // The next answer is the new record's: the given-up sending is owed nothing any more.
    EXPECT_EQ(ledgerReply(ledger, CRC, 5101), ReplyMeaning::REFUSED);
}

TEST(ReplyLedger, APromptQuietTargetIsWatchedBrieflyAfterTheLastRecordAnyOtherAsLongAsAnAnswerMayTake) {
    ReplyLedger none;
    ledgerStart(none, 0, 0);
    EXPECT_EQ(ledgerQuietWatchMs(none), 0u);   // nothing was sent: nothing can come

    ReplyLedger prompt = oneSending(100);
    ledgerReply(prompt, ACCEPTED, 103);
    EXPECT_EQ(ledgerQuietWatchMs(prompt), 103u);   // 3 ms, and 100 ms more

    // 250 ms is still prompt; 251 ms is not, nor a handshake answered 251 ms late.
    ReplyLedger edge = oneSending(100);
    ledgerReply(edge, ACCEPTED, 350);
    EXPECT_EQ(ledgerQuietWatchMs(edge), 350u);
    ReplyLedger slow = oneSending(100);
    ledgerReply(slow, ACCEPTED, 351);
    EXPECT_EQ(ledgerQuietWatchMs(slow), 3100u);
    ReplyLedger slowHandshake;
    ledgerStart(slowHandshake, 0, 251);
    ledgerSendingBegins(slowHandshake);
    ledgerSendingWhole(slowHandshake, 1000);
    ledgerReply(slowHandshake, ACCEPTED, 1001);
    EXPECT_EQ(ledgerQuietWatchMs(slowHandshake), 3100u);

    // A 1.9 s late target: as long as any answer may take, 2 s and the slack, and the margin; no longer
    // for an answer that seems later still, credited to a sending given up on long ago.
    ReplyLedger late = oneSending(100);
    ledgerReply(late, ACCEPTED, 2000);
    EXPECT_EQ(ledgerQuietWatchMs(late), 3100u);
    ReplyLedger givenUp = oneSending(0);
    for (std::uint32_t at = 2001; at < 30000; at += 2001) sendAgain(givenUp, at);
    ledgerReply(givenUp, ACCEPTED, 30001);
    EXPECT_EQ(ledgerQuietWatchMs(givenUp), 3100u);

    // Anything unexplained, even from a prompt target: an echo or another device may be on the line.
    ReplyLedger noisy = oneSending(100);
    EXPECT_EQ(ledgerReply(noisy, READY, 101), ReplyMeaning::FOREIGN);
    ledgerReply(noisy, ACCEPTED, 102);
    EXPECT_EQ(ledgerQuietWatchMs(noisy), 3100u);
}

}  // namespace
