// zentravox-target: the emulated target behind real MIDI ports, so that the update program can be run
// against it as it would be against the product. The ALSA sequencer is used where it exists, else JACK.
// What the target receives and answers is logged on standard output; what it accepted (its flash) can be
// written to a file when it exits.
#include <RtMidi.h>

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

#include "protocol/wire.h"
#include "sim/target_model.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const char* const PROGRAM = "zentravox-target";

// ---------------------------------------------------------------------------------------------------
// Options

struct Refusal {
    int record;   // counted from 1
    int code;
    int times;    // sendings refused; 0: every one
};

struct Options {
    std::string api;   // "alsa", "jack" or empty: the sequencer where it exists, else JACK
    std::string client = "zentravox-target";
    std::string port = "midi";
    int handshakeCode = REPLY_READY;   // or TARGET_SILENT
    std::vector<Refusal> refusals;
    int refuseEvery = 0;
    int refuseEveryCode = 0;
    int silentFrom = 0;
    int restartAfter = 0;
    unsigned delayMs = 0;
    int handshakeDelayMs = -1;         // -1: as delayMs
    long exitAfter = 0;
    int pad = 0;
    int flood = 0;
    int garbage = 0;
    bool loneF0 = false;
    std::string flashPath;
    bool quiet = false;
};

// Long enough for a padded reply, short enough to travel in one JACK cycle with room to spare.
constexpr int MAX_PADDED_REPLY = 4000;
constexpr int MAX_TRAFFIC = 1000;

void printHelp() {
    std::printf(
        "Usage: %s [OPTION]...\n"
        "Puts the emulated Zentravox target on MIDI ports, for the update program to find and update: it\n"
        "answers the handshake, reassembles the records, checks their checksums and keeps what it accepts\n"
        "in its flash. It runs until interrupted (Ctrl-C, SIGTERM) or until --exit-after.\n"
        "\n"
        "Ports:\n"
        "  --api alsa|jack          MIDI system (default: the ALSA sequencer where /dev/snd/seq exists,\n"
        "                           else JACK; JACK_DEFAULT_SERVER picks the JACK server)\n"
        "  --client NAME            base client name (default zentravox-target): the target listens on\n"
        "                           NAME-in:PORT and answers on NAME-out:PORT\n"
        "  --port NAME              name of both ports (default midi)\n"
        "\n"
        "Answers (records count from 1, as the log shows them; CODE is a hex byte 00..7F):\n"
        "  --handshake-reply CODE|silent\n"
        "                           answer each handshake with CODE (default 43; 15 asks for a reset)\n"
        "                           or not at all\n"
        "  --refuse K:CODE[:N]      refuse the first N sendings of record K with CODE (N default 1; 0: every\n"
        "                           sending); may be given more than once\n"
        "  --refuse-every N:CODE    refuse every N-th record that arrives, counted over all sendings\n"
        "  --silent-from K          answer no record from record K on (handshakes are still answered)\n"
        "  --restart-after K        answer record K with 77: accepted, the update is over, restarting\n"
        "  --delay MS               answer MS milliseconds after the message arrived (default 0)\n"
        "  --handshake-delay MS     answer handshakes MS milliseconds late instead (default: --delay)\n"
        "  --exit-after M           close the ports and exit when message M arrives, without answering\n"
        "                           it (every message counts, handshakes included)\n"
        "\n"
        "Extra traffic, for the program's reception:\n"
        "  --pad N                  make every reply N bytes long: F0, code, zeros, F7 (4..%d)\n"
        "  --flood N                send N short channel messages (90 3C 00) after each data message\n"
        "  --garbage N              send N system-exclusive messages that are no reply (F0 7D ... F7)\n"
        "                           after each data message\n"
        "  --lone-f0                send a one-byte message (F0 alone) before each handshake answer\n"
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
        PROGRAM, MAX_PADDED_REPLY);
}

[[noreturn]] void badOption(const std::string& what) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for the options.\n", PROGRAM, what.c_str(), PROGRAM);
    std::exit(2);
}

bool parseNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

// Reply codes are written as the log shows them: two hex digits, 0x allowed.
bool parseCode(std::string text, int& code) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
    if (text.empty() || text.size() > 2) return false;
    int value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = value * 16 + digit;
    }
    // A system-exclusive data byte: a status byte would end the reply on the wire.
    if (value > 0x7F) return false;
    code = value;
    return true;
}

