// The transport's own round trip on real MIDI ports: finds the target as the program does, then times
// handshakes from the send to the answer in the mailbox, polled without sleeping so that the figure is
// the ports', not the protocol's. Then how long a send takes on an output that has sent nothing for a
// while. Prints `round_trip_ms=MEDIAN idle_send_ms=MEDIAN` last.
#include <chrono>
#include <cstdio>
#include <thread>

#include "bench/round_trip.h"
#include "midi/port_pair.h"
#include "protocol/discovery.h"
#include "protocol/wire.h"

int main() {
    platformStartup();
    HandshakeAnswers handshakes{};
    if (findUpdateDevice(REPLY_READY, handshakes) != DEVICE_READY) {
        platformShutdown();
        return 1;
    }
    const double roundTripMs = medianHandshakeMs(100);
    // Longer than a JACK output waits for bytes to move before it counts the server as stalled.
    const double idleSendMs = medianIdleSendMs(20, std::chrono::milliseconds(300));
    closeMidiIn();
    closeMidiOut();
    platformShutdown();
    std::printf("round_trip_ms=%.3f idle_send_ms=%.3f\n", roundTripMs, idleSendMs);
    return 0;
}
