// The record transfer as the user and the target see it: the console line, the data messages on the
// wire for each record, what the target ends up holding, and every way the transfer can end.
#include <gtest/gtest.h>

#include <map>

#include "support/scenario.h"

namespace {

const std::string OPENED = "OK: File 'ZENTRAVOX.led' is open.\n";
const std::string FOUND =
    "The Update Device is Open successfully:\n"
    "MIDIIN Device: Zentravox In\n"
    "MIDIOUT Device: Zentravox Out\n";
const std::string DONE = "\rTransferring.. 100% done.  \n\nTarget update successfully!\n\n";
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
    static SimScenario answering(std::function<TargetAnswer(int, int)> onRecord) {
        SimScenario scenario;
        scenario.target.onRecord = std::move(onRecord);
        return scenario;
    }
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
        const int refused = code;
        const std::string transcript = run(image, answering([refused](int record, int sending) {
            return TargetAnswer{record == 2 && sending == 1 ? refused : TARGET_CHECKSUM, 0};
        }));
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
    const std::string transcript = run(image, answering([](int, int sending) {
        return TargetAnswer{sending < 20 ? 0x20 : TARGET_CHECKSUM, 0};
    }));
    std::string second;
    for (int i = 0; i < 20; ++i) second += (i ? CRC : "") + std::string("\r                        \rTransferring.. - 50% done");
    EXPECT_EQ(transcript, expected(progressRepeated(20, CRC) + second + DONE));
    EXPECT_EQ(simFlash(), image);
}

TEST_F(Transfer, TwentyRefusalsInARowEndTheTransfer) {
    const std::string transcript = run(SIX, answering([](int, int) { return TargetAnswer{0x20, 0}; }));
    EXPECT_EQ(transcript, expected(progressRepeated(20, CRC) + "\nError in updating.\n"));
    EXPECT_EQ(dataMessagesSent(0).size(), 20u);
    EXPECT_EQ(simPortsOpen(), 0);
    EXPECT_EQ(simPortCalls(), "+i0 +o0 -i0 -o0");
}

TEST_F(Transfer, ASilentTargetIsGivenUpAfterTwentyWaits) {
    const std::string transcript = run(SIX, answering([](int, int) { return TargetAnswer{TARGET_SILENT, 0}; }));
    EXPECT_EQ(transcript, expected(progressRepeated(20, "") + "\nFailed: Target is not responding.\n\n"));
    // The input's 20 quiet ms, the handshake's answer after 1 ms; then each sending: one data message,
    // its 1 ms pause and 2000 polls of 1 ms, the longest a slow target may take to answer.
    EXPECT_EQ(simNowMs(), 20u + 1u + 20u * 2001u);
    EXPECT_EQ(simPortsOpen(), 0);
}

TEST_F(Transfer, TheRestartCodeEndsTheTransferAsASuccess) {
    const Bytes image = concat({SIX, SIX, SIX});
    const std::string transcript = run(image, answering([](int record, int) {
        return TargetAnswer{record == 2 ? 0x77 : TARGET_CHECKSUM, 0};
    }));
    EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done"
                                   "\r                        \rTransferring.. - 33% done" +
                                   RESTARTED));
    EXPECT_EQ(dataMessagesSent(0).size(), 2u);
}

TEST_F(Transfer, TheRestartCodeIsASuccessEvenAsTheTwentiethFailureInARow) {
    const std::string transcript = run(SIX, answering([](int, int sending) {
        return TargetAnswer{sending < 20 ? 0x20 : 0x77, 0};
    }));
    EXPECT_EQ(transcript, expected(progressRepeated(20, CRC) + RESTARTED));
}

