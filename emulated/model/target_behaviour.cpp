#include "emulated/model/target_behaviour.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

enum OptionId {
    OPT_HANDSHAKE_REPLY = 1000,
    OPT_HANDSHAKE_DELAY,
    OPT_REFUSE,
    OPT_REFUSE_EVERY,
    OPT_SILENT_FROM,
    OPT_RESTART_AFTER,
    OPT_DELAY,
    OPT_EXIT_AFTER,
    OPT_PAD,
    OPT_FLOOD,
    OPT_GARBAGE,
    OPT_BROKEN,
    OPT_LONE_F0,
    OPT_JITTER,
    OPT_ECHO,
    OPT_REALTIME_INSIDE,
    OPT_FOREIGN_BEHIND,
    OPT_BURST,
    OPT_LATE,
};


bool parseNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    value = std::strtol(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

// Reply codes are written as the target's log shows them: two hex digits, 0x allowed.
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

bool parseCodeOrSilent(const std::string& text, int& code) {
    if (text == "silent") {
        code = TARGET_SILENT;
        return true;
    }
    return parseCode(text, code);
}

std::vector<std::string> splitColons(const std::string& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == ':') parts.emplace_back();
        else parts.back() += c;
    }
    return parts;
}

bool number(const std::string& name, const std::string& value, const char* expects, long low, long high,
            long& parsed, std::string& error) {
    if (parseNumber(value, low, high, parsed)) return true;
    error = "--" + name + " expects " + expects + ", not '" + value + "'";
    return false;
}

}  // namespace

const std::vector<BehaviourOption> BEHAVIOUR_OPTIONS = {
    {"handshake-reply", true, OPT_HANDSHAKE_REPLY,
     "  --handshake-reply CODE|silent\n"
     "                           answer each handshake with CODE (default 43; 15 asks for a reset)\n"
     "                           or not at all\n"},
    {"refuse", true, OPT_REFUSE,
     "  --refuse K:CODE[:N]      answer the first N sendings of record K with CODE instead (N default 1;\n"
     "                           0: every sending); CODE may be 'silent'; may be given more than once\n"},
    {"late", true, OPT_LATE,
     "  --late K:MS[:N]          answer the first N sendings of record K MS milliseconds late instead of\n"
     "                           --delay (N default 1; 0: every sending); may be given more than once\n"},
    {"refuse-every", true, OPT_REFUSE_EVERY,
     "  --refuse-every N:CODE    refuse every N-th record that arrives, counted over all sendings\n"},
    {"silent-from", true, OPT_SILENT_FROM,
     "  --silent-from K          answer no record from record K on (handshakes are still answered)\n"},
    {"restart-after", true, OPT_RESTART_AFTER,
     "  --restart-after K        answer record K with 77: written, the update is over, restarting\n"},
    {"delay", true, OPT_DELAY, "  --delay MS               answer MS milliseconds after the message arrived (default 0)\n"},
    {"handshake-delay", true, OPT_HANDSHAKE_DELAY,
     "  --handshake-delay MS     answer handshakes MS milliseconds late instead (default: --delay)\n"},
    {"exit-after", true, OPT_EXIT_AFTER,
     "  --exit-after M           leave (the ports vanish) when message M arrives, without answering\n"
     "                           it (every message counts, handshakes included)\n"},
    {"pad", true, OPT_PAD, "  --pad N                  make every reply N bytes long: F0, code, zeros, F7 (4..4000)\n"},
    {"flood", true, OPT_FLOOD, "  --flood N                send N short channel messages (90 3C 00) after each data message\n"},
    {"garbage", true, OPT_GARBAGE,
     "  --garbage N              send N system-exclusive messages that are no reply (F0 7D ... F7)\n"
     "                           after each data message\n"},
    {"broken", true, OPT_BROKEN,
     "  --broken N               send N system-exclusive messages cut short (F0 7D 01 02, no F7)\n"
     "                           after each data message\n"},
    {"lone-f0", false, OPT_LONE_F0, "  --lone-f0                send a one-byte message (F0 alone) before each handshake answer\n"},
    {"jitter", true, OPT_JITTER,
     "  --jitter MS[:SEED]       answer up to MS milliseconds later still, a different amount each time\n"
     "                           (a random sequence from SEED, default 1); answers still leave in turn\n"},
    {"echo", true, OPT_ECHO,
     "  --echo MS                every answer arrives twice, the copy MS milliseconds after it (0: both in\n"
     "                           one delivery), as through a merge or a patchbay that connects it twice\n"},
    {"realtime-inside", false, OPT_REALTIME_INSIDE,
     "  --realtime-inside        real-time bytes inside every answer (F0 F8 CODE FE F7), as a clock or\n"
     "                           active sensing on the same cable puts them\n"},
    {"foreign-behind", false, OPT_FOREIGN_BEHIND,
     "  --foreign-behind         another device's system-exclusive message (F0 7D ... F7) right behind\n"
     "                           every answer, in the same delivery\n"},
    {"burst", true, OPT_BURST,
     "  --burst MS               send in bunches: every MS milliseconds, all that has come due leaves\n"
     "                           together, in one delivery (as a USB frame or a JACK period carries it)\n"},
};

