// The record transfer as the user and the target see it: the console line, the data messages on the
// wire for each record, what the target ends up holding, and every way the transfer can end.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "support/scenario.h"

namespace {

const std::string RESTARTED =
    "\rTransferring.. 100% done.  \nTarget update successfully!\n\nThe System is restarted, please wait!\n\n";
const std::string CRC = "\nThe CRC of the download file is error!\n";

const Bytes SIX = {0x00, 0x04, 0x01, 0x02, 0xFD, 0xFF};
Bytes THREE_RECORDS_IMAGE() { return concat({SIX, makeRecordOfLength(30, 2), makeRecordOfLength(17, 3)}); }

class Transfer : public testing::Test {
protected:
    ScratchFolder folder;

    std::string run(const Bytes& image, const SimScenario& scenario = SimScenario{}) {
        writeImageText("ZENTRAVOX.led", image);
        return runUpdateWith(scenario);
    }
    static std::string expected(const std::string& transfer) { return BANNER + OPENED + FOUND + transfer + KEY_PROMPT; }
};

TEST_F(Transfer, ACompleteUpdateSendsEveryRecordInElevenByteMessages) {
    const std::vector<std::size_t> lengths = {6, 11, 12, 22, 23, 300};
    std::vector<Bytes> records;
    for (std::size_t i = 0; i < lengths.size(); ++i)
        records.push_back(makeRecordOfLength(lengths[i], static_cast<std::uint8_t>(i * 50)));
    records[0] = SIX;
    const Bytes image = concat(records);
    ASSERT_EQ(image.size(), 374u);

    // Percentages before each record: 0, 6, 17, 29, 51 and 74 of 374 bytes accepted.
    EXPECT_EQ(run(image), expected("\r                        \rTransferring.. - 0% done"
                                   "\r                        \rTransferring.. - 1% done"
                                   "\r                        \rTransferring.. \\ 4% done"
                                   "\r                        \rTransferring.. \\ 7% done"
                                   "\r                        \rTransferring.. | 13% done"
                                   "\r                        \rTransferring.. | 19% done" +
                                   DONE));

    const std::vector<std::string> sent = dataMessagesSent(0);
    std::vector<std::size_t> sizes;
    for (const std::string& text : sent) sizes.push_back(text.size());
    std::vector<std::size_t> expectedSizes = {12, 22, 22, 2, 22, 22, 22, 22, 2};
    for (int i = 0; i < 27; ++i) expectedSizes.push_back(22);
    expectedSizes.push_back(6);
    EXPECT_EQ(sizes, expectedSizes);
    EXPECT_EQ(sent[0], "00040102FDFF");
    EXPECT_EQ(sent[1], hexOf(image, 6, 11));
    EXPECT_EQ(sent[2], hexOf(image, 17, 11));
    EXPECT_EQ(sent[3], hexOf(image, 28, 1));
    std::string all;
    for (const std::string& text : sent) all += text;
    EXPECT_EQ(all, hexOf(image, 0, image.size()));
    EXPECT_EQ(simFlash(), image);
    EXPECT_EQ(simPortsOpen(), 0);
}

TEST_F(Transfer, EachProgressLineShowsBeforeItsRecordGoesOut) {
    // A line without a line feed stays in the program's buffer unless flushed: on a terminal the
    // spinner would not move until the end.
    const Bytes image = THREE_RECORDS_IMAGE();
    // Messages to the target: the handshake, then SIX (1 message), 30 bytes (3), 17 bytes (2).
    const std::map<long, std::string> firstMessages = {
        {2, progressLine('-', 0)}, {3, progressLine('-', 11)}, {6, progressLine('\\', 67)}};
    SimScenario scenario;
    std::vector<std::string> problems;
    scenario.onMessageToTarget = [&](long number, const Bytes&) {
        const auto line = firstMessages.find(number);
        if (line == firstMessages.end()) return;
        const std::string console = consoleSoFar();
        if (console.size() < line->second.size() ||
            console.compare(console.size() - line->second.size(), line->second.size(), line->second) != 0)
            problems.push_back("message " + std::to_string(number) + " went out after: " + console);
    };
    run(image, scenario);
    EXPECT_EQ(problems, std::vector<std::string>{});
    EXPECT_EQ(simFlash(), image);
}

TEST_F(Transfer, ASendThatNeverFinishesIsGivenUpAndTheOutputTakesTheNextMessage) {
    // The 12-byte record's short last message (send 3, after the handshake and the full message)
    // stalls; it is not looked at, but the output must be free again for everything after it.
    SimScenario scenario;
    scenario.sendStallsAt = 3;
    const Bytes image = concat({makeRecordOfLength(12), SIX});
    EXPECT_EQ(run(image, scenario), expected("\r                        \rTransferring.. - 0% done"
                                             "\r                        \rTransferring.. - 66% done" +
                                             DONE));
    EXPECT_EQ(dataMessagesSent(0).size(), 3u);
    EXPECT_EQ(simFlash(), image);
}

TEST_F(Transfer, DataMessagesArePacedOneMillisecondApart) {
    run(makeRecordOfLength(33));
    std::vector<std::uint64_t> times;
    for (const SimEvent& event : simEvents())
        if (event.kind == SIM_SENT) times.push_back(event.timeMs);
    ASSERT_EQ(times.size(), 4u);   // the handshake and three data messages
    EXPECT_EQ(times[2] - times[1], 1u);
    EXPECT_EQ(times[3] - times[2], 1u);
}

TEST_F(Transfer, EachRefusalIsReportedAndTheSameRecordIsSentAgain) {
    const std::vector<std::pair<int, std::string>> refusals = {
        {0x20, CRC},
        {0x21, "\nThe download file has been damaged!\n"},
        {0x22, "\nThe download file has been damaged!\n"},
        {0x24, "\nThe download file verifies error!\n"},
        {0x25, "\nThe MCU erases error!\n"},
        {0x23, ""},
        {0x43, ""}};
    const Bytes image = concat({SIX, makeRecordOfLength(14)});
    for (const auto& [code, message] : refusals) {
        char refusal[32];
        std::snprintf(refusal, sizeof refusal, "--refuse 2:%02X", static_cast<unsigned>(code));
        const std::string transcript = run(image, targetSays(refusal));
        // 6 of 20 bytes were accepted before the second record: 30 %.
        EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done"
                                       "\r                        \rTransferring.. - 30% done" +
                                       message + "\r                        \rTransferring.. - 30% done" + DONE))
            << "code " << code;
        const std::vector<std::string> sent = dataMessagesSent(0);
        ASSERT_EQ(sent.size(), 5u);
        EXPECT_EQ(sent[1], sent[3]);
        EXPECT_EQ(sent[2], sent[4]);
        EXPECT_EQ(simFlash(), image);
    }
}

