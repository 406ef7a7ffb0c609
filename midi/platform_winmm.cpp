// The platform seam on the Windows multimedia MIDI services (winmm). Each call is the winmm call the
// seam was shaped after; what is added here is the bookkeeping winmm leaves to its caller: a MIDIHDR
// for every receive buffer and for the message being sent, and the trampoline that turns winmm's
// input callback into the seam's.
//
// The program imports no winmm. winmm.dll is not one of Windows' KnownDLLs, so an import of it is
// looked for in the program's own folder first: a winmm.dll that a web page once dropped into the
// Downloads folder would run with the user's rights when update.exe is double-clicked there. winmm is
// taken at start-up from the system folder alone, and its functions by name.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "midi/midi_platform.h"

namespace {

// The winmm functions this backend calls, taken by name from the system folder's winmm.dll.
struct WinmmFunctions {
    decltype(&::midiInGetDevCapsA) midiInGetDevCapsA;
    decltype(&::midiOutGetDevCapsA) midiOutGetDevCapsA;
    decltype(&::midiInOpen) midiInOpen;
    decltype(&::midiInPrepareHeader) midiInPrepareHeader;
    decltype(&::midiInAddBuffer) midiInAddBuffer;
    decltype(&::midiInUnprepareHeader) midiInUnprepareHeader;
    decltype(&::midiInStart) midiInStart;
    decltype(&::midiInStop) midiInStop;
    decltype(&::midiInReset) midiInReset;
    decltype(&::midiInClose) midiInClose;
    decltype(&::midiOutOpen) midiOutOpen;
    decltype(&::midiOutPrepareHeader) midiOutPrepareHeader;
    decltype(&::midiOutLongMsg) midiOutLongMsg;
    decltype(&::midiOutUnprepareHeader) midiOutUnprepareHeader;
    decltype(&::midiOutReset) midiOutReset;
    decltype(&::midiOutClose) midiOutClose;
    decltype(&::timeBeginPeriod) timeBeginPeriod;
    decltype(&::timeEndPeriod) timeEndPeriod;
};
WinmmFunctions winmm{};
bool winmmLoaded = false;
bool winmmFailureTold = false;

template <typename Function>
bool take(HMODULE library, const char* name, Function& function) {
    // GetProcAddress hands every function back as one type; the name says which it is.
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    return function != nullptr;
}

// The system folder's winmm.dll and nothing else. Every load after this one, whoever asks for it,
// searches the system folder alone too. A Windows without SetDefaultDllDirectories (7 before its loader
// update) knows neither the call nor the flag: there the system folder's full path stands in.
HMODULE loadWinmmFromSystemFolder() {
    using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
    SetDefaultDllDirectoriesCall setDefaultDllDirectories = nullptr;
    take(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories", setDefaultDllDirectories);
    if (setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    static const wchar_t fileName[] = L"\\winmm.dll";
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + sizeof fileName / sizeof fileName[0] > MAX_PATH) return nullptr;
    std::memcpy(path + length, fileName, sizeof fileName);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void loadWinmm() {
    const HMODULE library = loadWinmmFromSystemFolder();
    if (library == nullptr) return;
    winmmLoaded = take(library, "midiInGetDevCapsA", winmm.midiInGetDevCapsA) &&
                  take(library, "midiOutGetDevCapsA", winmm.midiOutGetDevCapsA) &&
                  take(library, "midiInOpen", winmm.midiInOpen) &&
                  take(library, "midiInPrepareHeader", winmm.midiInPrepareHeader) &&
                  take(library, "midiInAddBuffer", winmm.midiInAddBuffer) &&
                  take(library, "midiInUnprepareHeader", winmm.midiInUnprepareHeader) &&
                  take(library, "midiInStart", winmm.midiInStart) &&
                  take(library, "midiInStop", winmm.midiInStop) &&
                  take(library, "midiInReset", winmm.midiInReset) &&
                  take(library, "midiInClose", winmm.midiInClose) &&
                  take(library, "midiOutOpen", winmm.midiOutOpen) &&
                  take(library, "midiOutPrepareHeader", winmm.midiOutPrepareHeader) &&
                  take(library, "midiOutLongMsg", winmm.midiOutLongMsg) &&
                  take(library, "midiOutUnprepareHeader", winmm.midiOutUnprepareHeader) &&
                  take(library, "midiOutReset", winmm.midiOutReset) &&
                  take(library, "midiOutClose", winmm.midiOutClose) &&
                  take(library, "timeBeginPeriod", winmm.timeBeginPeriod) &&
                  take(library, "timeEndPeriod", winmm.timeEndPeriod);
    if (!winmmLoaded) FreeLibrary(library);
}

// Without winmm there are no MIDI ports: said once, when the ports are first looked for, so that the
// program then ends as it does with no device.
bool winmmAtHand() {
    if (!winmmLoaded && !winmmFailureTold) {
        std::printf("Error: Windows' MIDI services (winmm.dll) could not be loaded from the system folder.\n");
        winmmFailureTold = true;
    }
    return winmmLoaded;
}

// While the program looks for the target it holds every input and every output open at once (ten of
// each at most); a few slots more leave room for a port whose close failed without reusing its
// bookkeeping.
constexpr int MAX_OPEN_PORTS = 16;
// Receive buffers that may be queued on one input at once.
constexpr int HEADERS_PER_INPUT = 4;
// How often a close retries while the driver still holds a buffer (1 ms apart): a buffer re-queued by
// a callback that was already running when the close began comes back with the next reset.
constexpr int CLOSE_RETRIES = 200;

// A receive buffer's header. `owner` is the seam's buffer it describes, null while the header is freeSlot;
// it is read by the callback thread, so it is atomic.
struct InputHeader {
    MIDIHDR header;
    std::atomic<MidiBuffer*> owner;
};

struct InputSlot {
    std::atomic<HMIDIIN> port;
    std::atomic<MidiInputCallback> callback;   // null while the slot is freeSlot: late callbacks are dropped
    InputHeader headers[HEADERS_PER_INPUT];
};

struct OutputSlot {
    HMIDIOUT port;
    MIDIHDR header;       // the message being sent; winmm reads it until the unprepare succeeds
    bool sending;
    bool used;
};

InputSlot inputs[MAX_OPEN_PORTS];
OutputSlot outputs[MAX_OPEN_PORTS];
bool timerPeriodHeld = false;

// Handles given to the transport are slot numbers from 1, so that 0 never names an open port.
MidiInHandle handleOfInput(int slot) { return static_cast<MidiInHandle>(slot) + 1; }
InputSlot* inputOf(MidiInHandle handle) {
    if (handle < 1 || handle > MAX_OPEN_PORTS) return nullptr;
    InputSlot* slot = &inputs[handle - 1];
    return slot->callback.load() != nullptr ? slot : nullptr;
}
OutputSlot* outputOf(MidiOutHandle handle) {
    if (handle < 1 || handle > MAX_OPEN_PORTS) return nullptr;
    OutputSlot* slot = &outputs[handle - 1];
    return slot->used ? slot : nullptr;
}

MidiResult resultOf(MMRESULT result) { return static_cast<MidiResult>(result); }

void copyName(const char* source, char (&name)[MIDI_NAME_SIZE]) {
    std::size_t length = 0;
    while (length < MIDI_NAME_SIZE - 1 && source[length] != '\0') ++length;
    std::memcpy(name, source, length);
    name[length] = '\0';
}

// winmm calls this on a thread of its own (and from midiInReset on the caller's). Every message
// other than a returned receive buffer reaches the seam without a buffer.
void CALLBACK onWinmmInput(HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
    if (instance >= MAX_OPEN_PORTS) return;
    InputSlot& slot = inputs[instance];
    const MidiInputCallback callback = slot.callback.load();
    if (callback == nullptr) return;
    const MidiInHandle handle = handleOfInput(static_cast<int>(instance));
    if ((message == MIM_LONGDATA || message == MIM_LONGERROR) && param1 != 0) {
        MIDIHDR* header = reinterpret_cast<MIDIHDR*>(param1);
        const DWORD_PTR index = header->dwUser;
        MidiBuffer* buffer = index < HEADERS_PER_INPUT && header == &slot.headers[index].header
                                 ? slot.headers[index].owner.load()
                                 : nullptr;
        if (buffer != nullptr && message == MIM_LONGERROR) {
            // A system-exclusive message that arrived broken (cut by a status byte, a glitch on the
            // cable) comes back in our buffer. Nothing in it is a reply; the buffer goes straight back
            // to the driver, or this input would hear nothing more. A close in progress takes it back
            // with its next reset.
            header->dwBytesRecorded = 0;
            winmm.midiInAddBuffer(slot.port.load(), header, sizeof *header);
            return;
        }
        if (buffer != nullptr) {
            const DWORD recorded = header->dwBytesRecorded;
            buffer->recorded = static_cast<std::uint16_t>(recorded < buffer->capacity ? recorded : buffer->capacity);
            callback(handle, MIDI_INPUT_LONG_DATA, buffer);
            return;
        }
    }
    callback(handle, MIDI_INPUT_OTHER, nullptr);
}

InputHeader* headerOf(InputSlot& slot, const MidiBuffer& buffer) {
    for (InputHeader& entry : slot.headers)
        if (entry.owner.load() == &buffer) return &entry;
    return nullptr;
}

// Unprepares every header winmm has handed back; true when none is left prepared.
bool unprepareReturnedHeaders(InputSlot& slot) {
    bool allReleased = true;
    const HMIDIIN port = slot.port.load();
    for (InputHeader& entry : slot.headers) {
        if (entry.owner.load() == nullptr) continue;
        if (winmm.midiInUnprepareHeader(port, &entry.header, sizeof entry.header) == MMSYSERR_NOERROR)
            entry.owner.store(nullptr);
        else
            allReleased = false;
    }
    return allReleased;
}

}  // namespace

bool platformInputName(int index, char (&name)[MIDI_NAME_SIZE]) {
    if (!winmmAtHand()) return false;
    MIDIINCAPSA caps{};
    if (index < 0 || winmm.midiInGetDevCapsA(static_cast<UINT_PTR>(index), &caps, sizeof caps) != MMSYSERR_NOERROR)
        return false;
    copyName(caps.szPname, name);
    return true;
}

bool platformOutputName(int index, char (&name)[MIDI_NAME_SIZE]) {
    if (!winmmAtHand()) return false;
    MIDIOUTCAPSA caps{};
    if (index < 0 || winmm.midiOutGetDevCapsA(static_cast<UINT_PTR>(index), &caps, sizeof caps) != MMSYSERR_NOERROR)
        return false;
    copyName(caps.szPname, name);
    return true;
}

MidiResult platformOpenInput(int index, MidiInputCallback callback, MidiInHandle& handle) {
    if (index < 0 || !winmmLoaded) return MIDI_BAD_DEVICE;
    int freeSlot = 0;
    while (freeSlot < MAX_OPEN_PORTS && inputs[freeSlot].callback.load() != nullptr) ++freeSlot;
    if (freeSlot == MAX_OPEN_PORTS) return MIDI_ERROR;
    InputSlot& slot = inputs[freeSlot];
    for (InputHeader& entry : slot.headers) entry.owner.store(nullptr);
    // The callback is in place before the open: winmm announces the open through it.
    slot.callback.store(callback);
    HMIDIIN port = nullptr;
    const MMRESULT result = winmm.midiInOpen(&port, static_cast<UINT>(index),
                                             reinterpret_cast<DWORD_PTR>(&onWinmmInput),
                                             static_cast<DWORD_PTR>(freeSlot), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        slot.callback.store(nullptr);
        return resultOf(result);
    }
    slot.port.store(port);
    handle = handleOfInput(freeSlot);
    return MIDI_OK;
}

MidiResult platformQueueInputBuffer(MidiInHandle handle, MidiBuffer& buffer) {
    InputSlot* slot = inputOf(handle);
    if (slot == nullptr) return MIDI_BAD_DEVICE;
    InputHeader* entry = nullptr;
    for (InputHeader& candidate : slot->headers) {
        MidiBuffer* none = nullptr;
        if (candidate.owner.compare_exchange_strong(none, &buffer)) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr) return MIDI_ERROR;
    // winmm refuses a header with stale flags; a fresh, zeroed one is prepared for every queueing.
    std::memset(&entry->header, 0, sizeof entry->header);
    entry->header.lpData = reinterpret_cast<LPSTR>(buffer.data);
    entry->header.dwBufferLength = buffer.capacity;
    entry->header.dwUser = static_cast<DWORD_PTR>(entry - slot->headers);
    buffer.recorded = 0;
    const HMIDIIN port = slot->port.load();
    MMRESULT result = winmm.midiInPrepareHeader(port, &entry->header, sizeof entry->header);
    if (result != MMSYSERR_NOERROR) {
        entry->owner.store(nullptr);
        return resultOf(result);
    }
    result = winmm.midiInAddBuffer(port, &entry->header, sizeof entry->header);
    if (result != MMSYSERR_NOERROR) {
        winmm.midiInUnprepareHeader(port, &entry->header, sizeof entry->header);
        entry->owner.store(nullptr);
    }
    return resultOf(result);
}

MidiResult platformReleaseInputBuffer(MidiInHandle handle, MidiBuffer& buffer) {
    InputSlot* slot = inputOf(handle);
    if (slot == nullptr) return MIDI_BAD_DEVICE;
    InputHeader* entry = headerOf(*slot, buffer);
    if (entry == nullptr) return MIDI_OK;
    const MMRESULT result = winmm.midiInUnprepareHeader(slot->port.load(), &entry->header, sizeof entry->header);
    if (result == MMSYSERR_NOERROR) entry->owner.store(nullptr);
    return resultOf(result);
}

MidiResult platformStartInput(MidiInHandle handle) {
    InputSlot* slot = inputOf(handle);
    if (slot == nullptr) return MIDI_BAD_DEVICE;
    return resultOf(winmm.midiInStart(slot->port.load()));
}

MidiResult platformCloseInput(MidiInHandle handle) {
    InputSlot* slot = inputOf(handle);
    if (slot == nullptr) return MIDI_BAD_DEVICE;
    const HMIDIIN port = slot->port.load();
    winmm.midiInStop(port);
    MMRESULT result = MMSYSERR_ERROR;
    for (int attempt = 0; attempt < CLOSE_RETRIES; ++attempt) {
        // The reset hands every queued buffer back through the callback, nothing recorded.
        winmm.midiInReset(port);
        unprepareReturnedHeaders(*slot);
        result = winmm.midiInClose(port);
        if (result != MIDIERR_STILLPLAYING) break;
        Sleep(1);
    }
    if (result == MMSYSERR_NOERROR) {
        slot->port.store(nullptr);
        slot->callback.store(nullptr);
    }
    return resultOf(result);
}

MidiResult platformOpenOutput(int index, MidiOutHandle& handle) {
    if (index < 0 || !winmmLoaded) return MIDI_BAD_DEVICE;
    int freeSlot = 0;
    while (freeSlot < MAX_OPEN_PORTS && outputs[freeSlot].used) ++freeSlot;
    if (freeSlot == MAX_OPEN_PORTS) return MIDI_ERROR;
    HMIDIOUT port = nullptr;
    const MMRESULT result = winmm.midiOutOpen(&port, static_cast<UINT>(index), 0, 0, CALLBACK_NULL);
    if (result != MMSYSERR_NOERROR) return resultOf(result);
    outputs[freeSlot] = OutputSlot{port, MIDIHDR{}, false, true};
    handle = static_cast<MidiOutHandle>(freeSlot) + 1;
    return MIDI_OK;
}

MidiResult platformBeginSend(MidiOutHandle handle, const std::uint8_t* message, std::uint16_t length) {
    OutputSlot* slot = outputOf(handle);
    if (slot == nullptr) return MIDI_BAD_DEVICE;
    std::memset(&slot->header, 0, sizeof slot->header);
    // winmm only reads the bytes of an outgoing message; its header type is not const-qualified.
    slot->header.lpData = reinterpret_cast<LPSTR>(const_cast<std::uint8_t*>(message));
    slot->header.dwBufferLength = length;
    slot->header.dwBytesRecorded = length;
    MMRESULT result = winmm.midiOutPrepareHeader(slot->port, &slot->header, sizeof slot->header);
    if (result != MMSYSERR_NOERROR) return resultOf(result);
    result = winmm.midiOutLongMsg(slot->port, &slot->header, sizeof slot->header);
    if (result != MMSYSERR_NOERROR) {
        winmm.midiOutUnprepareHeader(slot->port, &slot->header, sizeof slot->header);
        return resultOf(result);
    }
    slot->sending = true;
    return MIDI_OK;
}

MidiResult platformSendDone(MidiOutHandle handle) {
    OutputSlot* slot = outputOf(handle);
    if (slot == nullptr || !slot->sending) return MIDI_OK;
    // The unprepare is refused with MIDIERR_STILLPLAYING for as long as the driver sends the bytes.
    const MMRESULT result = winmm.midiOutUnprepareHeader(slot->port, &slot->header, sizeof slot->header);
    if (result != MIDIERR_STILLPLAYING) slot->sending = false;
    return resultOf(result);
}

void platformAbandonSend(MidiOutHandle handle) {
    OutputSlot* slot = outputOf(handle);
    if (slot == nullptr || !slot->sending) return;
    // The reset marks the message done, so the unprepare lets go of its bytes.
    winmm.midiOutReset(slot->port);
    winmm.midiOutUnprepareHeader(slot->port, &slot->header, sizeof slot->header);
    slot->sending = false;
}

MidiResult platformCloseOutput(MidiOutHandle handle) {
    OutputSlot* slot = outputOf(handle);
    if (slot == nullptr) return MIDI_BAD_DEVICE;
    // winmm refuses to close an output with a message still queued.
    platformAbandonSend(handle);
    const MMRESULT result = winmm.midiOutClose(slot->port);
    if (result == MMSYSERR_NOERROR) *slot = OutputSlot{};
    return resultOf(result);
}

void platformSleep(unsigned milliseconds) {
    if (platformSleepHook != nullptr) platformSleepHook();
    Sleep(milliseconds);
}

void platformStartup() {
    loadWinmm();
    // Without 1 ms timer resolution every Sleep(1) lasts a whole scheduler tick (15.6 ms).
    timerPeriodHeld = winmmLoaded && winmm.timeBeginPeriod(1) == TIMERR_NOERROR;
}

void platformShutdown() {
    if (timerPeriodHeld) winmm.timeEndPeriod(1);
    timerPeriodHeld = false;
}