bool applyBehaviourOption(int id, const std::string& value, TargetBehaviour& behaviour, std::string& error) {
    std::string name;
    for (const BehaviourOption& option : BEHAVIOUR_OPTIONS)
        if (option.id == id) name = option.name;
    long parsed = 0;
    switch (id) {
        case OPT_HANDSHAKE_REPLY:
            if (parseCodeOrSilent(value, behaviour.handshakeCode)) return true;
            error = "--handshake-reply expects a hex reply code 00..7F (e.g. 15) or 'silent', not '" + value + "'";
            return false;
        case OPT_REFUSE: {
            const std::vector<std::string> parts = splitColons(value);
            long record = 0, sendings = 1;
            TargetRefusal refusal{};
            if ((parts.size() != 2 && parts.size() != 3) || !parseNumber(parts[0], 1, 65535, record) ||
                !parseCodeOrSilent(parts[1], refusal.code) ||
                (parts.size() == 3 && !parseNumber(parts[2], 0, 100000, sendings))) {
                error = "--refuse expects RECORD:CODE[:SENDINGS] (record from 1, hex code or 'silent', sendings "
                        "refused, 0 for all), e.g. 3:20 or 3:24:2, not '" + value + "'";
                return false;
            }
            refusal.record = static_cast<int>(record);
            refusal.sendings = static_cast<int>(sendings);
            behaviour.refusals.push_back(refusal);
            return true;
        }
        case OPT_LATE: {
            const std::vector<std::string> parts = splitColons(value);
            long record = 0, ms = 0, sendings = 1;
            if ((parts.size() != 2 && parts.size() != 3) || !parseNumber(parts[0], 1, 65535, record) ||
                !parseNumber(parts[1], 0, 60000, ms) || (parts.size() == 3 && !parseNumber(parts[2], 0, 100000, sendings))) {
                error = "--late expects RECORD:MS[:SENDINGS] (record from 1, milliseconds 0 to 60000, sendings, 0 "
                        "for all), e.g. 2:2100 or 2:2100:3, not '" + value + "'";
                return false;
            }
            behaviour.latenesses.push_back(
                TargetLateness{static_cast<int>(record), static_cast<unsigned>(ms), static_cast<int>(sendings)});
            return true;
        }
        case OPT_REFUSE_EVERY: {
            const std::vector<std::string> parts = splitColons(value);
            if (parts.size() != 2 || !parseNumber(parts[0], 1, 100000, parsed) ||
                !parseCode(parts[1], behaviour.refuseEveryCode)) {
                error = "--refuse-every expects N:CODE (every N-th record received, hex code), e.g. 3:20, not '" +
                        value + "'";
                return false;
            }
            behaviour.refuseEvery = static_cast<int>(parsed);
            return true;
        }
        case OPT_SILENT_FROM:
        case OPT_RESTART_AFTER:
            if (!number(name, value, "a record number (1 or more)", 1, 65535, parsed, error)) return false;
            (id == OPT_SILENT_FROM ? behaviour.silentFrom : behaviour.restartAfter) = static_cast<int>(parsed);
            return true;
        case OPT_DELAY:
        case OPT_HANDSHAKE_DELAY:
            if (!number(name, value, "milliseconds (0 to 60000)", 0, 60000, parsed, error)) return false;
            if (id == OPT_DELAY) behaviour.delayMs = static_cast<unsigned>(parsed);
            else behaviour.handshakeDelayMs = static_cast<int>(parsed);
            return true;
        case OPT_EXIT_AFTER:
            if (!number(name, value, "a message number (1 or more)", 1, 100000000, parsed, error)) return false;
            behaviour.exitAfter = parsed;
            return true;
        case OPT_PAD:
            if (!number(name, value, "a reply length in bytes (4 to 4000)", 4, MAX_PADDED_REPLY, parsed, error)) return false;
            behaviour.pad = static_cast<int>(parsed);
            return true;
        case OPT_FLOOD:
        case OPT_GARBAGE:
        case OPT_BROKEN:
            if (!number(name, value, "a number of messages (0 to 1000)", 0, MAX_EXTRA_TRAFFIC, parsed, error)) return false;
            (id == OPT_FLOOD ? behaviour.flood : id == OPT_GARBAGE ? behaviour.garbage : behaviour.broken) =
                static_cast<int>(parsed);
            return true;
        case OPT_LONE_F0:
            behaviour.loneF0 = true;
            return true;
        case OPT_JITTER: {
            const std::vector<std::string> parts = splitColons(value);
            long seed = 1;
            if (parts.size() > 2 || !parseNumber(parts[0], 0, 60000, parsed) ||
                (parts.size() == 2 && !parseNumber(parts[1], 0, 999999999, seed))) {
                error = "--jitter expects MS[:SEED] (milliseconds 0 to 60000, a seed), e.g. 500 or 500:7, not '" +
                        value + "'";
                return false;
            }
            behaviour.jitterMs = static_cast<unsigned>(parsed);
            behaviour.jitterSeed = static_cast<std::uint32_t>(seed);
            return true;
        }
        case OPT_ECHO:
            if (!number(name, value, "milliseconds (0 to 60000)", 0, 60000, parsed, error)) return false;
            behaviour.echoMs = static_cast<int>(parsed);
            return true;
        case OPT_REALTIME_INSIDE:
            behaviour.realTimeInside = true;
            return true;
        case OPT_FOREIGN_BEHIND:
            behaviour.foreignBehind = true;
            return true;
        case OPT_BURST:
            if (!number(name, value, "milliseconds (1 to 1000)", 1, 1000, parsed, error)) return false;
            behaviour.burstMs = static_cast<unsigned>(parsed);
            return true;
        default:
            error = "not an option of the target's behaviour";
            return false;
    }
}

