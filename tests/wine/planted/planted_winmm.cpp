// A winmm.dll planted beside update.exe, as a web page can leave one in a Downloads folder. Loaded by
// anyone, it leaves a mark beside itself at once (the file planted-winmm-loaded); every MIDI call it is
// asked is refused, so a program that took it finds no port. The wine case that plants it passes only
// when update.exe runs its update without the mark appearing.
#define _WINMM_    // winmm's functions are defined here, not imported
#include <windows.h>
#include <mmsystem.h>

namespace {

void leaveMark(HINSTANCE self) {
    static const wchar_t markName[] = L"planted-winmm-loaded";
    wchar_t path[MAX_PATH + sizeof markName / sizeof markName[0]];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    DWORD folderEnd = length;
    while (folderEnd > 0 && path[folderEnd - 1] != L'\\' && path[folderEnd - 1] != L'/') --folderEnd;
    for (DWORD i = 0; i < sizeof markName / sizeof markName[0]; ++i) path[folderEnd + i] = markName[i];
    const HANDLE mark = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) leaveMark(self);
    return TRUE;
}

// For loading it on purpose (rundll32 planted\winmm.dll,plantedLoad): the check that the mark works.
extern "C" void CALLBACK plantedLoad(HWND, HINSTANCE, LPSTR, int) {}

UINT WINAPI midiInGetNumDevs(void) { return 0; }
UINT WINAPI midiOutGetNumDevs(void) { return 0; }
MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR, LPMIDIINCAPSA, UINT) { return MMSYSERR_BADDEVICEID; }
MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR, LPMIDIOUTCAPSA, UINT) { return MMSYSERR_BADDEVICEID; }
MMRESULT WINAPI midiInOpen(LPHMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD) { return MMSYSERR_BADDEVICEID; }
MMRESULT WINAPI midiInPrepareHeader(HMIDIIN, LPMIDIHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN, LPMIDIHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiInAddBuffer(HMIDIIN, LPMIDIHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiInStart(HMIDIIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiInStop(HMIDIIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiInReset(HMIDIIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiInClose(HMIDIIN) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiOutOpen(LPHMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD) { return MMSYSERR_BADDEVICEID; }
MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT, LPMIDIHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiOutLongMsg(HMIDIOUT, LPMIDIHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT, LPMIDIHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiOutReset(HMIDIOUT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI midiOutClose(HMIDIOUT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI timeBeginPeriod(UINT) { return TIMERR_NOCANDO; }
MMRESULT WINAPI timeEndPeriod(UINT) { return TIMERR_NOCANDO; }
