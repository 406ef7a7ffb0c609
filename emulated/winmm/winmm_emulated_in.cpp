// The emulated winmm's input calls (midiIn*), and the world's deliveries to an open input: a short
// message goes to the callback packed in a word, a system-exclusive one into the oldest queued buffer.
#include "emulated/winmm/winmm_emulated.h"

namespace emulated {
namespace {

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

}  // namespace
}  // namespace emulated

using namespace emulated;

extern "C" {

UINT WINAPI midiInGetNumDevs(void) {
    Lock lock = lockState();
    return static_cast<UINT>(inputs.size());
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) { return fillCaps(true, id, caps, size); }

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

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    Lock lock = lockState();
    return prepareHeader("midiInPrepareHeader", openPortIndex(inputs, handle) >= 0, header, size);
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN handle, LPMIDIHDR header, UINT size) {
    Lock lock = lockState();
    if (knownPort(inputs, handle, "midiInUnprepareHeader") < 0) return MMSYSERR_INVALHANDLE;
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
    const int index = openPortIndex(inputs, handle);
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
    const int index = knownPort(inputs, handle, "midiInStart");
    if (index < 0) return MMSYSERR_INVALHANDLE;
    const int result = simStartInput(index);
    if (result == 0) inputs[static_cast<std::size_t>(index)].started = true;
    return result == SIM_ERROR_BAD_DEVICE ? MMSYSERR_NODRIVER : resultOf(result);
}

MMRESULT WINAPI midiInStop(HMIDIIN handle) {
    Lock lock = lockState();
    const int index = knownPort(inputs, handle, "midiInStop");
    if (index < 0) return MMSYSERR_INVALHANDLE;
    inputs[static_cast<std::size_t>(index)].started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInReset(HMIDIIN handle) {
    Lock lock = lockState();
    const int index = knownPort(inputs, handle, "midiInReset");
    if (index < 0) return MMSYSERR_INVALHANDLE;
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
    const int index = knownPort(inputs, handle, "midiInClose");
    if (index < 0) return MMSYSERR_INVALHANDLE;
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

}  // extern "C"
