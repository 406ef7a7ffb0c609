// An emulated winmm.dll for running update.exe under wine against the emulated target. Wine loads it
// in place of its own winmm when it lies beside the program (WINEDLLOVERRIDES=winmm=n). Behind winmm's
// MIDI calls is the target's world in real time: replies come from the world's delivery thread, as a
// driver's do from a thread of its own.
//
// Where programs commonly go wrong on Windows it is as strict as Windows: a send stays "still playing"
// for a few polls, a close is refused while a buffer is queued, a reset hands queued buffers back
// through the callback with nothing recorded, a message that arrives with no buffer queued is lost,
// and a port that vanished fails its calls. Calls Windows would refuse outright (unknown handles,
// unprepared or wrongly sized headers) are refused and counted.
//
// The library's own state, shared by its files (one per group of calls):
//   winmm_emulated_world.cpp    the scenario file, the world behind the ports, the process's end
//   winmm_emulated_report.cpp   the report written at exit, and the refusals it counts
//   winmm_emulated_in.cpp       midiIn*, and the world's deliveries to an input
//   winmm_emulated_out.cpp      midiOut*
//   winmm_emulated_headers.cpp  the checks on a MIDIHDR that both directions make
//   winmm_emulated_timer.cpp    timeBeginPeriod, timeEndPeriod
// Every call takes the state's lock first, through lockState().
#pragma once

#define _WINMM_    // winmm's functions are defined here, not imported
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "emulated/world/sim_world.h"

namespace emulated {

struct EmulatedInput {
    bool open = false;
    bool started = false;
    HMIDIIN handle = nullptr;
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    DWORD flags = 0;
    std::deque<MIDIHDR*> queue;
};

struct EmulatedOutput {
    bool open = false;
    HMIDIOUT handle = nullptr;
    MIDIHDR* sending = nullptr;
};

using Lock = std::unique_lock<std::mutex>;

// --- the world (winmm_emulated_world.cpp) ---
extern std::mutex stateMutex;
extern SimScenario scenario;
extern std::vector<EmulatedInput> inputs;
extern std::vector<EmulatedOutput> outputs;
extern std::uintptr_t nextHandle;
extern int outputNameLostWhenOpen;   // -1: every name can be read
extern bool timerResolutionRefused;  // timeBeginPeriod refuses, as on a machine that cannot time finer
// The state's lock, with the world set up on the first call into the library.
Lock lockState();
// winmm's result for a result of the world's port calls.
MMRESULT resultOf(int simResult);

// --- the report (winmm_emulated_report.cpp) ---
extern std::string reportPath;
extern int closesRefused;
void noteRefusal(const char* call, MMRESULT result);

// The index of the open port with this handle among `ports` (inputs or outputs), or -1.
template <class Port, class Handle>
int openPortIndex(const std::vector<Port>& ports, Handle handle) {
    for (std::size_t i = 0; i < ports.size(); ++i)
        if (ports[i].open && ports[i].handle == handle) return static_cast<int>(i);
    return -1;
}

// The same, or -1 with the call counted as refused: Windows refuses a handle it does not know.
template <class Port, class Handle>
int knownPort(const std::vector<Port>& ports, Handle handle, const char* call) {
    const int index = openPortIndex(ports, handle);
    if (index < 0) noteRefusal(call, MMSYSERR_INVALHANDLE);
    return index;
}
void noteScenarioError(const std::string& what);
void writeReport();

// --- headers (winmm_emulated_headers.cpp) ---
extern std::set<const MIDIHDR*> preparedHeaders;
MMRESULT prepareHeader(const char* call, bool handleKnown, LPMIDIHDR header, UINT size);
// Queueing or sending a header also needs it prepared before.
MMRESULT checkPreparedHeader(const char* call, bool handleKnown, LPMIDIHDR header, UINT size);

// --- the timer (winmm_emulated_timer.cpp) ---
extern int timerPeriodsHeld;
extern std::string timerCalls;   // timeBeginPeriod and timeEndPeriod, in order

// A port's capabilities, in either direction: the world's name for it and no real maker's numbers.
template <typename Caps>
MMRESULT fillCaps(bool input, UINT_PTR id, Caps* caps, UINT size) {
    if (caps == nullptr || size == 0) return MMSYSERR_INVALPARAM;
    Lock lock = lockState();
    Caps full{};
    full.wMid = 0xFFFF;    // "unmapped" maker and product: no real maker's numbers
    full.wPid = 0xFFFF;
    full.vDriverVersion = 0x0100;
    if (id > 0xFFFF || !(input ? simInputName(static_cast<int>(id), full.szPname, sizeof full.szPname)
                               : simOutputName(static_cast<int>(id), full.szPname, sizeof full.szPname)))
        return MMSYSERR_BADDEVICEID;
    std::memcpy(caps, &full, std::min<std::size_t>(size, sizeof full));
    return MMSYSERR_NOERROR;
}

}  // namespace emulated
