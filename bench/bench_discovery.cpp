// How long finding the target takes, on virtual time: the search alone, in-process, against the emulated
// target behind virtual ports, for each layout of ports that bench/run_discovery.py tabulates. Prints a
// line of figures (key=value, separated by blanks) per layout: the layout's key, the virtual ms from the
// search's start to its line on the console, the pair it kept (input/output, from 0; "-" for none),
// whether that is the target's own pair (or none where there is no target), and the handshakes sent.
// Virtual time counts the search's own waits; what a real transport adds is in the JACK rows.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "midi/port_pair.h"
#include "protocol/discovery.h"
#include "protocol/wire.h"
#include "support/scenario.h"

namespace {

struct Layout {
    const char* key;
    SimScenario scenario;
};

SimScenario square(int ports, int targetInput, int targetOutput) {
    SimScenario scenario;
    scenario.inputs = ports;
    scenario.outputs = ports;
    scenario.targetInput = targetInput;
    scenario.targetOutput = targetOutput;
    return scenario;
}

SimScenario answeringLate(SimScenario scenario, int lateMs) {
    scenario.behaviour.handshakeDelayMs = lateMs;
    return scenario;
}

// The layouts, keyed as bench/run_discovery.py knows them.
std::vector<Layout> layouts() {
    SimScenario through = square(2, 1, 1);
    // Output 0 comes back on input 0, as the ALSA sequencer's Midi Through, listed before the product.
    through.thrus = {{0, 0}};
    return {
        {"1x1", square(1, 0, 0)},
        {"2x2-through", through},
        {"3x3", square(3, 1, 2)},
        {"10x10-last", square(10, 9, 9)},
        {"3x3-late400", answeringLate(square(3, 1, 2), 400)},
        {"3x3-late1500", answeringLate(square(3, 1, 2), 1500)},
        {"3x3-first", square(3, 0, 0)},
        {"3x3-first-late400", answeringLate(square(3, 0, 0), 400)},
        {"3x3-first-late1500", answeringLate(square(3, 0, 0), 1500)},
        {"3x3-none", square(3, -1, 0)},
        {"10x10-none", square(10, -1, 0)},
    };
}

// The index of the port with this name, as the console shows it; -1 for none.
int portNamed(bool input, int count, const std::string& name) {
    for (int i = 0; i < count; ++i)
        if (simPortName(input, i) == name) return i;
    return -1;
}

std::string lineAfter(const std::string& text, const std::string& start) {
    const std::size_t at = text.find(start);
    if (at == std::string::npos) return "";
    const std::size_t from = at + start.size();
    return text.substr(from, text.find('\n', from) - from);
}

int handshakesSent() {
    const Bytes handshake = {0xF0, 'H', 'q', '7', ':', 'b', 'X', 'w', 0xF7};
    int count = 0;
    for (const auto& sent : messagesSent()) count += sent.second == handshake;
    return count;
}

void measure(const Layout& layout) {
    const SimScenario& scenario = layout.scenario;
    simStart(scenario);
    clearReplyMailbox();
    std::uint8_t outcome = DEVICE_NOT_FOUND;
    const std::string console = runCaptured([&] {
        HandshakeAnswers answers{};
        outcome = findUpdateDevice(REPLY_READY, answers);
    });
    const std::uint64_t ms = simNowMs();
    closeMidiIn();
    closeMidiOut();
    simStop();
    const int input = portNamed(true, scenario.inputs, lineAfter(console, "MIDIIN Device: "));
    const int output = portNamed(false, scenario.outputs, lineAfter(console, "MIDIOUT Device: "));
    const bool found = outcome != DEVICE_NOT_FOUND;
    const bool right = scenario.targetInput < 0 ? !found
                                                : found && input == scenario.targetInput && output == scenario.targetOutput;
    const std::string pair = found ? std::to_string(input) + "/" + std::to_string(output) : "-";
    std::printf("layout=%s ms=%llu pair=%s ok=%d handshakes=%d\n", layout.key, static_cast<unsigned long long>(ms),
                pair.c_str(), right ? 1 : 0, handshakesSent());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "--help") != 0)) {
        std::fputs("usage: bench_discovery\n", stderr);
        return 2;
    }
    if (argc == 2) {
        std::fputs("usage: bench_discovery\nTimes the search for the emulated target on virtual time, one line of "
                   "figures (key=value) per layout of ports, for bench/run_discovery.py.\n",
                   stdout);
        return 0;
    }
    for (const Layout& layout : layouts()) measure(layout);
    return 0;
}
