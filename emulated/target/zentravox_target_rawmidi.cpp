// The target on a raw MIDI device (ALSA's rawmidi), where real hardware sits: on the device side of a
// USB MIDI gadget, or on a virtual raw MIDI port. Bytes come in as the line carries them and are made
// into whole messages here; the target's messages go out as their bytes, one after the other.
#include <alsa/asoundlib.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulated/target/midi_byte_stream.h"
#include "emulated/target/zentravox_target.h"

namespace zentravox_target {

namespace {

void silentAlsa(const char*, int, const char*, int, const char*, ...) {}

// How often a wait on the device looks up to see whether it should stop.
constexpr int POLL_MS = 20;

struct RawMidi {
    std::string device;
    snd_rawmidi_t* in = nullptr;
    snd_rawmidi_t* out = nullptr;
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::mutex lostMutex;
    std::string lost;
};

void noteLost(RawMidi& raw, const std::string& why) {
    std::lock_guard<std::mutex> lock(raw.lostMutex);
    if (raw.lost.empty()) raw.lost = why;
}

// Waits until the device can be read or written, or POLL_MS have passed: false on an error.
bool waitForDevice(snd_rawmidi_t* handle) {
    const int count = snd_rawmidi_poll_descriptors_count(handle);
    if (count <= 0 || count > 4) return false;
    pollfd fds[4];
    snd_rawmidi_poll_descriptors(handle, fds, static_cast<unsigned>(count));
    if (poll(fds, static_cast<nfds_t>(count), POLL_MS) < 0 && errno != EINTR) return false;
    unsigned short events = 0;
    if (snd_rawmidi_poll_descriptors_revents(handle, fds, static_cast<unsigned>(count), &events) < 0) return false;
    return (events & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

void readLoop(RawMidi& raw, Inbox& inbox) {
    MidiByteStream stream;
    const MidiMessageSink sink = [&inbox](const std::uint8_t* bytes, std::size_t length) {
        inboxPut(inbox, bytes, length);
    };
    std::uint8_t buffer[1024];
    while (!raw.stopping.load()) {
        if (!waitForDevice(raw.in)) {
            noteLost(raw, "the raw MIDI device " + raw.device + " is gone");
            return;
        }
        const ssize_t got = snd_rawmidi_read(raw.in, buffer, sizeof buffer);
        if (got == -EAGAIN || got == -EINTR) continue;
        if (got < 0) {
            noteLost(raw, "reading the raw MIDI device " + raw.device + " failed: " + snd_strerror(static_cast<int>(got)));
            return;
        }
        midiStreamFeed(stream, buffer, static_cast<std::size_t>(got), sink);
    }
}

// A device whose other side does not read (a USB host that has not opened its input) takes bytes
// until its buffer is full, then holds the rest: the wait looks up, so that stopping never hangs.
bool writeAll(RawMidi& raw, const Bytes& message, const std::function<bool()>& stopping) {
    std::size_t done = 0;
    while (done < message.size()) {
        const ssize_t put = snd_rawmidi_write(raw.out, message.data() + done, message.size() - done);
        if (put == -EAGAIN || put == -EINTR || put == 0) {
            if (stopping()) return false;
            if (!waitForDevice(raw.out)) break;
            continue;
        }
        if (put < 0) break;
        done += static_cast<std::size_t>(put);
    }
    if (done == message.size()) return true;
    noteLost(raw, "writing to the raw MIDI device " + raw.device + " failed");
    return false;
}

void closeRawMidi(RawMidi& raw) {
    raw.stopping.store(true);
    if (raw.reader.joinable()) raw.reader.join();
    if (raw.in != nullptr) snd_rawmidi_close(raw.in);
    if (raw.out != nullptr) snd_rawmidi_close(raw.out);
    raw.in = raw.out = nullptr;
}

}  // namespace

void silenceAlsa() { snd_lib_error_set_handler(silentAlsa); }

bool openRawMidi(const Options& options, Inbox& inbox, Endpoint& endpoint) {
    // Our own messages say what went wrong; ALSA's would only clutter the log.
    silenceAlsa();
    auto raw = std::make_shared<RawMidi>();
    raw->device = options.rawMidi;
    const int status = snd_rawmidi_open(&raw->in, &raw->out, raw->device.c_str(), SND_RAWMIDI_NONBLOCK);
    if (status < 0) {
        fail("cannot open the raw MIDI device '" + raw->device + "': " + snd_strerror(status));
        return false;
    }
    raw->reader = std::thread(readLoop, std::ref(*raw), std::ref(inbox));

    endpoint.description = "listening and answering on raw MIDI device " + raw->device;
    endpoint.send = [raw](std::vector<Bytes>& due, const std::function<bool()>& stopping) {
        for (const Bytes& message : due)
            if (!writeAll(*raw, message, stopping)) return false;
        return true;
    };
    endpoint.lost = [raw]() {
        std::lock_guard<std::mutex> lock(raw->lostMutex);
        return raw->lost;
    };
    endpoint.close = [raw] { closeRawMidi(*raw); };
    return true;
}

}  // namespace zentravox_target
