// The input callback on a thread of its own against the main thread's polling, in real time: replies
// and stray messages race the mailbox, and the update must still come out whole. Run under
// ThreadSanitizer, these are the tests that find unguarded sharing.
#include <gtest/gtest.h>

#include "support/scenario.h"

namespace {

TEST(Threaded, ACompleteUpdateInRealTime) {
    ScratchFolder folder;
    std::vector<Bytes> records;
    for (int i = 0; i < 20; ++i) records.push_back(makeRecordOfLength(4 + 7 * i, static_cast<std::uint8_t>(i)));
    const Bytes image = concat(records);
    writeImageText("ZENTRAVOX.led", image);
    SimScenario scenario;
    scenario.realTime = true;
    scenario.inputs = 2;
    scenario.targetInput = 1;
    const std::string transcript = runUpdateWith(scenario);
    EXPECT_NE(transcript.find("\nTarget update successfully!\n\n"), std::string::npos);
    EXPECT_EQ(simFlash(), image);
    EXPECT_EQ(simPortsOpen(), 0);
}

TEST(Threaded, RepliesRacingAFloodOfStrayMessages) {
    ScratchFolder folder;
    const Bytes image = concat({makeRecordOfLength(30), makeRecordOfLength(50), makeRecordOfLength(12)});
    writeImageText("ZENTRAVOX.led", image);
    // Each record refused once, every answer 2 ms late.
    SimScenario scenario = targetSays("--refuse 1:20 --refuse 2:20 --refuse 3:20 --delay 2");
    scenario.realTime = true;
    // Short messages, one-byte and garbage system-exclusive messages throughout the transfer.
    for (int ms = 0; ms < 400; ++ms) {
        scenario.strays.push_back({SIM_AT_TIME, ms, 0, {0xF8}, false});
        if (ms % 3 == 0) scenario.strays.push_back({SIM_AT_TIME, ms, 0, {0xF0}, true});
    }
    const std::string transcript = runUpdateWith(scenario);
    EXPECT_NE(transcript.find("\nTarget update successfully!\n\n"), std::string::npos);
    EXPECT_EQ(simFlash(), image);
    EXPECT_EQ(simPortsOpen(), 0);
}

}  // namespace
