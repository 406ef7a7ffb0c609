// The transport's own round trip, apart from the protocol's pauses: handshakes on the open port pair,
// each timed from the send to the answer in the mailbox.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "midi/port_pair.h"
#include "midi/sysex.h"
#include "protocol/wire.h"

// The median of `count` handshakes, in milliseconds. Polled without sleeping: the figure is the
// transport's, not the 1 ms poll's. A handshake left unanswered counts as one second.
inline double medianHandshakeMs(int count) {
    std::vector<double> trips;
    for (int i = 0; i < count; ++i) {
        clearReplyMailbox();
        const auto start = std::chrono::steady_clock::now();
        sendSysEx(identToken.data(), identToken.size());
        std::uint8_t code = 0;
        while (!takeReply(code) && std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {}
        trips.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(trips.begin(), trips.end());
    return trips[trips.size() / 2];
}

// The median of `count` sends, each after the output has been idle for `idle`, in milliseconds: from the
// send to its return, the target's answer awaited afterwards. A healthy output takes the message at
// once, however long it has been idle.
inline double medianIdleSendMs(int count, std::chrono::milliseconds idle) {
    std::vector<double> sends;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(idle);
        clearReplyMailbox();
        const auto start = std::chrono::steady_clock::now();
        sendSysEx(identToken.data(), identToken.size());
        sends.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        std::uint8_t code = 0;
        while (!takeReply(code) && std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {}
    }
    std::sort(sends.begin(), sends.end());
    return sends[sends.size() / 2];
}
