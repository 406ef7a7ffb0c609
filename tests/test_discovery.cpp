// Finding the target, as the user sees it and as the ports see it: the order in which pairs are
// opened and closed, what counts as an answer, the reset request, and answers that come late.
#include <gtest/gtest.h>

#include "support/scenario.h"

namespace {

const std::string FOUND =
    "The Update Device is Open successfully:\n"
    "MIDIIN Device: Zentravox In\n"
    "MIDIOUT Device: Zentravox Out\n";
const std::string NOT_FOUND = "\nFailed: Can't find the suitable device to update!\n\n";
const std::string OPENED = "OK: File 'ZENTRAVOX.led' is open.\n";
const std::string DONE = "\rTransferring.. 100% done.  \n\nTarget update successfully!\n\n";

class Discovery : public testing::Test {
protected:
    ScratchFolder folder;
    void SetUp() override { writeImageText("ZENTRAVOX.led", {0x00, 0x04, 0x01, 0x02, 0xFD, 0xFF}); }
};

int handshakesSentTo(int port) {
    int count = 0;
    for (const auto& [to, bytes] : messagesSent())
        count += to == port && bytes == Bytes{0xF0, 'H', 'q', '7', ':', 'b', 'X', 'w', 0xF7};
    return count;
}

std::uint64_t timeOfSend(int number) {
    int seen = 0;
    for (const SimEvent& event : simEvents())
        if (event.kind == SIM_SENT && ++seen == number) return event.timeMs;
    return 0;
}

TEST_F(Discovery, NoDeviceAtAllOpensNothing) {
    SimScenario scenario;
    scenario.inputs = 0;
    scenario.outputs = 0;
    scenario.targetInput = -1;
    EXPECT_EQ(runUpdateWith(scenario), BANNER + OPENED + NOT_FOUND + KEY_PROMPT);
    EXPECT_EQ(simPortCalls(), "");
    EXPECT_EQ(simNowMs(), 0u);
}

TEST_F(Discovery, InputsWithoutOutputsAreEachOpenedAndClosed) {
    SimScenario scenario;
    scenario.inputs = 2;
    scenario.outputs = 0;
    scenario.targetInput = -1;
    EXPECT_EQ(runUpdateWith(scenario), BANNER + OPENED + NOT_FOUND + KEY_PROMPT);
    EXPECT_EQ(simPortCalls(), "+i0 -i0 +i1 -i1");
}

TEST_F(Discovery, PairsAreTriedInputsOuterOutputsInnerUntilTheTargetAnswers) {
    SimScenario scenario;
    scenario.inputs = 3;
    scenario.outputs = 3;
    scenario.targetInput = 1;
    scenario.targetOutput = 2;
    const std::string transcript = runUpdateWith(scenario);
    EXPECT_EQ(transcript, BANNER + OPENED + FOUND + "\r                        \rTransferring.. - 0% done" + DONE +
                              KEY_PROMPT);
    EXPECT_EQ(simPortCalls(), "+i0 +o0 -o0 +o1 -o1 +o2 -o2 -i0 +i1 +o0 -o0 +o1 -o1 +o2 -i1 -o2");
    EXPECT_EQ(handshakesSentTo(0), 8);
    EXPECT_EQ(handshakesSentTo(1), 8);
    EXPECT_EQ(handshakesSentTo(2), 5);   // four unanswered with input 0, one answered with input 1
    EXPECT_EQ(simPortsOpen(), 0);
}

TEST_F(Discovery, AnUnansweredPairCostsFourHandshakesOfFiveHundredPolls) {
    SimScenario scenario;
    scenario.targetInput = -1;
    EXPECT_EQ(runUpdateWith(scenario), BANNER + OPENED + NOT_FOUND + KEY_PROMPT);
    EXPECT_EQ(handshakesSentTo(0), 4);
    EXPECT_EQ(timeOfSend(2) - timeOfSend(1), 500u);
    // The input is first given 20 quiet ms to pour out what it held while closed.
    EXPECT_EQ(timeOfSend(1), 20u);
    EXPECT_EQ(simNowMs(), 2020u);
}

TEST_F(Discovery, AnswersAnInputHeldWhileClosedNeverSelectAPair) {
    // As behind a USB MIDI interface: the target (input 1, output 1) answers the handshakes of pair
    // (0, 1) into its closed input, which pours them out as soon as it opens, with pair (1, 0): taking
    // them would send every record to output 0, where nothing listens.
    for (int holdsForMs : {0, 1, 5, 15}) {
        SimScenario scenario;
        scenario.inputs = 2;
        scenario.outputs = 2;
        scenario.targetInput = 1;
        scenario.targetOutput = 1;
        scenario.targetInputHoldsForMs = holdsForMs;
        const std::string transcript = runUpdateWith(scenario);
        EXPECT_EQ(transcript, BANNER + OPENED + FOUND + "\r                        \rTransferring.. - 0% done" + DONE +
                                  KEY_PROMPT)
            << holdsForMs << " ms";
        EXPECT_EQ(simPortCalls(), "+i0 +o0 -o0 +o1 -o1 -i0 +i1 +o0 -o0 +o1 -i1 -o1") << holdsForMs << " ms";
        // Nothing the program sends changes: four handshakes on each pair before the target's.
        EXPECT_EQ(handshakesSentTo(0), 8) << holdsForMs << " ms";
        EXPECT_EQ(handshakesSentTo(1), 5) << holdsForMs << " ms";
        EXPECT_EQ(simFlash(), (Bytes{0x00, 0x04, 0x01, 0x02, 0xFD, 0xFF})) << holdsForMs << " ms";
    }
}

TEST_F(Discovery, AnInputIsQuietOnlyAfterTwentyQuietMillisecondsInARow) {
    // What an input held while closed may pour out in bursts: here a 0x43 every 10 ms from 5 ms to
    // 195 ms after it opens. The first handshake waits for 20 quiet ms after the last of them; a count
    // of quiet polls that did not start again at each burst would send it at 20 ms, and a held 0x43
    // would answer it.
    SimScenario scenario;
    scenario.target.onHandshake = [](int) { return TargetAnswer{TARGET_SILENT, 0}; };
    for (long ms = 5; ms <= 195; ms += 10) scenario.strays.push_back({SIM_AT_TIME, ms, 0, {0xF0, 0x43, 0xF7}, true});
    EXPECT_EQ(runUpdateWith(scenario), BANNER + OPENED + NOT_FOUND + KEY_PROMPT);
    EXPECT_EQ(timeOfSend(1), 195u + 1u + 20u);
    EXPECT_EQ(handshakesSentTo(0), 4);
}

TEST_F(Discovery, NoMoreThanTenPortsOfEachKindAreTried) {
    SimScenario scenario;
    scenario.inputs = 12;
    scenario.outputs = 1;
    scenario.targetInput = 10;
    EXPECT_EQ(runUpdateWith(scenario), BANNER + OPENED + NOT_FOUND + KEY_PROMPT);
    EXPECT_EQ(simPortCalls().find("i10"), std::string::npos);
    EXPECT_NE(simPortCalls().find("+i9 "), std::string::npos);

    // Outputs likewise: the target on an eleventh output is never opened, let alone updated.
    scenario = SimScenario{};
    scenario.outputs = 11;
    scenario.targetOutput = 10;
    EXPECT_EQ(runUpdateWith(scenario), BANNER + OPENED + NOT_FOUND + KEY_PROMPT);
    EXPECT_EQ(simPortCalls().find("o10"), std::string::npos);
    EXPECT_NE(simPortCalls().find("+o9 -o9"), std::string::npos);
    EXPECT_TRUE(simFlash().empty());
}

TEST_F(Discovery, PortsThatCannotBeOpenedAreSkippedWithoutAWord) {
    SimScenario scenario;
    scenario.inputs = 2;
    scenario.outputs = 2;
    scenario.targetInput = 1;
    scenario.targetOutput = 1;
    scenario.inputsFailingToOpen = {0};
    scenario.outputsFailingToOpen = {0};
    EXPECT_EQ(runUpdateWith(scenario), BANNER + OPENED + FOUND + "\r                        \rTransferring.. - 0% done" +
                                           DONE + KEY_PROMPT);
    EXPECT_EQ(simPortCalls(), "+i1 +o1 -i1 -o1");
}

TEST_F(Discovery, AnInputThatWillNotStartIsClosedAndTheSearchGoesOn) {
    SimScenario scenario;
    scenario.inputs = 2;
    scenario.targetInput = 1;
    scenario.inputsFailingToStart = {0};
    const std::string transcript = runUpdateWith(scenario);
    EXPECT_NE(transcript.find(FOUND), std::string::npos);
    EXPECT_EQ(simPortCalls(), "+i0 -i0 +i1 +o0 -i1 -o0");
}

TEST_F(Discovery, TheResetRequestSendsNothingAndClosesBothPorts) {
    SimScenario scenario;
    scenario.target.onHandshake = [](int) { return TargetAnswer{0x15, 0}; };
    EXPECT_EQ(runUpdateWith(scenario),
              BANNER + OPENED + FOUND + "Please reset the product and retry again!\n\n" + KEY_PROMPT);
    EXPECT_EQ(messagesSent().size(), 1u);
    EXPECT_EQ(simPortCalls(), "+i0 +o0 -i0 -o0");
}

TEST_F(Discovery, AnyOtherCodeIsNoAnswerAndTheNextHandshakeFollowsAtOnce) {
    SimScenario scenario;
    scenario.target.onHandshake = [](int handshake) { return TargetAnswer{handshake == 1 ? 0x1A : 0x43, 0}; };
    const std::string transcript = runUpdateWith(scenario);
    EXPECT_NE(transcript.find(FOUND), std::string::npos);
    EXPECT_EQ(handshakesSentTo(0), 2);
    EXPECT_LE(timeOfSend(2) - timeOfSend(1), 2u);
}

TEST_F(Discovery, AFourthAndLateAnswerOnTheSamePairStillCounts) {
    SimScenario scenario;
    scenario.target.onHandshake = [](int handshake) {
        return handshake == 1 ? TargetAnswer{0x43, 1600} : TargetAnswer{TARGET_SILENT, 0};
    };
    const std::string transcript = runUpdateWith(scenario);
    EXPECT_NE(transcript.find(FOUND), std::string::npos);
    EXPECT_EQ(handshakesSentTo(0), 4);
}

TEST_F(Discovery, AnAnswerLeftOverFromAnEarlierPairDoesNotSelectTheNextOne) {
    // The answer lands in the mailbox just as output 1 opens, before its first handshake: the target
    // is on output 2, and output 1 must not be chosen for it.
    SimScenario scenario;
    scenario.outputs = 3;
    scenario.targetOutput = 2;
    scenario.strays = {{SIM_ON_OPEN_OUTPUT, 1, 0, {0xF0, 0x43, 0xF7}, true}};
    const std::string transcript = runUpdateWith(scenario);
    EXPECT_EQ(transcript, BANNER + OPENED + FOUND + "\r                        \rTransferring.. - 0% done" + DONE +
                              KEY_PROMPT);
    EXPECT_EQ(handshakesSentTo(1), 4);
    EXPECT_EQ(simFlash(), (Bytes{0x00, 0x04, 0x01, 0x02, 0xFD, 0xFF}));
}

TEST_F(Discovery, AOneByteMessageNeitherAnswersNorCutsTheWaitsShort) {
    SimScenario scenario;
    scenario.strays = {{SIM_AFTER_MESSAGE, 1, 0, {0xF0}, true}};
    scenario.target.onHandshake = [](int) { return TargetAnswer{0x43, 100}; };
    const std::string transcript = runUpdateWith(scenario);
    EXPECT_NE(transcript.find(FOUND), std::string::npos);
    EXPECT_EQ(handshakesSentTo(0), 1);
}

}  // namespace
