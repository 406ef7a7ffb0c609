// JACK: a client of our own without ports, counting the server's cycles. RtMidi's JACK output only
// queues a message for its next cycle (in a queue of 16 KiB) and drops, without a word, what does not fit
// there or in the cycle's port buffer; what we hand it is paced by these cycles.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include <jack/jack.h>

namespace zentravox_target {

struct JackPace {
    jack_client_t* client = nullptr;
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<bool> serverGone{false};
};

// libjack's own messages off; we say what went wrong in our words.
void silenceJack();
bool openPace(JackPace& pace, const std::string& name);
void closePace(JackPace& pace);
bool jackClientExists(JackPace& pace, const std::string& name);
// Whether every client can find these ports by name (within 5 s).
bool portsVisible(JackPace& pace, std::initializer_list<std::string> names);
// Waits until the server has run a cycle after `since`: false when it has gone or `stopping` says so.
bool waitForCycle(JackPace& pace, std::uint64_t since, const std::function<bool()>& stopping);

}  // namespace zentravox_target
