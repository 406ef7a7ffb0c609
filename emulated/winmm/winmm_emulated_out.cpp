// The emulated winmm's output calls (midiOut*). A send stays "still playing" until the world says it
// has gone out, and only one message is ever on its way.
#include "emulated/winmm/winmm_emulated.h"

using namespace emulated;

extern "C" {

UINT WINAPI midiOutGetNumDevs(void) {
    Lock lock = lockState();
    return static_cast<UINT>(outputs.size());
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) {
    {
        Lock lock = lockState();
        if (outputNameLostWhenOpen >= 0 && id == static_cast<UINT_PTR>(outputNameLostWhenOpen) &&
            id < outputs.size() && outputs[id].open)
            return MMSYSERR_NODRIVER;
    }
    return fillCaps(false, id, caps, size);
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
    return prepareHeader("midiOutPrepareHeader", openPortIndex(outputs, handle) >= 0, header, size);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT handle, LPMIDIHDR header, UINT size) {
    Lock lock = lockState();
    const int index = openPortIndex(outputs, handle);
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
    const int index = knownPort(outputs, handle, "midiOutUnprepareHeader");
    if (index < 0) return MMSYSERR_INVALHANDLE;
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
    const int index = knownPort(outputs, handle, "midiOutReset");
    if (index < 0) return MMSYSERR_INVALHANDLE;
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
    const int index = knownPort(outputs, handle, "midiOutClose");
    if (index < 0) return MMSYSERR_INVALHANDLE;
    EmulatedOutput& output = outputs[static_cast<std::size_t>(index)];
    if (output.sending != nullptr) {
        ++closesRefused;
        return MIDIERR_STILLPLAYING;
    }
    simCloseOutput(index);
    output = EmulatedOutput{};
    return MMSYSERR_NOERROR;
}

}  // extern "C"
