// Millisecond pauses that last what they say, for the MIDI backends and the emulated world alike. A
// plain 1 ms sleep lasts about 1.07-1.1 ms on Linux (timer slack and wake-up latency), and the
// transfer makes one after every data message: over a 64 KiB image that is half a second of nothing.
// So the pause sleeps short of its end and waits out the rest; it never ends early, so the target's
// pacing is kept.
#pragma once

#include <chrono>
#include <thread>

inline void sleepPrecisely(unsigned milliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    // Longer than the usual oversleep, so the sleep itself rarely passes the end.
    constexpr auto WAKE_EARLY = std::chrono::microseconds(200);
    const auto sleepFor = std::chrono::milliseconds(milliseconds) - WAKE_EARLY;
    if (sleepFor.count() > 0) std::this_thread::sleep_for(sleepFor);
    while (Clock::now() < end) std::this_thread::yield();
}