namespace {
const BehaviourOption* optionNamed(const std::string& word) {
    for (const BehaviourOption& option : BEHAVIOUR_OPTIONS)
        if (word == std::string("--") + option.name) return &option;
    return nullptr;
}
}  // namespace

bool applyBehaviourWord(const std::string& option, const std::string& value, TargetBehaviour& behaviour,
                        std::string& error) {
    const BehaviourOption* found = optionNamed(option);
    if (found == nullptr) {
        error = "unknown option '" + option + "'";
        return false;
    }
    return applyBehaviourOption(found->id, value, behaviour, error);
}

bool behaviourWordTakesValue(const std::string& option) {
    const BehaviourOption* found = optionNamed(option);
    return found != nullptr && found->takesValue;
}

bool parseBehaviourWords(const std::vector<std::string>& words, TargetBehaviour& behaviour, std::string& error) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        std::string value;
        if (behaviourWordTakesValue(word)) {
            if (i + 1 == words.size()) {
                error = word + " expects a value after it";
                return false;
            }
            value = words[++i];
        }
        if (!applyBehaviourWord(word, value, behaviour, error)) return false;
    }
    return true;
}

std::string behaviourHelp() {
    std::string help;
    for (const BehaviourOption& option : BEHAVIOUR_OPTIONS) help += option.help;
    return help;
}

namespace {

// A small random sequence of the target's own, the same for the same seed on every platform.
unsigned nextJitter(std::uint32_t& state, unsigned limitMs) {
    if (limitMs == 0) return 0;
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % (limitMs + 1);
}

}  // namespace