std::vector<std::string> splitColons(const std::string& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == ':') parts.emplace_back();
        else parts.back() += c;
    }
    return parts;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const std::size_t equals = name.find('=');
        if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
            hasValue = true;
        }
        auto flag = [&]() {
            if (hasValue) badOption(name + " takes no value, but was given '" + value + "'");
        };
        auto next = [&](const char* expects) -> std::string {
            if (hasValue) return value;
            if (i + 1 >= argc) badOption(name + " expects " + expects + " after it");
            return argv[++i];
        };
        auto number = [&](const char* expects, long low, long high) -> long {
            const std::string text = next(expects);
            long parsed = 0;
            if (!parseNumber(text, low, high, parsed)) badOption(name + " expects " + expects + ", not '" + text + "'");
            return parsed;
        };

        if (name == "--help" || name == "-h") {
            printHelp();
            std::exit(0);
        } else if (name == "--api") {
            options.api = next("alsa or jack");
            if (options.api != "alsa" && options.api != "jack")
                badOption("--api expects alsa or jack, not '" + options.api + "'");
        } else if (name == "--client" || name == "--port") {
            const std::string text = next("a name");
            if (text.empty() || text.find(':') != std::string::npos || text.size() > 40)
                badOption(name + " expects a name of 1 to 40 characters without ':', not '" + text + "'");
            (name == "--client" ? options.client : options.port) = text;
        } else if (name == "--handshake-reply") {
            const std::string text = next("a hex reply code (e.g. 43 or 15) or 'silent'");
            if (text == "silent") options.handshakeCode = TARGET_SILENT;
            else if (!parseCode(text, options.handshakeCode))
                badOption("--handshake-reply expects a hex reply code 00..7F (e.g. 15) or 'silent', not '" + text + "'");
        } else if (name == "--refuse") {
            const std::string text = next("RECORD:CODE[:SENDINGS], e.g. 3:20");
            const std::vector<std::string> parts = splitColons(text);
            long record = 0, times = 1;
            Refusal refusal{};
            if ((parts.size() != 2 && parts.size() != 3) || !parseNumber(parts[0], 1, 65535, record) ||
                !parseCode(parts[1], refusal.code) || (parts.size() == 3 && !parseNumber(parts[2], 0, 100000, times)))
                badOption("--refuse expects RECORD:CODE[:SENDINGS] (record from 1, hex code, sendings refused, "
                          "0 for all), e.g. 3:20 or 3:24:2, not '" + text + "'");
            refusal.record = static_cast<int>(record);
            refusal.times = static_cast<int>(times);
            options.refusals.push_back(refusal);
        } else if (name == "--refuse-every") {
            const std::string text = next("N:CODE, e.g. 3:20");
            const std::vector<std::string> parts = splitColons(text);
            long every = 0;
            if (parts.size() != 2 || !parseNumber(parts[0], 1, 100000, every) ||
                !parseCode(parts[1], options.refuseEveryCode))
                badOption("--refuse-every expects N:CODE (every N-th record received, hex code), e.g. 3:20, not '" +
                          text + "'");
            options.refuseEvery = static_cast<int>(every);
        } else if (name == "--silent-from") {
            options.silentFrom = static_cast<int>(number("a record number (1 or more)", 1, 65535));
        } else if (name == "--restart-after") {
            options.restartAfter = static_cast<int>(number("a record number (1 or more)", 1, 65535));
        } else if (name == "--delay") {
            options.delayMs = static_cast<unsigned>(number("milliseconds (0 to 60000)", 0, 60000));
        } else if (name == "--handshake-delay") {
            options.handshakeDelayMs = static_cast<int>(number("milliseconds (0 to 60000)", 0, 60000));
        } else if (name == "--exit-after") {
            options.exitAfter = number("a message number (1 or more)", 1, 100000000);
        } else if (name == "--pad") {
            options.pad = static_cast<int>(number("a reply length in bytes (4 to 4000)", 4, MAX_PADDED_REPLY));
        } else if (name == "--flood") {
            options.flood = static_cast<int>(number("a number of messages (0 to 1000)", 0, MAX_TRAFFIC));
        } else if (name == "--garbage") {
            options.garbage = static_cast<int>(number("a number of messages (0 to 1000)", 0, MAX_TRAFFIC));
        } else if (name == "--lone-f0") {
            flag();
            options.loneF0 = true;
        } else if (name == "--flash") {
            options.flashPath = next("a file name");
            if (options.flashPath.empty()) badOption("--flash expects a file name, not an empty one");
        } else if (name == "--quiet") {
            flag();
            options.quiet = true;
        } else {
            badOption("unknown option '" + std::string(argv[i]) + "'");
        }
    }
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

