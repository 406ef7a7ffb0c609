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
// At process exit it writes a report to the same path with ".report" appended: what was left open or
// queued, the calls refused, and the target's side (flash, records, every message it received).
#define _WINMM_    // winmm's functions are defined here, not imported
#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/sim_world.h"

namespace {

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

std::mutex stateMutex;
bool worldStarted = false;
std::string reportPath;
SimScenario scenario;
std::vector<EmulatedInput> inputs;
std::vector<EmulatedOutput> outputs;
std::set<const MIDIHDR*> preparedHeaders;
std::uintptr_t nextHandle = 0x4D00;
int refusedCalls = 0;
int closesRefused = 0;
int timerPeriodsHeld = 0;
std::string refusals;       // which calls were refused, in order
std::string scenarioErrors; // scenario lines not understood
std::string timerCalls;     // timeBeginPeriod and timeEndPeriod, in order

using Lock = std::unique_lock<std::mutex>;

void noteRefusal(const char* call, MMRESULT result) {
    ++refusedCalls;
    if (refusals.size() < 2000) refusals += std::string(" ") + call + "=" + std::to_string(result);
}

// Lines of the scenario not understood, for the report: a mistyped scenario must not pass unseen.
void noteScenarioError(const std::string& what) { scenarioErrors += " [" + what + "]"; }

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

Lock lockState() {
    Lock lock(stateMutex);
    ensureWorld(lock);
    return lock;
}

int inputIndexOf(HMIDIIN handle) {
    for (std::size_t i = 0; i < inputs.size(); ++i)
        if (inputs[i].open && inputs[i].handle == handle) return static_cast<int>(i);
    return -1;
}

int outputIndexOf(HMIDIOUT handle) {
    for (std::size_t i = 0; i < outputs.size(); ++i)
        if (outputs[i].open && outputs[i].handle == handle) return static_cast<int>(i);
    return -1;
}

MMRESULT resultOf(int simResult) {
    switch (simResult) {
    case 0: return MMSYSERR_NOERROR;
    case SIM_ERROR_BAD_DEVICE: return MMSYSERR_BADDEVICEID;
    case SIM_ERROR_ALLOCATED: return MMSYSERR_ALLOCATED;
    default: return MMSYSERR_ERROR;
    }
}

void callInput(const EmulatedInput& input, UINT message, DWORD_PTR param1, DWORD_PTR param2) {
    if ((input.flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION || input.callback == 0) return;
    reinterpret_cast<LPDRVCALLBACK>(input.callback)(reinterpret_cast<HDRVR>(input.handle), message, input.instance,
                                                    param1, param2);
}

DWORD timestamp() { return static_cast<DWORD>(simNowMs()); }

// The world's delivery thread hands a message to an input here; the callback runs on that thread.
void deliverToInput(void* context, const std::uint8_t* bytes, std::size_t length, bool sysex) {
    const int index = static_cast<int>(reinterpret_cast<std::uintptr_t>(context));
    Lock lock(stateMutex);
    EmulatedInput& input = inputs[static_cast<std::size_t>(index)];
    if (!input.open || !input.started || (sysex && input.queue.empty())) {
        lock.unlock();
        simNoteLost(index, bytes, length);
        return;
    }
    const EmulatedInput receiver = input;
    if (!sysex) {
        DWORD packed = 0;
        for (std::size_t i = 0; i < length && i < 3; ++i) packed |= static_cast<DWORD>(bytes[i]) << (8 * i);
        lock.unlock();
        callInput(receiver, MIM_DATA, packed, timestamp());
        return;
    }
    MIDIHDR* header = input.queue.front();
    input.queue.pop_front();
    const std::size_t recorded = std::min<std::size_t>(length, header->dwBufferLength);
    std::memcpy(header->lpData, bytes, recorded);
    header->dwBytesRecorded = static_cast<DWORD>(recorded);
    header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    // A system-exclusive message cut short (a status byte before its F7, a glitch on the cable): winmm
    // hands the buffer back with what came, as an error; the buffer is then no longer queued.
    const bool broken = length == 0 || bytes[length - 1] != 0xF7;
    lock.unlock();
    callInput(receiver, broken ? MIM_LONGERROR : MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), timestamp());
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

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
    for (const SimEvent& event : events)
        if (event.kind == SIM_SENT && event.port == scenario.targetOutput)
            std::fprintf(file, "received %s\n", hexOf(event.bytes).c_str());
    std::fclose(file);
}

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

bool headerUsable(const MIDIHDR* header, UINT size) {
    return header != nullptr && size >= sizeof(MIDIHDR) && header->lpData != nullptr && header->dwBufferLength > 0;
}

}  // namespace

