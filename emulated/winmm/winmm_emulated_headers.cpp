// The checks on a MIDIHDR that the emulated winmm makes in either direction, as strict as Windows:
// a known handle, a header of its true size with a buffer, and for queueing or sending, prepared before.
#include "emulated/winmm/winmm_emulated.h"

namespace emulated {

std::set<const MIDIHDR*> preparedHeaders;

namespace {

bool headerUsable(const MIDIHDR* header, UINT size) {
    return header != nullptr && size >= sizeof(MIDIHDR) && header->lpData != nullptr && header->dwBufferLength > 0;
}

// What every call on a header asks first, in either direction: a known handle and a header of its
// true size.
MMRESULT checkHeader(const char* call, bool handleKnown, LPMIDIHDR header, UINT size) {
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

}  // namespace

MMRESULT prepareHeader(const char* call, bool handleKnown, LPMIDIHDR header, UINT size) {
    if (const MMRESULT refused = checkHeader(call, handleKnown, header, size); refused != MMSYSERR_NOERROR)
        return refused;
    header->dwFlags |= MHDR_PREPARED;
    preparedHeaders.insert(header);
    return MMSYSERR_NOERROR;
}

MMRESULT checkPreparedHeader(const char* call, bool handleKnown, LPMIDIHDR header, UINT size) {
    if (const MMRESULT refused = checkHeader(call, handleKnown, header, size); refused != MMSYSERR_NOERROR)
        return refused;
    if (!(header->dwFlags & MHDR_PREPARED) || preparedHeaders.count(header) == 0) {
        noteRefusal(call, MIDIERR_UNPREPARED);
        return MIDIERR_UNPREPARED;
    }
    return MMSYSERR_NOERROR;
}

}  // namespace emulated