TargetScript scriptFor(const TargetBehaviour& behaviour) {
    TargetScript script;
    auto jitter = std::make_shared<std::uint32_t>(behaviour.jitterSeed);
    script.onHandshake = [behaviour, jitter](int) {
        const unsigned delayMs =
            behaviour.handshakeDelayMs < 0 ? behaviour.delayMs : static_cast<unsigned>(behaviour.handshakeDelayMs);
        return TargetAnswer{behaviour.handshakeCode, delayMs + nextJitter(*jitter, behaviour.jitterMs)};
    };
    auto received = std::make_shared<int>(0);   // whole records, however often the same one came
    script.onRecord = [behaviour, received, jitter](int record, int sending) {
        ++*received;
        TargetAnswer answer{TARGET_CHECKSUM, behaviour.delayMs + nextJitter(*jitter, behaviour.jitterMs)};
        for (const TargetLateness& late : behaviour.latenesses)
            if (late.record == record && (late.sendings == 0 || sending <= late.sendings)) answer.delayMs = late.ms;
        if (behaviour.silentFrom != 0 && record >= behaviour.silentFrom) {
            answer.code = TARGET_SILENT;
            return answer;
        }
        for (const TargetRefusal& refusal : behaviour.refusals) {
            if (refusal.record == record && (refusal.sendings == 0 || sending <= refusal.sendings)) {
                answer.code = refusal.code;
                return answer;
            }
        }
        if (behaviour.refuseEvery != 0 && *received % behaviour.refuseEvery == 0) {
            answer.code = behaviour.refuseEveryCode;
            return answer;
        }
        if (behaviour.restartAfter == record) answer.code = TARGET_CHECKSUM_THEN_RESTART;
        return answer;
    };
    return script;
}

void targetRespond(const TargetBehaviour& behaviour, TargetModel& model, const std::uint8_t* message,
                   std::size_t length, std::vector<TargetOutgoing>& outgoing) {
    const int handshakesBefore = model.handshakes;
    std::vector<TargetReply> replies;
    targetReceive(model, message, length, replies);
    const bool handshake = model.handshakes != handshakesBefore;
    if (!handshake && length > 0 && message[0] == 0xF0) {
        for (int i = 0; i < behaviour.flood; ++i) outgoing.push_back({{0x90, 0x3C, 0x00}, 0, TARGET_NOT_AN_ANSWER});
        // 7D: the identifier for private use, then a counter: no reply code the program knows.
        for (int i = 0; i < behaviour.garbage; ++i)
            outgoing.push_back({{0xF0, 0x7D, 0x47, 0x41, 0x52, static_cast<std::uint8_t>(i & 0x7F), 0xF7}, 0,
                                TARGET_NOT_AN_ANSWER});
        for (int i = 0; i < behaviour.broken; ++i) outgoing.push_back({{0xF0, 0x7D, 0x01, 0x02}, 0, TARGET_NOT_AN_ANSWER});
    }
    for (TargetReply& reply : replies) {
        if (handshake && behaviour.loneF0) outgoing.push_back({{0xF0}, reply.delayMs, TARGET_NOT_AN_ANSWER});
        std::vector<std::uint8_t> bytes = std::move(reply.bytes);
        if (behaviour.pad > static_cast<int>(bytes.size())) {
            const std::uint8_t code = bytes[1];
            bytes.assign(static_cast<std::size_t>(behaviour.pad), 0x00);
            bytes.front() = 0xF0;
            bytes[1] = code;
            bytes.back() = 0xF7;
        }
        if (behaviour.realTimeInside) {
            bytes.insert(bytes.begin() + 1, 0xF8);
            bytes.insert(bytes.end() - 1, 0xFE);
        }
        const std::vector<std::uint8_t> copy = behaviour.echoMs >= 0 ? bytes : std::vector<std::uint8_t>{};
        outgoing.push_back({std::move(bytes), reply.delayMs, reply.answers});
        // 7D: the identifier for private use, so no real maker's; then "ZV" and a counter.
        if (behaviour.foreignBehind)
            outgoing.push_back({{0xF0, 0x7D, 0x5A, 0x56, static_cast<std::uint8_t>(model.messages & 0x7F), 0xF7},
                                reply.delayMs, TARGET_NOT_AN_ANSWER, true});
        if (behaviour.echoMs >= 0)
            outgoing.push_back({copy, reply.delayMs + static_cast<unsigned>(behaviour.echoMs), reply.answers,
                                behaviour.echoMs == 0});
    }
}

std::uint64_t targetLineDue(const TargetBehaviour& behaviour, TargetLine& line, std::uint64_t nowMs,
                            const TargetOutgoing& message, unsigned spacingMs) {
    std::uint64_t due = nowMs + message.delayMs;
    if (message.withPrevious && line.used) {
        due = line.lastDueMs;
    } else if (line.used) {
        due = std::max(due, line.lastDueMs + (behaviour.burstMs > 0 ? 0 : spacingMs));
    }
    if (behaviour.burstMs > 0) due = (due + behaviour.burstMs - 1) / behaviour.burstMs * behaviour.burstMs;
    line.lastDueMs = due;
    line.used = true;
    return due;
}