extern "C" {

UINT WINAPI midiInGetNumDevs(void) {
    Lock lock = lockState();
    return static_cast<UINT>(inputs.size());
}

UINT WINAPI midiOutGetNumDevs(void) {
    Lock lock = lockState();
    return static_cast<UINT>(outputs.size());
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) { return fillCaps(true, id, caps, size); }

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) {
    return fillCaps(false, id, caps, size);
}

MMRESULT WINAPI midiInOpen(LPHMIDIIN handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    Lock lock = lockState();
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    if (id >= inputs.size()) return MMSYSERR_BADDEVICEID;
    const DWORD kind = flags & CALLBACK_TYPEMASK;
    if (kind != CALLBACK_FUNCTION && kind != CALLBACK_NULL) {
        noteRefusal("midiInOpen", MMSYSERR_INVALFLAG);
        return MMSYSERR_INVALFLAG;
    }
    const int result = simOpenInput(static_cast<int>(id), deliverToInput, reinterpret_cast<void*>(static_cast<std::uintptr_t>(id)));
    if (result != 0) return resultOf(result);
    EmulatedInput& input = inputs[id];
    input = EmulatedInput{};
    input.open = true;
    input.handle = reinterpret_cast<HMIDIIN>(nextHandle++);
    input.callback = callback;
    input.instance = instance;
    input.flags = flags;
    *handle = input.handle;
    const EmulatedInput receiver = input;
    lock.unlock();
    callInput(receiver, MIM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

// What every call on a header asks first, in either direction: a known handle and a header of its
// true size.
static MMRESULT checkHeader(const char* call, bool handleKnown, LPMIDIHDR header, UINT size) {
    if (!handleKnown) {
        noteRefusal(call, MMSYSERR_INVALHANDLE);
        return MMSYSERR_INVALHANDLE;
    }
    if (!headerUsable(header, size)) {
        noteRefusal(call, MMSYSERR_INVALPARAM);
        return MMSYSERR_INVALPARAM;
    }
    return MMSYSERR_NOERROR;
}

static MMRESULT prepareHeader(const char* call, bool handleKnown, LPMIDIHDR header, UINT size) {
    if (const MMRESULT refused = checkHeader(call, handleKnown, header, size); refused != MMSYSERR_NOERROR)
        return refused;
    header->dwFlags |= MHDR_PREPARED;
    preparedHeaders.insert(header);
    return MMSYSERR_NOERROR;
}

// Queueing or sending a header also needs it prepared before.
static MMRESULT checkPreparedHeader(const char* call, bool handleKnown, LPMIDIHDR header, UINT size) {
    if (const MMRESULT refused = checkHeader(call, handleKnown, header, size); refused != MMSYSERR_NOERROR)
        return refused;
    if (!(header->dwFlags & MHDR_PREPARED) || preparedHeaders.count(header) == 0) {
        noteRefusal(call, MIDIERR_UNPREPARED);
        return MIDIERR_UNPREPARED;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    Lock lock = lockState();
    return prepareHeader("midiInPrepareHeader", inputIndexOf(handle) >= 0, header, size);
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    Lock lock = lockState();
    if (inputIndexOf(handle) < 0) {
        noteRefusal("midiInUnprepareHeader", MMSYSERR_INVALHANDLE);
        return MMSYSERR_INVALHANDLE;
    }
    if (header == nullptr || size < sizeof(MIDIHDR)) {
        noteRefusal("midiInUnprepareHeader", MMSYSERR_INVALPARAM);
        return MMSYSERR_INVALPARAM;
    }
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    header->dwFlags &= ~MHDR_PREPARED;
    preparedHeaders.erase(header);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    Lock lock = lockState();
    const int index = inputIndexOf(handle);
    if (const MMRESULT refused = checkPreparedHeader("midiInAddBuffer", index >= 0, header, size)) return refused;
    if (header->dwFlags & MHDR_INQUEUE) {
        noteRefusal("midiInAddBuffer", MIDIERR_STILLPLAYING);
        return MIDIERR_STILLPLAYING;
    }
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    inputs[static_cast<std::size_t>(index)].queue.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStart(HMIDIIN handle) {
    Lock lock = lockState();
    const int index = inputIndexOf(handle);
    if (index < 0) {
        noteRefusal("midiInStart", MMSYSERR_INVALHANDLE);
        return MMSYSERR_INVALHANDLE;
    }
    const int result = simStartInput(index);
    if (result == 0) inputs[static_cast<std::size_t>(index)].started = true;
    return result == SIM_ERROR_BAD_DEVICE ? MMSYSERR_NODRIVER : resultOf(result);
}

MMRESULT WINAPI midiInStop(HMIDIIN handle) {
    Lock lock = lockState();
    const int index = inputIndexOf(handle);
    if (index < 0) {
        noteRefusal("midiInStop", MMSYSERR_INVALHANDLE);
        return MMSYSERR_INVALHANDLE;
    }
    inputs[static_cast<std::size_t>(index)].started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInReset(HMIDIIN handle) {
    Lock lock = lockState();
    const int index = inputIndexOf(handle);
    if (index < 0) {
        noteRefusal("midiInReset", MMSYSERR_INVALHANDLE);
        return MMSYSERR_INVALHANDLE;
    }
    EmulatedInput& input = inputs[static_cast<std::size_t>(index)];
    input.started = false;
    std::deque<MIDIHDR*> returned;
    returned.swap(input.queue);
    for (MIDIHDR* header : returned) {
        header->dwBytesRecorded = 0;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    }
    const EmulatedInput receiver = input;
    lock.unlock();
    for (MIDIHDR* header : returned) callInput(receiver, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(header), timestamp());
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInClose(HMIDIIN handle) {
    Lock lock = lockState();
    const int index = inputIndexOf(handle);
    if (index < 0) {
        noteRefusal("midiInClose", MMSYSERR_INVALHANDLE);
        return MMSYSERR_INVALHANDLE;
    }
    EmulatedInput& input = inputs[static_cast<std::size_t>(index)];
    if (!input.queue.empty()) {
        ++closesRefused;
        return MIDIERR_STILLPLAYING;
    }
    const EmulatedInput receiver = input;
    input.open = false;
    input.started = false;
    lock.unlock();
    // Outside the lock: the world waits here for a callback that is running to return.
    simCloseInput(index);
    callInput(receiver, MIM_CLOSE, 0, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutOpen(LPHMIDIOUT handle, UINT id, DWORD_PTR, DWORD_PTR, DWORD flags) {
    Lock lock = lockState();
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    if (id >= outputs.size()) return MMSYSERR_BADDEVICEID;
    // Only CALLBACK_NULL is emulated: the program polls its sends and asks for no notices.
    if ((flags & CALLBACK_TYPEMASK) != CALLBACK_NULL) {
        noteRefusal("midiOutOpen", MMSYSERR_INVALFLAG);
        return MMSYSERR_INVALFLAG;
    }
    const int result = simOpenOutput(static_cast<int>(id));
    if (result != 0) return resultOf(result);
    EmulatedOutput& output = outputs[id];
    output = EmulatedOutput{true, reinterpret_cast<HMIDIOUT>(nextHandle++), nullptr};
    *handle = output.handle;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    Lock lock = lockState();
    return prepareHeader("midiOutPrepareHeader", outputIndexOf(handle) >= 0, header, size);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    Lock lock = lockState();
    const int index = outputIndexOf(handle);
    if (const MMRESULT refused = checkPreparedHeader("midiOutLongMsg", index >= 0, header, size)) return refused;
    EmulatedOutput& output = outputs[static_cast<std::size_t>(index)];
    if (output.sending != nullptr) {
        // The program sends one message at a time and waits for each; a second one means it did not.
        noteRefusal("midiOutLongMsg", MIDIERR_NOTREADY);
        return MIDIERR_NOTREADY;
    }
    const int result = simSend(index, reinterpret_cast<const std::uint8_t*>(header->lpData), header->dwBufferLength);
    // A device that is gone answers as its driver does once the device has been unplugged.
    if (result != 0) return MMSYSERR_NODRIVER;
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    output.sending = header;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    Lock lock = lockState();
    const int index = outputIndexOf(handle);
    if (index < 0) {
        noteRefusal("midiOutUnprepareHeader", MMSYSERR_INVALHANDLE);
        return MMSYSERR_INVALHANDLE;
    }
    if (header == nullptr || size < sizeof(MIDIHDR)) {
        noteRefusal("midiOutUnprepareHeader", MMSYSERR_INVALPARAM);
        return MMSYSERR_INVALPARAM;
    }
    EmulatedOutput& output = outputs[static_cast<std::size_t>(index)];
    if (output.sending == header) {
        if (!simSendDone(index)) return MIDIERR_STILLPLAYING;
        output.sending = nullptr;
        header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    }
    header->dwFlags &= ~MHDR_PREPARED;
    preparedHeaders.erase(header);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutReset(HMIDIOUT handle) {
    Lock lock = lockState();
    const int index = outputIndexOf(handle);
    if (index < 0) {
        noteRefusal("midiOutReset", MMSYSERR_INVALHANDLE);
        return MMSYSERR_INVALHANDLE;
    }
    EmulatedOutput& output = outputs[static_cast<std::size_t>(index)];
    if (output.sending != nullptr) {
        output.sending->dwFlags = (output.sending->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
        output.sending = nullptr;
        simAbandonSend(index);
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT handle) {
    Lock lock = lockState();
    const int index = outputIndexOf(handle);
    if (index < 0) {
        noteRefusal("midiOutClose", MMSYSERR_INVALHANDLE);
        return MMSYSERR_INVALHANDLE;
    }
    EmulatedOutput& output = outputs[static_cast<std::size_t>(index)];
    if (output.sending != nullptr) {
        ++closesRefused;
        return MIDIERR_STILLPLAYING;
    }
    simCloseOutput(index);
    output = EmulatedOutput{};
    return MMSYSERR_NOERROR;
}

// Each call with its period and how many port opens and closes came before it: a program that sleeps
// 1 ms at a time holds 1 ms resolution from before its first port to after its last.
void noteTimerCall(const char* call, UINT period) {
    const std::string portCalls = simPortCalls();
    const long before = portCalls.empty() ? 0 : 1 + std::count(portCalls.begin(), portCalls.end(), ' ');
    timerCalls += " " + std::string(call) + "(" + std::to_string(period) + ")@" + std::to_string(before);
}

MMRESULT WINAPI timeBeginPeriod(UINT period) {
    Lock lock = lockState();
    noteTimerCall("begin", period);
    if (period == 0) return TIMERR_NOCANDO;
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

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_DETACH) return TRUE;
    // Normally the world has stopped at exit() already; a stop here does no harm.
    simStop();
    Lock lock(stateMutex);
    writeReport();
    return TRUE;
}

}  // extern "C"
