// The emulated winmm's timer calls: the timer resolution a program asks for, counted and logged for
// the report.
#include "emulated/winmm/winmm_emulated.h"

namespace emulated {

int timerPeriodsHeld = 0;
std::string timerCalls;

namespace {

// Each call with its period and how many port opens and closes came before it: a program that sleeps
// 1 ms at a time holds 1 ms resolution from before its first port to after its last.
void noteTimerCall(const char* call, UINT period) {
    const std::string portCalls = simPortCalls();
    const long before = portCalls.empty() ? 0 : 1 + std::count(portCalls.begin(), portCalls.end(), ' ');
    timerCalls += " " + std::string(call) + "(" + std::to_string(period) + ")@" + std::to_string(before);
}

}  // namespace

}  // namespace emulated

using namespace emulated;

extern "C" {

MMRESULT WINAPI timeBeginPeriod(UINT period) {
    Lock lock = lockState();
    noteTimerCall("begin", period);
    if (period == 0 || timerResolutionRefused) return TIMERR_NOCANDO;
    ++timerPeriodsHeld;
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT period) {
    Lock lock = lockState();
    noteTimerCall("end", period);
    if (period == 0 || timerPeriodsHeld == 0) {
        noteRefusal("timeEndPeriod", TIMERR_NOCANDO);
        return TIMERR_NOCANDO;
    }
    --timerPeriodsHeld;
    return TIMERR_NOERROR;
}

}  // extern "C"