TEST_F(Transfer, TheSpinnerTurnsEverySecondRecordAndStepsBackOnAResend) {
    const Bytes image = concat({SIX, SIX, SIX, SIX, SIX, SIX, SIX, SIX, SIX, SIX});
    const std::string transcript = run(image, answering([](int record, int sending) {
        return TargetAnswer{record == 3 && sending == 1 ? 0x23 : TARGET_CHECKSUM, 0};
    }));
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

// A slow target: every answer `lateMs` after the message it answers, handshakes' too unless told;
// records refused as `refuse` says (0: answer by checksum).
SimScenario slowTarget(unsigned lateMs, std::function<int(int record, int sending)> refuse,
                       unsigned handshakeLateMs = ~0u) {
    SimScenario scenario;
    const unsigned handshakeMs = handshakeLateMs == ~0u ? lateMs : handshakeLateMs;
    scenario.target.onHandshake = [handshakeMs](int) { return TargetAnswer{0x43, handshakeMs}; };
    scenario.target.onRecord = [lateMs, refuse](int record, int sending) {
        const int code = refuse(record, sending);
        return TargetAnswer{code != 0 ? code : TARGET_CHECKSUM, lateMs};
    };
    return scenario;
}

const Bytes THREE_RECORDS = THREE_RECORDS_IMAGE();

int refuseSomeSendings(int record, int sending) {
    if (record == 2 && sending == 1) return 0x20;
    if (record == 3 && sending <= 2) return 0x24;
    return 0;
}

// What a success must mean: the target wrote the image, each record once.
void expectFlashIsTheImageOnce(const Bytes& image, int records, const std::string& what) {
    EXPECT_EQ(simFlash(), image) << what;
    EXPECT_EQ(simTargetSnapshot().recordsAccepted, records) << what;
}

TEST_F(Transfer, ATargetThatAnswersUpToTwoSecondsLateIsUpdatedAsAPromptOneIs) {
    const auto prompt = [](std::function<int(int, int)> refuse) {
        SimScenario scenario = slowTarget(0, refuse);
        return scenario;
    };
    const std::vector<std::pair<const char*, std::function<int(int, int)>>> answers = {
        {"accepting all", [](int, int) { return 0; }}, {"refusing some", refuseSomeSendings}};
    for (const auto& [what, refuse] : answers) {
        const std::string expectedTranscript = run(THREE_RECORDS, prompt(refuse));
        const std::vector<std::string> expectedWire = dataMessagesSent(0);
        for (unsigned lateMs : {650u, 700u, 1300u, 1500u, 1990u}) {
            const std::string why = std::string(what) + ", " + std::to_string(lateMs) + " ms late";
            EXPECT_EQ(run(THREE_RECORDS, slowTarget(lateMs, refuse)), expectedTranscript) << why;
            // Each record went out once, and again only after a refusal.
            EXPECT_EQ(dataMessagesSent(0), expectedWire) << why;
            expectFlashIsTheImageOnce(THREE_RECORDS, 3, why);
        }
    }
}

TEST_F(Transfer, ATargetLaterThanTwoSecondsIsNeverReportedUpdated) {
    // Its answer comes after the record has gone out again: the target writes the record twice, and
    // its answers to both sendings say so.
    const std::vector<std::pair<const char*, std::function<int(int, int)>>> answers = {
        {"accepting all", [](int, int) { return 0; }}, {"refusing some", refuseSomeSendings}};
    for (const auto& [what, refuse] : answers) {
        for (unsigned lateMs : {2050u, 2500u, 4000u, 9000u}) {
            const std::string why = std::string(what) + ", " + std::to_string(lateMs) + " ms late";
            const std::string transcript = run(THREE_RECORDS, slowTarget(lateMs, refuse, 0));
            EXPECT_EQ(transcript.find("Target update successfully!"), std::string::npos) << why;
            EXPECT_NE(transcript.find("\nError in updating.\n"), std::string::npos) << why;
        }
    }
}

TEST_F(Transfer, AnAnswerThatArrivesWhileARecordGoesOutIsNotItsAnswer) {
    // Record 2's first sending is never answered (its answer lost on the way); a stray "record OK"
    // arrives while it goes out. Taking it would skip a record the target never wrote.
    const Bytes image = concat({SIX, makeRecordOfLength(45, 2)});
    SimScenario scenario = answering([](int record, int sending) {
        return TargetAnswer{record == 2 && sending == 1 ? TARGET_SILENT : TARGET_CHECKSUM, 0};
    });
    scenario.strays = {{SIM_AFTER_MESSAGE, 4, 0, {0xF0, 0x1A, 0xF7}, true}};   // after record 2's 2nd message
    EXPECT_EQ(run(image, scenario), expected("\r                        \rTransferring.. - 0% done"
                                             "\r                        \rTransferring.. - 11% done"
                                             "\r                        \rTransferring.. - 11% done" +
                                             DONE));
    expectFlashIsTheImageOnce(image, 2, "");
}

TEST_F(Transfer, ALostAnswerCostsOneResendAndTheRecordIsWrittenOnce) {
    const std::string transcript = run(THREE_RECORDS, answering([](int record, int sending) {
        return TargetAnswer{record == 2 && sending == 1 ? TARGET_SILENT : TARGET_CHECKSUM, 0};
    }));
    EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done"
                                   "\r                        \rTransferring.. - 11% done"
                                   "\r                        \rTransferring.. - 11% done"
                                   "\r                        \rTransferring.. \\ 67% done" +
                                   DONE));
    expectFlashIsTheImageOnce(THREE_RECORDS, 3, "");
}

TEST_F(Transfer, LateAnswersToHandshakesAreNotTakenForRecords) {
    // Discovery's handshakes went unanswered for 500 ms each, so it sent more; their answers arrive
    // during the transfer, where 0x43 would otherwise count as a refusal.
    SimScenario scenario = answering([](int, int) { return TargetAnswer{TARGET_CHECKSUM, 0}; });
    scenario.target.onHandshake = [](int) { return TargetAnswer{0x43, 1700}; };
    const Bytes image = concat({SIX, makeRecordOfLength(30, 2), SIX});
    EXPECT_EQ(run(image, scenario), expected("\r                        \rTransferring.. - 0% done"
                                             "\r                        \rTransferring.. - 14% done"
                                             "\r                        \rTransferring.. \\ 85% done" +
                                             DONE));
    expectFlashIsTheImageOnce(image, 3, "");
}

TEST_F(Transfer, AOneByteMessageDoesNotEndTheWaitForAReply) {
    SimScenario scenario = answering([](int, int) { return TargetAnswer{TARGET_CHECKSUM, 50}; });
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
    SimScenario scenario = answering([](int, int) { return TargetAnswer{TARGET_SILENT, 0}; });
    scenario.strays = {{SIM_AFTER_MESSAGE, 2, 3, {0xB0, 0x07, 0x64}, false}, {SIM_AFTER_MESSAGE, 2, 5, longReply, true}};
    const std::string transcript = run(SIX, scenario);
    EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done" + DONE));
}

}  // namespace