struct RecordSeen {
    int record = 0;     // from 1
    int sending = 0;
    std::size_t length = 0;
    bool sound = false;
};

struct Target {
    Options options;
    TargetModel model;
    RecordSeen seen;
    int recordsReceived = 0;   // every whole record, however often the same one came
};

TargetScript scriptFor(Target& target) {
    TargetScript script;
    const Options& options = target.options;
    script.onHandshake = [&options](int) {
        const unsigned delayMs = options.handshakeDelayMs < 0 ? options.delayMs : static_cast<unsigned>(options.handshakeDelayMs);
        return TargetAnswer{options.handshakeCode, delayMs};
    };
    script.onRecord = [&target, &options](int record, int sending) {
        // The model still holds the whole record here: what the log needs of it.
        target.seen = RecordSeen{record, sending, target.model.assembling.size(),
                                 targetChecksumOk(target.model.assembling)};
        ++target.recordsReceived;
        const int number = record;
        TargetAnswer answer{TARGET_CHECKSUM, options.delayMs};
        if (options.silentFrom != 0 && number >= options.silentFrom) {
            answer.code = TARGET_SILENT;
            return answer;
        }
        for (const Refusal& refusal : options.refusals) {
            if (refusal.record == number && (refusal.times == 0 || sending <= refusal.times)) {
                answer.code = refusal.code;
                return answer;
            }
        }
        if (options.refuseEvery != 0 && target.recordsReceived % options.refuseEvery == 0) {
            answer.code = options.refuseEveryCode;
            return answer;
        }
        if (options.restartAfter == number && target.seen.sound) answer.code = REPLY_DONE_RESTART;
        return answer;
    };
    return script;
}

Bytes padded(const Bytes& reply, int length) {
    if (length <= static_cast<int>(reply.size())) return reply;
    Bytes bytes(static_cast<std::size_t>(length), 0x00);
    bytes.front() = reply.front();
    bytes[1] = reply[1];
    bytes.back() = 0xF7;
    return bytes;
}

void addTraffic(const Options& options, Outbox& outbox, Clock::time_point now) {
    for (int i = 0; i < options.flood; ++i) schedule(outbox, now, Bytes{0x90, 0x3C, 0x00});
    for (int i = 0; i < options.garbage; ++i) {
        // 7D: the identifier for private use, then a counter: no reply code the program knows.
        schedule(outbox, now,
                 Bytes{0xF0, 0x7D, 0x47, 0x41, 0x52, static_cast<std::uint8_t>(i & 0x7F), 0xF7});
    }
}

std::string replyText(const std::vector<TargetReply>& replies) {
    if (replies.empty()) return "no reply";
    char text[32];
    std::snprintf(text, sizeof text, "reply %02X", replies.back().bytes.at(1));
    return text;
}

void receive(Target& target, Outbox& outbox, const Bytes& message) {
    const Options& options = target.options;
    const Clock::time_point now = Clock::now();
    const int handshakesBefore = target.model.handshakes;
    const int recordsBefore = target.recordsReceived;
    std::vector<TargetReply> replies;
    targetReceive(target.model, message.data(), message.size(), replies);

    const bool handshake = target.model.handshakes != handshakesBefore;
    if (!handshake && message.front() == 0xF0) addTraffic(options, outbox, now);
    for (const TargetReply& reply : replies) {
        const Clock::time_point when = now + std::chrono::milliseconds(reply.delayMs);
        if (handshake && options.loneF0) schedule(outbox, when, Bytes{0xF0});
        schedule(outbox, when, padded(reply.bytes, options.pad));
    }

    if (options.quiet) return;
    if (handshake) {
        logLine("handshake %d: %s", target.model.handshakes, replyText(replies).c_str());
    } else if (target.recordsReceived != recordsBefore) {
        const RecordSeen& seen = target.seen;
        char sending[32] = "";
        if (seen.sending > 1) std::snprintf(sending, sizeof sending, ", sending %d", seen.sending);
        const bool restarting = !replies.empty() && replies.back().bytes.at(1) == REPLY_DONE_RESTART;
        logLine("record %d%s: %zu bytes, checksum %s, %s%s", seen.record, sending, seen.length,
                seen.sound ? "ok" : "bad", replyText(replies).c_str(), restarting ? " (update done, restarting)" : "");
    } else if (!replies.empty()) {
        logLine("message %d: not a record's hex text, %s", target.model.messages, replyText(replies).c_str());
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
    targetReset(target.model, scriptFor(target));

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
            if (options.exitAfter != 0 && received == options.exitAfter) {
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
