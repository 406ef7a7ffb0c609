// The record transfer as the user and the target see it: the console line, the data messages on the
// wire for each record, what the target ends up holding, and every way the transfer can end.
#include <gtest/gtest.h>

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

TEST_F(Transfer, DataMessagesArePacedOneMillisecondApart) {
    run(makeRecordOfLength(33));
    std::vector<std::uint64_t> times;
    for (const SimEvent& event : simEvents())
        if (event.kind == SIM_SENT) times.push_back(event.timeMs);
    ASSERT_EQ(times.size(), 4u);   // the handshake and three data messages
    EXPECT_EQ(times[2] - times[1], 1u);
    EXPECT_EQ(times[3] - times[2], 1u);
}

TEST_F(Transfer, AnEmptyImageIsDoneAtOnce) {
    EXPECT_EQ(run({}), expected(DONE));
    EXPECT_TRUE(dataMessagesSent(0).empty());
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
            return TargetAnswer{record == 1 && sending == 1 ? refused : TARGET_CHECKSUM, 0};
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
    // The handshake's answer after 1 ms; then each sending: one data message, its 1 ms pause and 600
    // polls of 1 ms.
    EXPECT_EQ(simNowMs(), 1u + 20u * 601u);
    EXPECT_EQ(simPortsOpen(), 0);
}

TEST_F(Transfer, TheRestartCodeEndsTheTransferAsASuccess) {
    const Bytes image = concat({SIX, SIX, SIX});
    const std::string transcript = run(image, answering([](int record, int) {
        return TargetAnswer{record == 1 ? 0x77 : TARGET_CHECKSUM, 0};
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
        return TargetAnswer{record == 2 && sending == 1 ? 0x23 : TARGET_CHECKSUM, 0};
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

TEST_F(Transfer, ALateReplyIsTakenAsTheAnswerToTheNextSendingOfTheSameRecord) {
    const Bytes image = concat({SIX, makeRecordOfLength(8)});
    const std::string transcript = run(image, answering([](int record, int sending) {
        if (record == 0 && sending == 1) return TargetAnswer{0x1A, 650};
        // The target has already taken record 0; its copy, sent again, goes unanswered.
        if (record == 1 && sending == 1) return TargetAnswer{TARGET_SILENT, 0};
        return TargetAnswer{TARGET_CHECKSUM, 0};
    }));
    EXPECT_EQ(transcript, expected("\r                        \rTransferring.. - 0% done"
                                   "\r                        \rTransferring.. - 0% done"
                                   "\r                        \rTransferring.. - 42% done" +
                                   DONE));
    EXPECT_EQ(dataMessagesSent(0).size(), 3u);
    EXPECT_EQ(simFlash(), image);
}

TEST_F(Transfer, RepliesThatAlwaysComeLateStillLeaveTheWholeImageInATargetThatRewritesRepeats) {
    // Every answer lands after the 600 ms wait: each is taken for the next sending, so the program runs
    // one answer behind the target, and the records sent again are written again in the same place.
    const Bytes image = concat({makeRecordOfLength(30, 1), makeRecordOfLength(8, 2), makeRecordOfLength(17, 3)});
    SimScenario scenario = answering([](int, int) { return TargetAnswer{TARGET_CHECKSUM, 640}; });
    scenario.target.rewritesRepeats = true;
    const std::string transcript = run(image, scenario);
    EXPECT_NE(transcript.find("\nTarget update successfully!\n\n"), std::string::npos);
    EXPECT_EQ(simFlash(), image);
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
