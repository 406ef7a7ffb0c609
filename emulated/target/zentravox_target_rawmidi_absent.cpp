// A build without ALSA has no raw MIDI devices, and no ALSA library to keep quiet.
#include "emulated/target/zentravox_target.h"

namespace zentravox_target {

bool openRawMidi(const Options&, Inbox&, Endpoint&) {
    fail("this build has no ALSA support, and so no raw MIDI devices; use --api jack");
    return false;
}

void silenceAlsa() {}

}  // namespace zentravox_target