std::string progressRepeated(int times, const std::string& between) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        if (i > 0) text += between;
        text += "\r                        \rTransferring.. - 0% done";
    }
    return text;
}

TEST_F(Transfer, NineteenRefusalsInARowAreSurvivedAndTheCountStartsAgain) {
    const Bytes image = concat({SIX, SIX});
    const std::string transcript = run(image, targetSays("--refuse 1:20:19 --refuse 2:20:19"));
    std::string second;
    for (int i = 0; i < 20; ++i) second += (i ? CRC : "") + std::string("\r                        \rTransferring.. - 50% done");
    EXPECT_EQ(transcript, expected(progressRepeated(20, CRC) + second + DONE));
    EXPECT_EQ(simFlash(), image);
}

TEST_F(Transfer, TwentyRefusalsInARowEndTheTransfer) {
    const std::string transcript = run(SIX, targetSays("--refuse 1:20:0"));
    EXPECT_EQ(transcript, expected(progressRepeated(20, CRC) + "\nError in updating.\n"));
    EXPECT_EQ(dataMessagesSent(0).size(), 20u);
    EXPECT_EQ(simPortsOpen(), 0);
    EXPECT_EQ(simPortCalls(), "+i0 +o0 -i0 -o0");
}

TEST_F(Transfer, ASilentTargetIsGivenUpAfterTwentyWaits) {
    const std::string transcript = run(SIX, targetSays("--silent-from 1"));
    EXPECT_EQ(transcript, expected(progressRepeated(20, "") + "\nFailed: Target is not responding.\n\n"));
    // The input's 20 quiet ms, the handshake's answer after 1 ms; then each sending: one data message,
    // its 1 ms pause and 2000 polls of 1 ms, the longest a slow target may take to answer.
    EXPECT_EQ(simNowMs(), 20u + 1u + 20u * 2001u);
    EXPECT_EQ(simPortsOpen(), 0);
}

TEST_F(Transfer, TwentyAnswersWithACodeTheTargetNeverGivesARecordEndTheTransferAtOnce) {
    // 0x23 is no code of the target's: each makes the record go out again at once, and the twentieth
    // in a row ends the transfer, within a few milliseconds of each other, not after 20 waits of 2 s.
    const std::string transcript = run(SIX, targetSays("--refuse 1:23:0"));
    EXPECT_EQ(transcript, expected(progressRepeated(20, "") + "\nError in updating.\n"));
    EXPECT_EQ(dataMessagesSent(0).size(), 20u);
    EXPECT_LT(simNowMs(), 100u);
}

