// The emulated winmm's report, written at the process's end to the scenario's path with ".report"
// appended: what was left open or queued, the calls refused, and the target's side (flash, records,
// every message it received).
#include "emulated/winmm/winmm_emulated.h"

#include <cstdio>

namespace emulated {

std::string reportPath;
int closesRefused = 0;

namespace {

int refusedCalls = 0;
std::string refusals;        // which calls were refused, in order
std::string scenarioErrors;  // scenario lines not understood

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

}  // namespace

void noteRefusal(const char* call, MMRESULT result) {
    ++refusedCalls;
    if (refusals.size() < 2000) refusals += std::string(" ") + call + "=" + std::to_string(result);
}

// Lines of the scenario not understood, for the report: a mistyped scenario must not pass unseen.
void noteScenarioError(const std::string& what) { scenarioErrors += " [" + what + "]"; }

void writeReport() {
    if (reportPath.empty()) return;
    // Binary: plain LF lines for the test that reads the report on the host.
    std::FILE* file = std::fopen(reportPath.c_str(), "wb");
    if (file == nullptr) return;
    int inputsOpen = 0;
    int outputsOpen = 0;
    std::size_t queued = 0;
    for (const EmulatedInput& input : inputs) {
        inputsOpen += input.open;
        queued += input.queue.size();
    }
    for (const EmulatedOutput& output : outputs) outputsOpen += output.open;
    const TargetModel target = simTargetSnapshot();
    const std::vector<SimEvent> events = simEvents();
    int lost = 0;
    for (const SimEvent& event : events) lost += event.kind == SIM_LOST;
    if (!scenarioErrors.empty()) std::fprintf(file, "scenario-not-understood%s\n", scenarioErrors.c_str());
    std::fprintf(file, "inputs-open %d\n", inputsOpen);
    std::fprintf(file, "outputs-open %d\n", outputsOpen);
    std::fprintf(file, "buffers-queued %u\n", static_cast<unsigned>(queued));
    std::fprintf(file, "headers-prepared %u\n", static_cast<unsigned>(preparedHeaders.size()));
    std::fprintf(file, "timer-periods-held %d\n", timerPeriodsHeld);
    std::fprintf(file, "calls-refused %d%s\n", refusedCalls, refusals.c_str());
    std::fprintf(file, "closes-refused %d\n", closesRefused);
    std::fprintf(file, "port-calls %s\n", simPortCalls().c_str());
    std::fprintf(file, "timer-calls%s\n", timerCalls.c_str());
    std::fprintf(file, "handshakes %d\n", target.handshakes);
    std::fprintf(file, "records-accepted %d\n", target.recordsAccepted);
    std::fprintf(file, "records-refused %d\n", target.recordsRefused);
    std::fprintf(file, "replies-lost %d\n", lost);
    std::fprintf(file, "flash %s\n", hexOf(target.flash).c_str());
    const auto reachesTarget = [](int output) {
        return output == scenario.targetOutput ||
               std::find(scenario.targetAlsoOnOutputs.begin(), scenario.targetAlsoOnOutputs.end(), output) !=
                   scenario.targetAlsoOnOutputs.end();
    };
    for (const SimEvent& event : events)
        if (event.kind == SIM_SENT && reachesTarget(event.port))
            std::fprintf(file, "received %s\n", hexOf(event.bytes).c_str());
    std::fclose(file);
}

}  // namespace emulated
