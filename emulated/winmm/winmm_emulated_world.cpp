// The world behind the emulated winmm: the scenario it is set up from, its start on the first call
// into the library and its stop at the process's end.
//
// The scenario comes from the file named by UPDATE_EMULATED_WINMM (read here only, never by the
// program): one option a line, "--name value", the value running to the end of the line; '#' starts a
// comment. The target's behaviour is told in zentravox-target's own options (--refuse 2:20, --delay
// 700, --silent-from 1, ...: see zentravox-target --help); the ports around it in these:
//   --inputs N | --outputs N              ports of each kind (1 each)
//   --target-input I | --target-output O  where the target sits (0; -1: nowhere)
//   --input-name I:TEXT | --output-name O:TEXT
//   --output-vanishes-after M | --input-vanishes-after M   the target's port goes after message M
//   --send-busy-polls N                   polls a send stays "still playing" (3)
//   --sends-never-finish
//   --target-also-input I | --target-also-output O   the target is behind this port too
//   --thru O:I                            what is sent on output O comes back on input I
//   --output-name-lost-when-open O        output O's name cannot be read while it is open (its
//                                         device went away between the open and the question)
//   --timer-resolution-refused            timeBeginPeriod refuses every period
#include "emulated/winmm/winmm_emulated.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace emulated {

std::mutex stateMutex;
SimScenario scenario;
std::vector<EmulatedInput> inputs;
std::vector<EmulatedOutput> outputs;
std::uintptr_t nextHandle = 0x4D00;
int outputNameLostWhenOpen = -1;
bool timerResolutionRefused = false;

namespace {

bool worldStarted = false;

bool readPortWord(const std::string& option, const std::string& value, std::map<int, std::string>& inputNames,
                  std::map<int, std::string>& outputNames) {
    const long number = std::atol(value.c_str());
    if (option == "--inputs") scenario.inputs = static_cast<int>(number);
    else if (option == "--outputs") scenario.outputs = static_cast<int>(number);
    else if (option == "--target-input") scenario.targetInput = static_cast<int>(number);
    else if (option == "--target-output") scenario.targetOutput = static_cast<int>(number);
    else if (option == "--output-vanishes-after") scenario.outputVanishesAfter = number;
    else if (option == "--input-vanishes-after") scenario.inputVanishesAfter = number;
    else if (option == "--send-busy-polls") scenario.sendBusyPolls = static_cast<int>(number);
    else if (option == "--sends-never-finish") scenario.sendsNeverFinish = true;
    else if (option == "--target-also-input") scenario.targetAlsoOnInputs.push_back(static_cast<int>(number));
    else if (option == "--target-also-output") scenario.targetAlsoOnOutputs.push_back(static_cast<int>(number));
    else if (option == "--thru") {
        const std::size_t colon = value.find(':');
        if (colon == std::string::npos) return false;
        scenario.thrus.push_back({static_cast<int>(number), std::atoi(value.c_str() + colon + 1)});
    }
    else if (option == "--output-name-lost-when-open") outputNameLostWhenOpen = static_cast<int>(number);
    else if (option == "--timer-resolution-refused") timerResolutionRefused = true;
    else if (option == "--input-name" || option == "--output-name") {
        const std::size_t colon = value.find(':');
        if (colon == std::string::npos) return false;
        (option == "--input-name" ? inputNames : outputNames)[std::atoi(value.c_str())] = value.substr(colon + 1);
    } else {
        return false;
    }
    return true;
}

void readScenario(const char* path) {
    std::map<int, std::string> inputNames;
    std::map<int, std::string> outputNames;
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return;
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (char* comment = std::strchr(line, '#')) *comment = '\0';
        std::string text = line;
        text.erase(text.find_last_not_of(" \t\r\n") + 1);
        const std::size_t start = text.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        text.erase(0, start);
        const std::size_t space = text.find_first_of(" \t");
        const std::string option = text.substr(0, space);
        const std::string value = space == std::string::npos ? "" : text.substr(text.find_first_not_of(" \t", space));
        if (readPortWord(option, value, inputNames, outputNames)) continue;
        std::string error;
        if (!applyBehaviourWord(option, value, scenario.behaviour, error)) noteScenarioError(error);
    }
    std::fclose(file);
    // The world takes a whole list of names; ports not named in the scenario get its usual ones.
    for (int input = 0; input < scenario.inputs; ++input) {
        const auto named = inputNames.find(input);
        scenario.inputNames.push_back(named != inputNames.end() ? named->second
                                      : input == scenario.targetInput ? "Zentravox In"
                                                                      : "MIDI In " + std::to_string(input + 1));
    }
    for (int output = 0; output < scenario.outputs; ++output) {
        const auto named = outputNames.find(output);
        scenario.outputNames.push_back(named != outputNames.end() ? named->second
                                       : output == scenario.targetOutput ? "Zentravox Out"
                                                                         : "MIDI Out " + std::to_string(output + 1));
    }
}

int __cdecl stopWorld() {
    simStop();
    return 0;
}

// The world's delivery thread must end while it is still alive. By the time the library is told of
// the process's exit, Windows has killed it in the middle of a wait, and the world's condition variable,
// still counting it as a waiter, would hang its destruction. The C runtime's exit() runs before any
// thread is killed, so the stop goes into the process's own exit list (the C runtime's, not the
// library's, which only runs at detach).
void stopWorldAtProcessExit() {
    using OnExit = _onexit_t(__cdecl*)(_onexit_t);
    const HMODULE runtime = GetModuleHandleA("msvcrt.dll");
    if (runtime == nullptr) return;
    // GetProcAddress gives a generic function pointer; void (*)() is the cast's neutral stop on the way.
    const auto generic = reinterpret_cast<void (*)()>(GetProcAddress(runtime, "_onexit"));
    if (const auto processOnExit = reinterpret_cast<OnExit>(generic))
        processOnExit(stopWorld);
}

// Sets up the world on the first call into the library. Not in DllMain: the world starts a thread.
void ensureWorld(Lock&) {
    if (worldStarted) return;
    worldStarted = true;
    scenario = SimScenario{};
    outputNameLostWhenOpen = -1;
    timerResolutionRefused = false;
    scenario.sendBusyPolls = 3;
    scenario.realTime = true;
    if (const char* path = std::getenv("UPDATE_EMULATED_WINMM")) {
        reportPath = std::string(path) + ".report";
        readScenario(path);
    } else {
        // Without a scenario this is a machine without MIDI ports.
        scenario.inputs = 0;
        scenario.outputs = 0;
    }
    inputs.assign(static_cast<std::size_t>(std::max(scenario.inputs, 0)), EmulatedInput{});
    outputs.assign(static_cast<std::size_t>(std::max(scenario.outputs, 0)), EmulatedOutput{});
    simStart(scenario);
    stopWorldAtProcessExit();
}

}  // namespace

Lock lockState() {
    Lock lock(stateMutex);
    ensureWorld(lock);
    return lock;
}

MMRESULT resultOf(int simResult) {
    switch (simResult) {
    case 0: return MMSYSERR_NOERROR;
    case SIM_ERROR_BAD_DEVICE: return MMSYSERR_BADDEVICEID;
    case SIM_ERROR_ALLOCATED: return MMSYSERR_ALLOCATED;
    default: return MMSYSERR_ERROR;
    }
}

}  // namespace emulated

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_DETACH) return TRUE;
    // Normally the world has stopped at exit() already; a stop here does no harm.
    simStop();
    emulated::Lock lock(emulated::stateMutex);
    emulated::writeReport();
    return TRUE;
}
