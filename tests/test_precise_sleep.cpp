// The pause after every data message paces the target: it may run a little long, never short. A lower
// bound on a real clock cannot flake, however busy the machine.
#include <gtest/gtest.h>

#include <chrono>

#include "timing/precise_sleep.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(PreciseSleep, APauseIsNeverShorterThanItsMilliseconds) {
    for (unsigned milliseconds : {1u, 2u}) {
        for (int i = 0; i < 300; ++i) {
            const Clock::time_point start = Clock::now();
            sleepPrecisely(milliseconds);
            const auto lasted = Clock::now() - start;
            ASSERT_GE(lasted, std::chrono::milliseconds(milliseconds)) << "pause " << i << " of " << milliseconds << " ms";
        }
    }
}

TEST(PreciseSleep, ANothingPauseReturns) {
    const Clock::time_point start = Clock::now();
    sleepPrecisely(0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
