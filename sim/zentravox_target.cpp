// zentravox-target: the emulated target behind real MIDI ports, so that the update program can be run
// against it as it would be against the product. The ALSA sequencer is used where it exists, else JACK.
// What the target receives and answers is logged on standard output; what it accepted (its flash) can be
// written to a file when it exits.
#include <RtMidi.h>

#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(TARGET_HAS_ALSA)
#include <alsa/asoundlib.h>
#endif
#if defined(TARGET_HAS_JACK)
#include <jack/jack.h>
#endif

#include "sim/target_behaviour.h"
#include "sim/target_model.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const char* const PROGRAM = "zentravox-target";

// ---------------------------------------------------------------------------------------------------
// Options

struct Options {
    std::string api;   // "alsa", "jack" or empty: the sequencer where it exists, else JACK
    std::string client = "zentravox-target";
    std::string port = "midi";
    TargetBehaviour behaviour;
    std::string flashPath;
    bool quiet = false;
};

void printHelp() {
    std::printf(
        "Usage: %s [OPTION]...\n"
        "Puts the emulated Zentravox target on MIDI ports, for the update program to find and update: it\n"
        "answers the handshake, reassembles the records, checks their checksums and writes what it accepts\n"
        "into its flash. It runs until interrupted (Ctrl-C, SIGTERM) or until --exit-after.\n"
        "\n"
        "Ports:\n"
        "  --api alsa|jack          MIDI system (default: the ALSA sequencer where /dev/snd/seq exists,\n"
        "                           else JACK; JACK_DEFAULT_SERVER picks the JACK server)\n"
        "  --client NAME            base client name (default zentravox-target): the target listens on\n"
        "                           NAME-in:PORT and answers on NAME-out:PORT\n"
        "  --port NAME              name of both ports (default midi)\n"
        "\n"
        "Behaviour (records count from 1, as the log shows them; CODE is a hex byte 00..7F):\n"
        "%s"
        "  (extra messages go out before the answer to the same message)\n"
        "\n"
        "Output:\n"
        "  --flash FILE             write the flash (every record written, binary, in the order written)\n"
        "                           to FILE on exit; left as it was when the ports cannot be opened\n"
        "  --quiet                  leave out the lines per handshake and per record\n"
        "  --help                   show this help\n"
        "\n"
        "The target cannot tell a record sent again from the next one: every record that arrives whole and\n"
        "sound is written after the last one, so a record accepted twice is in the flash twice.\n"
        "A line starting with \"ready:\" tells that both ports exist. Exit status: 0 when stopped by a\n"
        "signal or by --exit-after, 1 when the ports or the flash file fail, 2 for a bad option.\n",
        PROGRAM, behaviourHelp().c_str());
}

[[noreturn]] void badOption(const std::string& what) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for the options.\n", PROGRAM, what.c_str(), PROGRAM);
    std::exit(2);
}

enum PortOption { OPT_API = 1, OPT_CLIENT, OPT_PORT, OPT_FLASH, OPT_QUIET, OPT_HELP };

Options parseOptions(int argc, char** argv) {
    std::vector<option> table = {{"api", required_argument, nullptr, OPT_API},
                                 {"client", required_argument, nullptr, OPT_CLIENT},
                                 {"port", required_argument, nullptr, OPT_PORT},
                                 {"flash", required_argument, nullptr, OPT_FLASH},
                                 {"quiet", no_argument, nullptr, OPT_QUIET},
                                 {"help", no_argument, nullptr, OPT_HELP}};
    for (const BehaviourOption& behaviour : BEHAVIOUR_OPTIONS)
        table.push_back({behaviour.name, behaviour.takesValue ? required_argument : no_argument, nullptr, behaviour.id});
    table.push_back({nullptr, 0, nullptr, 0});

    Options options;
    opterr = 0;   // our own messages, in our own words
    for (;;) {
        int index = -1;
        const int id = getopt_long(argc, argv, "h", table.data(), &index);
        if (id == -1) break;
        const std::string name = index >= 0 ? std::string("--") + table[static_cast<std::size_t>(index)].name : "";
        const std::string value = optarg != nullptr ? optarg : "";
        std::string error;
        switch (id) {
            case 'h':
            case OPT_HELP: printHelp(); std::exit(0);
            case OPT_API:
                if (value != "alsa" && value != "jack") badOption("--api expects alsa or jack, not '" + value + "'");
                options.api = value;
                break;
            case OPT_CLIENT:
            case OPT_PORT:
                if (value.empty() || value.find(':') != std::string::npos || value.size() > 40)
                    badOption(name + " expects a name of 1 to 40 characters without ':', not '" + value + "'");
                (id == OPT_CLIENT ? options.client : options.port) = value;
                break;
            case OPT_FLASH:
                if (value.empty()) badOption("--flash expects a file name, not an empty one");
                options.flashPath = value;
                break;
            case OPT_QUIET: options.quiet = true; break;
            case '?':
            case ':': {
                const std::string given = argv[optind - 1];
                if (optopt != 0 || id == ':') badOption(given + " expects a value after it");
                badOption("unknown option '" + given + "'");
            }
            default:
                if (!applyBehaviourOption(id, value, options.behaviour, error)) badOption(error);
        }
    }
    if (optind < argc) badOption("unexpected argument '" + std::string(argv[optind]) + "'");
    return options;
}