TEST_F(Transfer, TheRestartCodeEndsTheTransferAsASuccess) {
    const Bytes image = concat({SIX, SIX, SIX});
    const std::string transcript = run(image, targetSays("--restart-after 2"));
    EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done"
                                   "\r                        \rTransferring.. - 33% done" +
                                   RESTARTED));
    EXPECT_EQ(dataMessagesSent(0).size(), 2u);
}

TEST_F(Transfer, TheRestartCodeIsASuccessEvenAsTheTwentiethFailureInARow) {
    const std::string transcript = run(SIX, targetSays("--refuse 1:20:19 --restart-after 1"));
    EXPECT_EQ(transcript, expected(progressRepeated(20, CRC) + RESTARTED));
}

TEST_F(Transfer, TheSpinnerTurnsEverySecondRecordAndStepsBackOnAResend) {
    const Bytes image = concat({SIX, SIX, SIX, SIX, SIX, SIX, SIX, SIX, SIX, SIX});
    const std::string transcript = run(image, targetSays("--refuse 3:23"));
    std::string progress;
    const char spinner[] = "--\\\\\\||//--";   // record 2 is shown twice with the same character
    const int percents[] = {0, 10, 20, 20, 30, 40, 50, 60, 70, 80, 90};
    for (int i = 0; i < 11; ++i)
        progress += "\r                        \rTransferring.. " + std::string(1, spinner[i]) + " " +
                    std::to_string(percents[i]) + "% done";
    EXPECT_EQ(transcript, expected(progress + DONE));
}

TEST_F(Transfer, AnOutputThatVanishesOnAFullMessageIsReported) {
    SimScenario scenario;
    scenario.outputVanishesAfter = 1;   // right after the handshake
    const std::string transcript = run(makeRecordOfLength(23), scenario);
    EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done"
                                   "\nError: The MIDI Out of device is missing!\n\n"));
    EXPECT_EQ(simPortsOpen(), 0);
}

TEST_F(Transfer, AFailureOnTheShortLastMessageIsOnlyNoticedOnTheNextFullOne) {
    SimScenario scenario;
    scenario.outputVanishesAfter = 2;   // the handshake and the record's first, full message
    const std::string transcript = run(makeRecordOfLength(12), scenario);
    // The short message's failure goes unnoticed; the reply wait runs out and the resend fails.
    EXPECT_EQ(transcript, expected(progressRepeated(2, "") + "\nError: The MIDI Out of device is missing!\n\n"));
}

const Bytes THREE_RECORDS = THREE_RECORDS_IMAGE();

const std::string REFUSE_SOME = "--refuse 2:20 --refuse 3:24:2";

// What a success must mean: the target wrote the image, each record once.
void expectFlashIsTheImageOnce(const Bytes& image, int records, const std::string& what) {
    EXPECT_EQ(simFlash(), image) << what;
    EXPECT_EQ(simTargetSnapshot().recordsAccepted, records) << what;
}

TEST_F(Transfer, ATargetThatAnswersUpToTwoSecondsLateIsUpdatedAsAPromptOneIs) {
    for (const std::string answers : {"", REFUSE_SOME.c_str()}) {
        const std::string expectedTranscript = run(THREE_RECORDS, targetSays(answers));
        const std::vector<std::string> expectedWire = dataMessagesSent(0);
        for (const char* late : {"650", "700", "1300", "1500", "1990"}) {
            // Handshakes as late too: discovery sends more of them, and their answers come during the
            // transfer.
            const std::string words = answers + " --delay " + late;
            EXPECT_EQ(run(THREE_RECORDS, targetSays(words)), expectedTranscript) << words;
            // Each record went out once, and again only after a refusal.
            EXPECT_EQ(dataMessagesSent(0), expectedWire) << words;
            expectFlashIsTheImageOnce(THREE_RECORDS, 3, words);
        }
    }
}

TEST_F(Transfer, ATargetLaterThanTwoSecondsIsNeverReportedUpdated) {
    // Its answer comes after the record has gone out again: the target writes the record twice, and
    // its answers to both sendings say so.
    for (const std::string answers : {"", REFUSE_SOME.c_str()}) {
        for (const char* late : {"2050", "2500", "4000", "9000"}) {
            const std::string words = answers + " --handshake-delay 0 --delay " + late;
            const std::string transcript = run(THREE_RECORDS, targetSays(words));
            EXPECT_EQ(transcript.find("Target update successfully!"), std::string::npos) << words;
            EXPECT_NE(transcript.find("\nError in updating.\n"), std::string::npos) << words;
        }
    }
}

