// zentravox-target: the emulated target behind real MIDI ports, so that the update program can be run
// against it as it would be against the product. The ALSA sequencer is used where it exists, else JACK.
// What the target receives and answers is logged on standard output; what it accepted (its flash) can be
// written to a file when it exits.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emulated/model/target_behaviour.h"
#include "emulated/model/target_model.h"
#include "emulated/target/zentravox_target.h"
#include "emulated/world/timed_sender.h"

namespace zentravox_target {

const char* const PROGRAM = "zentravox-target";

void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void fail(const std::string& what) { std::fprintf(stderr, "%s: %s\n", PROGRAM, what.c_str()); }

void inboxPut(Inbox& inbox, const std::uint8_t* bytes, std::size_t length) {
    {
        std::lock_guard<std::mutex> lock(inbox.mutex);
        inbox.messages.emplace_back(bytes, bytes + length);
    }
    inbox.arrived.notify_one();
}

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int) { stopSignal = 1; }

struct Target {
    Options options;
    TargetModel model;
    // What it sends leaves in turn over one line, on the clock of its start.
    TargetLine line;
    Clock::time_point started = Clock::now();
};

// The code the target answered, as its log shows it.
std::string answerText(int code) {
    if (code == TARGET_SILENT) return "no reply";
    char text[32];
    std::snprintf(text, sizeof text, "reply %02X", code);
    return text;
}

void receive(Target& target, TimedSender<Bytes>& sender, const Bytes& message) {
    const Options& options = target.options;
    const std::uint64_t nowMs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - target.started).count());
    const int handshakesBefore = target.model.handshakes;
    const std::size_t sendingsBefore = target.model.sendings.size();
    const int record = target.model.record;
    const int sending = target.model.sending + 1;
    std::vector<TargetOutgoing> outgoing;
    targetRespond(options.behaviour, target.model, message.data(), message.size(), outgoing);
    // A port of the MIDI system takes no time of its own: nothing holds the line but lateness.
    for (const TargetOutgoing& out : outgoing) {
        const std::uint64_t dueMs = targetLineDue(options.behaviour, target.line, nowMs, out, 0);
        timedSchedule(sender, target.started + std::chrono::milliseconds(dueMs), out.bytes);
    }

    if (options.quiet) return;
    int answered = TARGET_SILENT;
    bool anAnswer = false;
    for (const TargetOutgoing& out : outgoing) {
        if (out.answers == TARGET_NOT_AN_ANSWER || out.bytes.size() < 2) continue;
        answered = out.bytes[1];
        anAnswer = true;
    }
    if (target.model.handshakes != handshakesBefore) {
        logLine("handshake %d: %s", target.model.handshakes, answerText(answered).c_str());
    } else if (target.model.sendings.size() != sendingsBefore) {
        const TargetSending& seen = target.model.sendings.back();
        char sendingText[32] = "";
        if (sending > 1) std::snprintf(sendingText, sizeof sendingText, ", sending %d", sending);
        logLine("record %d%s: %zu bytes, checksum %s, %s%s", record, sendingText, seen.bytes.size(),
                targetChecksumOk(seen.bytes) ? "ok" : "bad", answerText(seen.code).c_str(),
                seen.code == 0x77 ? " (update done, restarting)" : "");
    } else if (anAnswer) {
        logLine("message %d: not a record's hex text, %s", target.model.messages, answerText(answered).c_str());
    } else if (message.front() != 0xF0) {
        logLine("message %d: not system-exclusive (%02X), ignored", target.model.messages, message.front());
    }
}

// Checks that the flash file can be written, before the update rather than after it, without
// touching what it holds.
bool flashWritable(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr || std::fclose(file) != 0) {
        fail("cannot write the flash to '" + path + "': " + std::strerror(errno));
        return false;
    }
    return true;
}

bool writeFlash(const std::string& path, const Bytes& flash) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        fail("cannot write the flash to '" + path + "': " + std::strerror(errno));
        return false;
    }
    const bool written = flash.empty() || std::fwrite(flash.data(), 1, flash.size(), file) == flash.size();
    if (std::fclose(file) != 0 || !written) {
        fail("cannot write the flash to '" + path + "': " + std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

}  // namespace zentravox_target

int main(int argc, char** argv) {
    using namespace zentravox_target;
    Target target;
    target.options = parseOptions(argc, argv);
    const Options& options = target.options;
    targetReset(target.model, scriptFor(target.options.behaviour));

    if (!options.flashPath.empty() && !flashWritable(options.flashPath)) return 1;

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGPIPE, SIG_IGN);
    setenv("JACK_NO_START_SERVER", "1", 1);

    Inbox inbox;
    Endpoint endpoint;
    const bool opened = options.rawMidi.empty() ? openPorts(options, inbox, endpoint)
                                                : openRawMidi(options, inbox, endpoint);
    if (!opened) return 1;

    // What goes out leaves from a thread of its own, so that a delayed answer never holds up what
    // arrives meanwhile.
    TimedSender<Bytes> sender;
    timedStart(sender, TimedSender<Bytes>::Delivery([&](std::vector<Bytes>& due) {
                   return endpoint.send(due, [&] { return timedStopping(sender); });
               }));

    logLine("ready: %s", endpoint.description.c_str());

    int status = 0;
    long received = 0;
    bool leaving = false;
    while (!leaving) {
        std::deque<Bytes> messages;
        {
            std::unique_lock<std::mutex> lock(inbox.mutex);
            inbox.arrived.wait_for(lock, std::chrono::milliseconds(20), [&] { return !inbox.messages.empty(); });
            messages.swap(inbox.messages);
        }
        for (const Bytes& message : messages) {
            ++received;
            if (options.behaviour.exitAfter != 0 && received == options.behaviour.exitAfter) {
                logLine("message %ld arrived: leaving without an answer (--exit-after)", received);
                leaving = true;
                break;
            }
            receive(target, sender, message);
        }
        if (stopSignal) leaving = true;
        const std::string lost = endpoint.lost();
        if (!lost.empty()) {
            fail(lost);
            status = 1;
            leaving = true;
        }
    }

    timedStop(sender);
    endpoint.close();

    if (!options.flashPath.empty() && !writeFlash(options.flashPath, target.model.flash)) status = 1;
    logLine("summary: %d records accepted, %d sendings refused or unanswered, %zu bytes in flash%s%s", target.model.recordsAccepted,
            target.model.recordsRefused, target.model.flash.size(), options.flashPath.empty() ? "" : ", written to ",
            options.flashPath.c_str());
    return status;
}