// ---------------------------------------------------------------------------------------------------
// Logging: one line at a time, so a script reading our output sees each line as it happens

void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void fail(const std::string& what) { std::fprintf(stderr, "%s: %s\n", PROGRAM, what.c_str()); }

// ---------------------------------------------------------------------------------------------------
// Stopping

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int) { stopSignal = 1; }

// ---------------------------------------------------------------------------------------------------
// JACK: a client of our own without ports, counting the server's cycles. RtMidi's JACK output only
// queues a message for its next cycle (in a queue of 16 KiB) and drops, without a word, what does not fit
// there or in the cycle's port buffer; what we hand it is paced by these cycles.

#if defined(TARGET_HAS_JACK)
struct JackPace {
    jack_client_t* client = nullptr;
    std::atomic<std::uint64_t> cycles{0};
    std::atomic<bool> serverGone{false};
};

int countCycle(jack_nframes_t, void* context) {
    static_cast<JackPace*>(context)->cycles.fetch_add(1, std::memory_order_release);
    return 0;
}

void noteServerGone(void* context) { static_cast<JackPace*>(context)->serverGone.store(true); }

void silentJack(const char*) {}

bool openPace(JackPace& pace, const std::string& name) {
    pace.client = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (pace.client == nullptr) return false;
    jack_on_shutdown(pace.client, noteServerGone, &pace);
    if (jack_set_process_callback(pace.client, countCycle, &pace) != 0 || jack_activate(pace.client) != 0) {
        jack_client_close(pace.client);
        pace.client = nullptr;
        return false;
    }
    return true;
}

bool jackClientExists(JackPace& pace, const std::string& name) {
    char* uuid = jack_get_uuid_for_client_name(pace.client, name.c_str());
    if (uuid == nullptr) return false;
    jack_free(uuid);
    return true;
}

// The server publishes new ports to the other clients at a cycle's boundary, later still when it is
// late: "ready" is said only once every client can find both ports by name.
bool portsVisible(JackPace& pace, std::initializer_list<std::string> names) {
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        bool all = true;
        for (const std::string& name : names) all = all && jack_port_by_name(pace.client, name.c_str()) != nullptr;
        if (all) return true;
        if (Clock::now() > giveUp || pace.serverGone.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
#endif

#if defined(TARGET_HAS_ALSA)
void silentAlsa(const char*, int, const char*, int, const char*, ...) {}
#endif

// ---------------------------------------------------------------------------------------------------
// What arrives: RtMidi's thread only copies it here; the target works on it in the main thread.

struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Bytes> messages;
};

void onMessage(double, std::vector<unsigned char>* message, void* context) {
    if (message == nullptr || message->empty()) return;
    auto* inbox = static_cast<Inbox*>(context);
    {
        std::lock_guard<std::mutex> lock(inbox->mutex);
        inbox->messages.emplace_back(message->begin(), message->end());
    }
    inbox->arrived.notify_one();
}

std::atomic<bool> midiFailed{false};

void onMidiError(RtMidiError::Type type, const std::string& text, void*) {
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) return;
    midiFailed.store(true);
    fail("MIDI: " + text);
}

// ---------------------------------------------------------------------------------------------------
// What goes out: in the order of the time it is due, then of scheduling. A sender thread of its own, so
// that a delayed answer never holds up what arrives meanwhile.

struct Outbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::pair<Clock::time_point, std::uint64_t>, Bytes> due;
    std::uint64_t serial = 0;
    std::atomic<bool> stop{false};
};

void schedule(Outbox& outbox, Clock::time_point when, Bytes bytes) {
    {
        std::lock_guard<std::mutex> lock(outbox.mutex);
        outbox.due.emplace(std::make_pair(when, outbox.serial++), std::move(bytes));
    }
    outbox.changed.notify_one();
}

