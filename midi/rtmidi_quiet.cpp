// Nothing of RtMidi, nor of the libraries underneath, may write to the console: it is the program's own.
#include "midi/rtmidi_quiet.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#if defined(UPDATE_RTMIDI_ALSA)
#include <alsa/asoundlib.h>
#endif
#if defined(UPDATE_RTMIDI_JACK)
#include <jack/jack.h>
#endif

namespace rtmidi_backend {

namespace {

void onRtMidiError(RtMidiError::Type, const std::string&, void* failed) {
    static_cast<std::atomic<bool>*>(failed)->store(true);
}

#if defined(UPDATE_RTMIDI_ALSA)
void silentAlsa(const char*, int, const char*, int, const char*, ...) {}
#endif
#if defined(UPDATE_RTMIDI_JACK)
void silentJack(const char*) {}
#endif

// The program never writes to standard error: pointing it at /dev/null loses nothing of its own.
// std::cerr writes through the same descriptor, so RtMidi's messages on it go there too. (Its buffer is
// left alone: a buffer of ours would be gone before the runtime's last flush of std::cerr at exit.)
void silenceStandardError() {
    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    dup2(null, STDERR_FILENO);
    close(null);
}

}  // namespace

void ensureQuiet() {
    static std::once_flag once;
    std::call_once(once, [] {
        // libjack starts a server when none answers unless told not to; the program must never do that.
        setenv("JACK_NO_START_SERVER", "1", 1);
        silenceStandardError();
#if defined(UPDATE_RTMIDI_ALSA)
        snd_lib_error_set_handler(silentAlsa);
#endif
#if defined(UPDATE_RTMIDI_JACK)
        jack_set_error_function(silentJack);
        jack_set_info_function(silentJack);
#endif
    });
}

// RtMidi prints a failing constructor's error (on std::cerr, muted) before it throws, and no error
// callback can be set before the object exists.
template <class Port>
std::unique_ptr<Port> makeQuietly(RtMidi::Api api, const std::string& clientName, std::atomic<bool>& failed) {
    ensureQuiet();
    std::unique_ptr<Port> port;
    try {
        port = std::make_unique<Port>(api, clientName);
    } catch (...) {
        port.reset();
    }
    if (port) port->setErrorCallback(onRtMidiError, &failed);
    return port;
}

template std::unique_ptr<RtMidiIn> makeQuietly<RtMidiIn>(RtMidi::Api, const std::string&, std::atomic<bool>&);
template std::unique_ptr<RtMidiOut> makeQuietly<RtMidiOut>(RtMidi::Api, const std::string&, std::atomic<bool>&);

}  // namespace rtmidi_backend
