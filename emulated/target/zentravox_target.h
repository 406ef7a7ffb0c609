// zentravox-target's parts: its options, its MIDI endpoints, and what they share with its main loop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "emulated/model/target_behaviour.h"

namespace zentravox_target {

using Bytes = std::vector<std::uint8_t>;

extern const char* const PROGRAM;

struct Options {
    std::string api;   // "alsa", "jack" or empty: the sequencer where it exists, else JACK
    std::string client = "zentravox-target";
    std::string port = "midi";
    std::string rawMidi;   // a raw MIDI device instead of sequencer or JACK ports
    TargetBehaviour behaviour;
    std::string flashPath;
    bool quiet = false;
};

// Exits with status 0 after --help, 2 after a bad option.
Options parseOptions(int argc, char** argv);

// One line on standard output, flushed, so that a script reading it sees each line as it happens.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "zentravox-target: WHAT" on standard error.
void fail(const std::string& what);

// What arrives: the endpoint's thread only copies it here; the target works on it in the main thread.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Bytes> messages;
};
void inboxPut(Inbox& inbox, const std::uint8_t* bytes, std::size_t length);

// The MIDI connection the target sits on, open.
struct Endpoint {
    std::string description;                        // for the "ready:" line
    // Sends what has come due, in order; `stopping` tells when to give up a wait. False: the MIDI
    // system is gone, nothing more can be sent.
    std::function<bool(std::vector<Bytes>& due, const std::function<bool()>& stopping)> send;
    std::function<std::string()> lost;              // why the MIDI system went away, or empty
    std::function<void()> close;
};

// The sequencer's or JACK's ports, through RtMidi: false, with fail() said, when they cannot be had.
bool openPorts(const Options& options, Inbox& inbox, Endpoint& endpoint);
// The raw MIDI device options.rawMidi, both directions: false, with fail() said, when it cannot be had.
bool openRawMidi(const Options& options, Inbox& inbox, Endpoint& endpoint);
// ALSA's own messages off, the sequencer's included; we say what went wrong in our words.
void silenceAlsa();

}  // namespace zentravox_target