TEST_F(Transfer, AnAnswerWhileNoSendingIsOwedOneEndsTheTransferInFailure) {
    // Record 2's first sending is never answered (the target is silent); a stray "record OK" arrives
    // while it goes out, before it is whole. The target answers each whole record once, so that answer
    // is one more than there were sendings: from then on no answer can be trusted.
    const Bytes image = concat({SIX, makeRecordOfLength(45, 2)});
    SimScenario scenario = targetSays("--refuse 2:silent");
    scenario.strays = {{SIM_AFTER_MESSAGE, 4, 0, {0xF0, 0x1A, 0xF7}, true}};   // after record 2's 2nd message
    EXPECT_EQ(run(image, scenario), expected("\r                        \rTransferring.. - 0% done"
                                             "\r                        \rTransferring.. - 11% done"
                                             "\nError in updating.\n"));
    // It ends at once: the sending under way is not finished.
    EXPECT_EQ(dataMessagesSent(0).size(), 1u + 2u);
}

TEST_F(Transfer, AnotherDevicesMessageBeforeAnAnswerSendsTheRecordAgainAndTheDoubleWriteIsCaught) {
    // Another device's SysEx on the same cable after every data message, so that one comes just before
    // each answer: its code is none the target answers a record with, so the record goes out again at
    // once; the target's own answer still finds the sending it answers, and the target, writing in
    // arrival order, writes the record again and says so.
    for (const char* junk : {"--garbage 1", "--garbage 3", "--garbage 3 --delay 700"}) {
        const std::string transcript = run(THREE_RECORDS, targetSays(junk));
        EXPECT_EQ(transcript.substr(transcript.size() - 20 - KEY_PROMPT.size()), "\nError in updating.\n" + KEY_PROMPT)
            << junk;
        // The instrument's side: a record written twice, one sending right after the other.
        const TargetModel target = simTargetSnapshot();
        bool writtenTwice = false;
        for (std::size_t i = 1; i < target.sendings.size(); ++i)
            writtenTwice = writtenTwice || (target.sendings[i - 1].written && target.sendings[i].written &&
                                            target.sendings[i - 1].bytes == target.sendings[i].bytes);
        EXPECT_TRUE(writtenTwice) << junk;
    }
}

TEST_F(Transfer, ALostAnswerCostsOneResendAndTheRecordIsWrittenOnce) {
    const std::string transcript = run(THREE_RECORDS, targetSays("--refuse 2:silent"));
    EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done"
                                   "\r                        \rTransferring.. - 11% done"
                                   "\r                        \rTransferring.. - 11% done"
                                   "\r                        \rTransferring.. \\ 67% done" +
                                   DONE));
    expectFlashIsTheImageOnce(THREE_RECORDS, 3, "");
}

TEST_F(Transfer, LateAnswersToHandshakesAreNotTakenForRecords) {
    // Discovery's handshakes went unanswered for 500 ms each, so it sent more; their answers arrive
    // during the transfer, where 0x43 or 0x15 would otherwise make a record go out again at once.
    SimScenario readyThenReset;
    readyThenReset.target.onHandshake = [](int handshake) { return TargetAnswer{handshake == 1 ? 0x43 : 0x15, 1700}; };
    for (const SimScenario& scenario : {targetSays("--handshake-delay 1700"), readyThenReset}) {
        const Bytes image = concat({SIX, makeRecordOfLength(30, 2), SIX});
        EXPECT_EQ(run(image, scenario), expected("\r                        \rTransferring.. - 0% done"
                                                 "\r                        \rTransferring.. - 14% done"
                                                 "\r                        \rTransferring.. \\ 85% done" +
                                                 DONE));
        expectFlashIsTheImageOnce(image, 3, "");
        EXPECT_EQ(dataMessagesSent(0).size(), 1u + 3u + 1u);
        int lateAnswers = 0;
        for (const SimEvent& event : simEvents())
            lateAnswers += event.kind == SIM_DELIVERED && event.answers == TARGET_NO_SENDING;
        EXPECT_EQ(lateAnswers, 4);   // all four handshakes were answered, three during the transfer
    }
}

TEST_F(Transfer, AOneByteMessageDoesNotEndTheWaitForAReply) {
    SimScenario scenario = targetSays("--delay 50");
    scenario.strays = {{SIM_AFTER_MESSAGE, 2, 0, {0xF0}, true}};
    const std::string transcript = run(SIX, scenario);
    EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done" + DONE));
    EXPECT_EQ(dataMessagesSent(0).size(), 1u);
}

TEST_F(Transfer, RepliesLongerThanTheBufferAndStrayShortMessagesDoNoHarm) {
    Bytes longReply(260, 0x55);
    longReply[0] = 0xF0;
    longReply[1] = 0x1A;
    longReply.back() = 0xF7;
    SimScenario scenario = targetSays("--silent-from 1");
    scenario.strays = {{SIM_AFTER_MESSAGE, 2, 3, {0xB0, 0x07, 0x64}, false}, {SIM_AFTER_MESSAGE, 2, 5, longReply, true}};
    const std::string transcript = run(SIX, scenario);
    EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done" + DONE));
}

}  // namespace