// What a message costs in RtMidi's queue (a 4-byte length) and in JACK's port buffer (a 12-byte event
// header), counted generously. Four KiB per cycle: even two batches read in one cycle use half the queue.
std::size_t wireCost(const Bytes& message) { return message.size() + 12; }
constexpr std::size_t CYCLE_BUDGET = 4096;

struct Sender {
    Outbox* outbox;
    RtMidiOut* out;
#if defined(TARGET_HAS_JACK)
    JackPace* pace;   // null on ALSA: the sequencer takes each message as it is sent
#endif
};

#if defined(TARGET_HAS_JACK)
// Waits until the server has run a cycle after `since`: what was queued before has then been read.
// A server busy with a client that died may hold its cycles for seconds; the answer waits meanwhile.
bool waitForCycle(JackPace& pace, std::uint64_t since, const Outbox& outbox) {
    while (pace.cycles.load(std::memory_order_acquire) <= since) {
        if (pace.serverGone.load() || outbox.stop.load()) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}
#endif

void runSender(Sender sender) {
    Outbox& outbox = *sender.outbox;
#if defined(TARGET_HAS_JACK)
    std::uint64_t lastBatchCycle = 0;
    bool sentBefore = false;
#endif
    for (;;) {
        std::vector<Bytes> batch;
        {
            std::unique_lock<std::mutex> lock(outbox.mutex);
            for (;;) {
                if (outbox.stop) return;
                if (!outbox.due.empty()) {
                    const Clock::time_point first = outbox.due.begin()->first.first;
                    if (first <= Clock::now()) break;
                    outbox.changed.wait_until(lock, first);
                } else {
                    outbox.changed.wait(lock);
                }
            }
            std::size_t cost = 0;
            const Clock::time_point now = Clock::now();
            while (!outbox.due.empty() && outbox.due.begin()->first.first <= now) {
                const std::size_t next = wireCost(outbox.due.begin()->second);
                if (!batch.empty() && cost + next > CYCLE_BUDGET) break;
                cost += next;
                batch.push_back(std::move(outbox.due.begin()->second));
                outbox.due.erase(outbox.due.begin());
            }
        }
#if defined(TARGET_HAS_JACK)
        if (sender.pace != nullptr) {
            // One batch per cycle: the batch before this one has been read out of RtMidi's queue, or is
            // read together with this one, which still fits; nothing is dropped.
            if (sentBefore && !waitForCycle(*sender.pace, lastBatchCycle, outbox)) return;
        }
#endif
        for (const Bytes& message : batch) sender.out->sendMessage(message.data(), message.size());
#if defined(TARGET_HAS_JACK)
        if (sender.pace != nullptr) {
            lastBatchCycle = sender.pace->cycles.load(std::memory_order_acquire);
            sentBefore = true;
        }
#endif
    }
}

// ---------------------------------------------------------------------------------------------------
// The target

struct Target {
    Options options;
    TargetModel model;
};

// The code the target answered, as its log shows it.
std::string answerText(int code) {
    if (code == TARGET_SILENT) return "no reply";
    char text[32];
    std::snprintf(text, sizeof text, "reply %02X", code);
    return text;
}

void receive(Target& target, Outbox& outbox, const Bytes& message) {
    const Options& options = target.options;
    const Clock::time_point now = Clock::now();
    const int handshakesBefore = target.model.handshakes;
    const std::size_t sendingsBefore = target.model.sendings.size();
    const int record = target.model.record;
    const int sending = target.model.sending + 1;
    std::vector<TargetOutgoing> outgoing;
    targetRespond(options.behaviour, target.model, message.data(), message.size(), outgoing);
    for (const TargetOutgoing& out : outgoing) schedule(outbox, now + std::chrono::milliseconds(out.delayMs), out.bytes);

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

RtMidi::Api chooseApi(const Options& options) {
    if (options.api == "jack") return RtMidi::UNIX_JACK;
    if (options.api == "alsa") return RtMidi::LINUX_ALSA;
    return access("/dev/snd/seq", R_OK | W_OK) == 0 ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

}  // namespace

int main(int argc, char** argv) {
    Target target;
    target.options = parseOptions(argc, argv);
    const Options& options = target.options;
    targetReset(target.model, scriptFor(target.options.behaviour));

    if (!options.flashPath.empty() && !flashWritable(options.flashPath)) return 1;

    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGPIPE, SIG_IGN);

    // Our own messages say what went wrong; the libraries' would only clutter the log.
    setenv("JACK_NO_START_SERVER", "1", 1);
#if defined(TARGET_HAS_ALSA)
    snd_lib_error_set_handler(silentAlsa);
#endif
#if defined(TARGET_HAS_JACK)
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
#endif

    const RtMidi::Api api = chooseApi(options);
    const std::string inClient = options.client + "-in";
    const std::string outClient = options.client + "-out";
    const std::string inName = inClient + ":" + options.port;
    const std::string outName = outClient + ":" + options.port;

#if defined(TARGET_HAS_JACK)
    JackPace paceStore;
    JackPace* pace = nullptr;
#endif
    if (api == RtMidi::LINUX_ALSA) {
        if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
            fail("the ALSA sequencer is not available here (no usable /dev/snd/seq); use --api jack with a "
                 "JACK server running");
            return 1;
        }
    } else {
#if defined(TARGET_HAS_JACK)
        const char* server = std::getenv("JACK_DEFAULT_SERVER");
        if (!openPace(paceStore, options.client + "-pace")) {
            fail(std::string("no JACK server answers (JACK_DEFAULT_SERVER=") + (server ? server : "default") +
                 "); start one, e.g. scripts/jack-server.sh start NAME, and set JACK_DEFAULT_SERVER=NAME");
            return 1;
        }
        pace = &paceStore;
        // JACK would quietly rename our clients, and the ports would not be those the user asked for.
        for (const std::string& name : {inClient, outClient}) {
            if (jackClientExists(*pace, name)) {
                fail("a JACK client named '" + name + "' already exists (another " + PROGRAM +
                     "?); choose another name with --client");
                jack_client_close(pace->client);
                return 1;
            }
        }
#else
        fail("this build has no JACK support; use --api alsa");
        return 1;
#endif
    }

    Inbox inbox;
    Outbox outbox;
    std::unique_ptr<RtMidiIn> in;
    std::unique_ptr<RtMidiOut> out;
    try {
        in = std::make_unique<RtMidiIn>(api, inClient);
        in->setErrorCallback(onMidiError, nullptr);
        // The target speaks in system-exclusive messages, which RtMidi drops unless told otherwise.
        in->ignoreTypes(false, true, true);
        in->setCallback(onMessage, &inbox);
        in->openVirtualPort(options.port);
        out = std::make_unique<RtMidiOut>(api, outClient);
        out->setErrorCallback(onMidiError, nullptr);
        out->openVirtualPort(options.port);
    } catch (const RtMidiError& error) {
        fail("cannot open the MIDI ports: " + error.getMessage());
        midiFailed.store(true);
    }
#if defined(TARGET_HAS_JACK)
    if (pace != nullptr && !midiFailed.load() && !portsVisible(*pace, {inName, outName})) {
        fail("the ports " + inName + " and " + outName + " did not appear on the JACK server");
        midiFailed.store(true);
    }
#endif
    if (midiFailed.load()) {
        in.reset();
        out.reset();
#if defined(TARGET_HAS_JACK)
        if (pace != nullptr) jack_client_close(pace->client);
#endif
        return 1;
    }

    Sender sender{&outbox, out.get()
#if defined(TARGET_HAS_JACK)
                  , pace
#endif
    };
    std::thread senderThread(runSender, sender);

    logLine("ready: listening on %s, answering on %s (%s)", inName.c_str(), outName.c_str(),
            api == RtMidi::UNIX_JACK ? "JACK" : "ALSA sequencer");

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
            receive(target, outbox, message);
        }
        if (stopSignal) leaving = true;
#if defined(TARGET_HAS_JACK)
        if (pace != nullptr && pace->serverGone.load()) {
            fail("the JACK server has stopped");
            status = 1;
            leaving = true;
        }
#endif
    }

    {
        std::lock_guard<std::mutex> lock(outbox.mutex);
        outbox.stop = true;
    }
    outbox.changed.notify_one();
    senderThread.join();
    // The ports go now, as a product's do when it is switched off.
    in.reset();
    out.reset();
#if defined(TARGET_HAS_JACK)
    if (pace != nullptr) jack_client_close(pace->client);
#endif

    if (!options.flashPath.empty() && !writeFlash(options.flashPath, target.model.flash)) status = 1;
    logLine("summary: %d records accepted, %d sendings refused or unanswered, %zu bytes in flash%s%s", target.model.recordsAccepted,
            target.model.recordsRefused, target.model.flash.size(), options.flashPath.empty() ? "" : ", written to ",
            options.flashPath.c_str());
    return status;
}
