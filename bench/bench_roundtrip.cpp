// The transport's own round trip on real MIDI ports: finds the target as the program does, then times
// handshakes from the send to the answer in the mailbox, polled without sleeping so that the figure is
// the ports', not the protocol's. Prints `round_trip_ms=MEDIAN` last.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "midi/midi_ports.h"
#include "midi/sysex.h"
#include "protocol/discovery.h"
#include "protocol/wire.h"

int main() {
    platformStartup();
    if (findUpdateDevice(REPLY_READY) != DEVICE_READY) {
        platformShutdown();
        return 1;
    }
    std::vector<double> trips;
    for (int i = 0; i < 100; ++i) {
        clearReplyMailbox();
        const auto start = std::chrono::steady_clock::now();
        sendSysEx(identToken.data(), identToken.size());
        std::uint8_t code = 0;
        while (!takeReply(code) && std::chrono::steady_clock::now() - start < std::chrono::seconds(1)) {}
        trips.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    closeMidiIn();
    closeMidiOut();
    platformShutdown();
    std::sort(trips.begin(), trips.end());
    std::printf("round_trip_ms=%.3f\n", trips[trips.size() / 2]);
    return 0;
}
