// The receive side under a hostile wire: the fuzz input decides a whole world (a small sound image,
// where the target sits among up to 3 x 3 ports, how it answers each handshake and each sending of a
// record, with what delay, and stray messages of any bytes, kind and timing) and the whole program runs
// against it on virtual time. The checks look only at what can be seen from outside the program: the
// console, the messages on the wire, what the emulated target holds.
//
// What is checked, and why each check is sound:
//  - Every run ends within a time derived from the wire's limits (handshakes per pair, waits per record,
//    failures in a row, the send give-up) and sends no more messages than those limits allow; every
//    port is released at the end.
//  - The console is one of the known transcripts: banner, file line, then either no device, a reset
//    request, or progress lines (non-decreasing, below 100 %) with refusal messages and one ending.
//  - The data messages form sendings of whole, unchanged records of the image: 11 bytes of upper-case
//    hex text a message, the last one shorter; each sending is the record before it again or the next
//    one, starting from the first. Only the very last sending may be cut short (the output failed).
//  - What the target accepted, split by its length fields, is records of the image, in image order.
//  - A claim may rest only on what arrived: the program trusts the wire, so a stray "record OK" may
//    make it move on although the target refused. The claim checked is therefore about deliveries:
//    each time the program moved past a record, and at "updated successfully", a system-exclusive
//    message with code 0x1A was delivered after the program finished the sending before and before
//    it started the next one (each delivery used at most once); the restart ending needs a delivered
//    0x77 in the same kind of window; "device open" needs a 0x43 and the reset request a 0x15.
//  - On a clean wire (no stray messages, no vanishing ports, every answer inside its wait) the
//    program's verdict must equal the target's: success exactly when the target holds the image, the
//    restart ending exactly when the target answered 0x77, and the device found is the target's pair;
//    sending by sending, the program moves on exactly after the target's "record OK", sends the same
//    record again after anything else, and gives up only after the limit of failures in a row.
//
// The layout of the input is decodeCase's. FUZZ_RECEIVE_SHOW=1 prints each world and its console, to
// read what a saved input does: FUZZ_RECEIVE_SHOW=1 fuzz_receive_replay tests/fuzz/corpus/receive/NAME
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "midi/sysex.h"
#include "protocol/wire.h"
#include "sim/sim_world.h"
#include "support/scenario.h"

namespace {

// --- reading the fuzz input: past its end every read gives zero ---

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    unsigned word() { return byte() * 256u + byte(); }
    Bytes bytes(std::size_t count) {
        Bytes out(count);
        for (std::uint8_t& b : out) b = byte();
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct Override {
    int record;
    int sending;
    TargetAnswer answer;
};

struct Case {
    SimScenario scenario;
    std::vector<Bytes> records;   // distinct lengths, so the wire tells them apart
    Bytes image;
    std::vector<TargetAnswer> handshakeAnswers;
    TargetAnswer laterHandshakes;
    std::vector<Override> overrides;
    TargetAnswer otherSendings;
    // What the target's script answered to each whole record it received, in order.
    std::shared_ptr<std::vector<int>> recordAnswers = std::make_shared<std::vector<int>>();
};

TargetAnswer decodeAnswer(Input& in, bool handshake) {
    const std::uint8_t choice = in.byte();
    TargetAnswer answer;
    switch (choice & 15) {
        case 6: answer.code = REPLY_RECORD_OK; break;
        case 7: answer.code = REPLY_DONE_RESTART; break;
        case 8: answer.code = REPLY_CRC_ERROR; break;
        case 9: answer.code = REPLY_DAMAGED_A; break;
        case 10: answer.code = REPLY_DAMAGED_B; break;
        case 11: answer.code = REPLY_VERIFY_ERROR; break;
        case 12: answer.code = REPLY_ERASE_ERROR; break;
        case 13: answer.code = TARGET_SILENT; break;
        case 14: answer.code = handshake ? REPLY_RESET_NEEDED : REPLY_READY; break;
        case 15: answer.code = in.byte(); break;
        default: answer.code = handshake ? REPLY_READY : TARGET_CHECKSUM; break;
    }
    const unsigned pace = choice >> 4;
    answer.delayMs = pace < 8 ? 0 : pace < 12 ? in.byte() : in.word() % 1501;
    return answer;
}

Bytes strayBytes(Input& in) {
    const std::uint8_t shape = in.byte();
    if (shape < 160) {
        // Shaped like an answer, so that the interesting codes turn up often.
        static const std::uint8_t codes[] = {REPLY_RECORD_OK, REPLY_DONE_RESTART, REPLY_READY, REPLY_RESET_NEEDED,
                                             REPLY_CRC_ERROR};
        const std::uint8_t code = shape % 6 < 5 ? codes[shape % 6] : in.byte();
        return {0xF0, code, 0xF7};
    }
    return in.bytes(in.word() % 301);
}

Case decodeCase(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Case c;
    SimScenario& s = c.scenario;
    const std::uint8_t ports = in.byte();
    s.inputs = 1 + ports % 3;
    s.outputs = 1 + (ports / 3) % 3;
    const std::uint8_t place = in.byte();
    s.targetInput = place % 8 == 7 ? -1 : place % s.inputs;
    s.targetOutput = (place >> 3) % s.outputs;
    const std::uint8_t troubles = in.byte();
    if (troubles & 0x80) {
        if ((troubles & 3) < 3) s.inputsFailingToOpen.push_back(troubles & 3);
        if (((troubles >> 2) & 3) < 3) s.inputsFailingToStart.push_back((troubles >> 2) & 3);
        if (((troubles >> 4) & 3) < 3) s.outputsFailingToOpen.push_back((troubles >> 4) & 3);
    }
    const std::uint8_t vanishing = in.byte();
    if ((vanishing & 0xC0) == 0xC0) s.outputVanishesAfter = 1 + (vanishing & 0x3F);
    if ((vanishing & 0xC0) == 0x80) s.inputVanishesAfter = 1 + (vanishing & 0x3F);
    const std::uint8_t sending = in.byte();
    if ((sending & 0x0F) == 0x0F) s.sendBusyPolls = sending >> 4;
    s.sendsNeverFinish = sending == 0xEE;

    const int recordCount = in.byte() % 5;
    std::set<std::size_t> lengths;
    for (int i = 0; i < recordCount; ++i) {
        std::size_t length = 4 + in.byte() % 64;
        while (lengths.count(length)) length = length == 67 ? 4 : length + 1;
        lengths.insert(length);
        c.records.push_back(makeRecord(in.bytes(length - 4)));
    }
    c.image = concat(c.records);

    const int handshakes = in.byte() % 5;
    for (int i = 0; i < handshakes; ++i) c.handshakeAnswers.push_back(decodeAnswer(in, true));
    c.laterHandshakes = decodeAnswer(in, true);
    c.otherSendings = decodeAnswer(in, false);
    const int overrides = in.byte() % 9;
    for (int i = 0; i < overrides; ++i) {
        Override o;
        o.record = in.byte() % (recordCount > 0 ? recordCount : 1);
        o.sending = 1 + in.byte() % 24;
        o.answer = decodeAnswer(in, false);
        c.overrides.push_back(o);
    }
    const auto handshakeAnswers = c.handshakeAnswers;
    const TargetAnswer later = c.laterHandshakes;
    s.target.onHandshake = [handshakeAnswers, later](int handshake) {
        return handshake <= static_cast<int>(handshakeAnswers.size()) ? handshakeAnswers[handshake - 1] : later;
    };
    const auto overrideList = c.overrides;
    const TargetAnswer other = c.otherSendings;
    const auto answered = c.recordAnswers;
    s.target.onRecord = [overrideList, other, answered](int record, int sending) {
        TargetAnswer answer = other;
        for (const Override& o : overrideList) {
            if (o.record + 1 == record && o.sending == sending) {
                answer = o.answer;
                break;
            }
        }
        answered->push_back(answer.code);
        return answer;
    };

    const int strays = in.byte() % 7;
    for (int i = 0; i < strays; ++i) {
        const std::uint8_t kind = in.byte();
        SimStray stray{};
        stray.trigger = static_cast<SimStrayTrigger>(kind % 3);
        stray.count = stray.trigger == SIM_AFTER_MESSAGE ? 1 + in.word() % 400
                      : stray.trigger == SIM_AT_TIME     ? static_cast<long>(in.word())
                                                         : in.byte() % 4;
        stray.delayMs = (kind & 0x08) ? in.word() % 1501 : 0;
        stray.sysex = !(kind & 0x10);
        stray.bytes = strayBytes(in);
        s.strays.push_back(stray);
    }
    return c;
}

// --- describing a failing case ---

std::string hexText(const Bytes& bytes, std::size_t limit = 40) {
    std::string text;
    char hex[4];
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        text += hex;
    }
    if (bytes.size() > limit) text += "...(" + std::to_string(bytes.size()) + ")";
    return text;
}

std::string answerText(const TargetAnswer& a) {
    const std::string code = a.code == TARGET_CHECKSUM ? "checksum" : a.code == TARGET_SILENT ? "silent" : hexText({static_cast<std::uint8_t>(a.code)});
    return code + (a.delayMs ? "+" + std::to_string(a.delayMs) + "ms" : "");
}

std::string printable(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\n') out += "\\n\n";
        else if (ch == '\r') out += "\\r";
        else out += ch;
    }
    return out;
}

std::string describe(const Case& c) {
    const SimScenario& s = c.scenario;
    std::string text = "ports " + std::to_string(s.inputs) + "x" + std::to_string(s.outputs) + ", target at in " +
                       std::to_string(s.targetInput) + " out " + std::to_string(s.targetOutput);
    text += ", out vanishes after " + std::to_string(s.outputVanishesAfter) + ", in vanishes after " +
            std::to_string(s.inputVanishesAfter) + ", busy polls " + std::to_string(s.sendBusyPolls) +
            (s.sendsNeverFinish ? ", sends never finish" : "") + "\nrecords:";
    for (const Bytes& r : c.records) text += " " + hexText(r);
    text += "\nhandshakes:";
    for (const TargetAnswer& a : c.handshakeAnswers) text += " " + answerText(a);
    text += " then " + answerText(c.laterHandshakes) + "\nsendings: otherwise " + answerText(c.otherSendings);
    for (const Override& o : c.overrides)
        text += ", r" + std::to_string(o.record) + "s" + std::to_string(o.sending) + "=" + answerText(o.answer);
    for (const SimStray& st : s.strays)
        text += "\nstray trigger " + std::to_string(st.trigger) + " count " + std::to_string(st.count) + " delay " +
                std::to_string(st.delayMs) + (st.sysex ? " sysex " : " short ") + hexText(st.bytes);
    return text;
}

const Case* currentCase = nullptr;
const std::string* currentTranscript = nullptr;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_receive: %s\n", what.c_str());
    if (currentCase) std::fprintf(stderr, "--- scenario\n%s\n", describe(*currentCase).c_str());
    if (currentTranscript) std::fprintf(stderr, "--- console\n%s\n", printable(*currentTranscript).c_str());
    std::fprintf(stderr, "--- wire\n");
    for (const SimEvent& e : simEvents()) {
        static const char* kinds[] = {"open in", "close in", "open out", "close out", "sent", "delivered", "lost"};
        std::fprintf(stderr, "%6llu %-9s %d %s\n", static_cast<unsigned long long>(e.timeMs), kinds[e.kind], e.port,
                     hexText(e.bytes).c_str());
    }
    std::abort();
}

void check(bool holds, const std::string& what) {
    if (!holds) fail(what);
}

// --- the console ---

const std::string OPENED = "OK: File 'ZENTRAVOX.led' is open.\n";
const std::string NOT_FOUND = "\nFailed: Can't find the suitable device to update!\n\n";
const std::string FOUND = "The Update Device is Open successfully:\nMIDIIN Device: ";
const std::string RESET = "Please reset the product and retry again!\n\n";
const std::string DONE = "\rTransferring.. 100% done.  \n\nTarget update successfully!\n\n";
const std::string RESTARTED =
    "\rTransferring.. 100% done.  \nTarget update successfully!\n\nThe System is restarted, please wait!\n\n";
const std::string GAVE_UP = "\nError in updating.\n";
const std::string SILENT = "\nFailed: Target is not responding.\n\n";
const std::string OUT_MISSING = "\nError: The MIDI Out of device is missing!\n\n";
const std::string PROGRESS = "\r                        \rTransferring.. ";
const std::string BAD_IMAGE = "Error: The upgrade file is error!\n\n";

enum class Ending { BadImage, NotFound, Reset, Done, Restarted, GaveUp, Silent, OutMissing };

struct Console {
    Ending ending;
    std::string inName, outName;
    int progressLines = 0;
};

bool consume(std::string& text, const std::string& head) {
    if (text.compare(0, head.size(), head) != 0) return false;
    text.erase(0, head.size());
    return true;
}

Console readConsole(std::string text) {
    Console console{};
    check(consume(text, BANNER + OPENED), "the console does not begin with the banner and the file line");
    check(text.size() >= KEY_PROMPT.size() && text.compare(text.size() - KEY_PROMPT.size(), KEY_PROMPT.size(), KEY_PROMPT) == 0,
          "the console does not end with the key prompt");
    text.erase(text.size() - KEY_PROMPT.size());
    if (text == BAD_IMAGE) {
        console.ending = Ending::BadImage;
        return console;
    }
    if (text == NOT_FOUND) {
        console.ending = Ending::NotFound;
        return console;
    }
    check(consume(text, FOUND), "neither 'no device' nor 'device open' after the file line");
    std::size_t end = text.find('\n');
    check(end != std::string::npos, "the input's name line is cut");
    console.inName = text.substr(0, end);
    text.erase(0, end + 1);
    check(consume(text, "MIDIOUT Device: "), "no output name line");
    end = text.find('\n');
    check(end != std::string::npos, "the output's name line is cut");
    console.outName = text.substr(0, end);
    text.erase(0, end + 1);
    if (text == RESET) {
        console.ending = Ending::Reset;
        return console;
    }
    static const std::vector<std::string> refusals = {
        "\nThe download file has been damaged!\n", "\nThe download file verifies error!\n",
        "\nThe MCU erases error!\n", "\nThe CRC of the download file is error!\n"};
    int lastPercent = 0;
    for (;;) {
        if (!consume(text, PROGRESS)) break;
        ++console.progressLines;
        check(text.size() >= 2 && std::string("-\\|/").find(text[0]) != std::string::npos && text[1] == ' ',
              "a progress line without its spinner");
        text.erase(0, 2);
        std::size_t digits = 0;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        check(digits > 0 && digits <= 3, "a progress line without its percentage");
        const int percent = std::stoi(text.substr(0, digits));
        text.erase(0, digits);
        check(consume(text, "% done"), "a progress line without '% done'");
        check(percent >= lastPercent && percent < 100, "progress went back or reached 100 % before the end");
        lastPercent = percent;
        for (const std::string& refusal : refusals)
            if (consume(text, refusal)) break;
    }
    const std::pair<const std::string*, Ending> endings[] = {{&DONE, Ending::Done}, {&RESTARTED, Ending::Restarted},
                                                              {&GAVE_UP, Ending::GaveUp}, {&SILENT, Ending::Silent},
                                                              {&OUT_MISSING, Ending::OutMissing}};
    for (const auto& [ending, kind] : endings) {
        if (text == *ending) {
            console.ending = kind;
            return console;
        }
    }
    fail("the transfer does not end in one of the known ways: '" + printable(text) + "'");
}

// --- the wire ---

struct Sent {
    std::size_t event;   // index in the event log
    int port;
    std::string text;    // between F0 and F7
};

struct Sending {
    int record;
    std::size_t firstEvent, lastEvent;
    bool whole;
};

int recordWithLengthField(const Case& c, const std::string& text) {
    for (std::size_t j = 0; j < c.records.size(); ++j)
        if (text.compare(0, 4, hexOf(c.records[j], 0, 2)) == 0) return static_cast<int>(j);
    return -1;
}

std::vector<Sending> readSendings(const Case& c, const std::vector<Sent>& data) {
    std::vector<Sending> sendings;
    std::size_t m = 0;
    int previous = -1;
    while (m < data.size()) {
        const int record = recordWithLengthField(c, data[m].text);
        check(record >= 0, "a data message that begins no record of the image: " + data[m].text);
        check(record == previous || record == previous + 1,
              "record " + std::to_string(record) + " sent after record " + std::to_string(previous));
        const Bytes& bytes = c.records[record];
        Sending sending{record, data[m].event, data[m].event, true};
        for (std::size_t from = 0; from < bytes.size(); from += RECORD_BYTES_PER_MESSAGE) {
            if (m == data.size()) {
                sending.whole = false;
                break;
            }
            const std::size_t count = std::min<std::size_t>(RECORD_BYTES_PER_MESSAGE, bytes.size() - from);
            check(data[m].text == hexOf(bytes, from, count),
                  "record " + std::to_string(record) + " changed on the wire: " + data[m].text + " instead of " +
                      hexOf(bytes, from, count));
            sending.lastEvent = data[m].event;
            ++m;
        }
        sendings.push_back(sending);
        previous = record;
    }
    return sendings;
}

bool isIdent(const Bytes& bytes) {
    return bytes.size() == identToken.size() + 2 && bytes.front() == 0xF0 && bytes.back() == 0xF7 &&
           std::equal(identToken.begin(), identToken.end(), bytes.begin() + 1);
}

// Delivered bytes that can have reached the program as a system-exclusive message: the target's own
// answers, and the system-exclusive strays. A short message is never a reply.
bool maybeSysex(const Case& c, const Bytes& bytes) {
    if (bytes.size() == 3 && bytes[0] == 0xF0 && bytes[2] == 0xF7) return true;
    for (const SimStray& stray : c.scenario.strays)
        if (stray.sysex && stray.bytes == bytes) return true;
    return false;
}

std::vector<std::size_t> evidenceOf(const Case& c, const std::vector<SimEvent>& events, std::uint8_t code) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const SimEvent& e = events[i];
        if (e.kind == SIM_DELIVERED && e.bytes.size() >= 2 && e.bytes[1] == code && maybeSysex(c, e.bytes)) found.push_back(i);
    }
    return found;
}

// Window ends are event indices; `after` is -1 for "from the start of the log".
bool anyBetween(const std::vector<std::size_t>& evidence, long after, std::size_t before) {
    for (std::size_t at : evidence)
        if (static_cast<long>(at) > after && at < before) return true;
    return false;
}

bool answersInside(const Case& c) {
    for (const TargetAnswer& a : c.handshakeAnswers)
        if (a.delayMs > 490) return false;
    const unsigned recordAnswerLimit = RECORD_REPLY_WAIT_POLLS - 10;
    if (c.laterHandshakes.delayMs > 490 || c.otherSendings.delayMs > recordAnswerLimit) return false;
    for (const Override& o : c.overrides)
        if (o.answer.delayMs > recordAnswerLimit) return false;
    return true;
}

std::size_t messagesOf(std::size_t recordBytes) {
    return (recordBytes + RECORD_BYTES_PER_MESSAGE - 1) / RECORD_BYTES_PER_MESSAGE;
}

void checkRun(const Case& c, const std::string& transcript) {
    const SimScenario& s = c.scenario;
    const std::vector<SimEvent> events = simEvents();
    const TargetModel target = simTargetSnapshot();

    check(simPortsOpen() == 0, "ports left open at the end");

    // Bounds from the wire's limits: every pair gets a few handshakes with a bounded wait each, every
    // record a bounded number of sendings, each of its messages and a bounded wait.
    const std::uint64_t sendMs = s.sendsNeverFinish ? SEND_WAIT_POLLS : static_cast<std::uint64_t>(s.sendBusyPolls);
    const std::uint64_t pairs = static_cast<std::uint64_t>(s.inputs) * static_cast<std::uint64_t>(s.outputs);
    std::uint64_t boundMs = pairs * HANDSHAKES_PER_PAIR * (sendMs + HANDSHAKE_WAIT_POLLS * POLL_INTERVAL_MS) +
                            static_cast<std::uint64_t>(s.inputs) * INPUT_SETTLE_LIMIT_POLLS * POLL_INTERVAL_MS;
    std::uint64_t boundMessages = pairs * HANDSHAKES_PER_PAIR;
    for (const Bytes& r : c.records) {
        const std::uint64_t sendingsMs =
            RECORD_FAILURE_LIMIT *
            (messagesOf(r.size()) * (sendMs + DATA_MESSAGE_PAUSE_MS) + RECORD_REPLY_WAIT_POLLS * POLL_INTERVAL_MS);
        // After the record is written, answers still owed to its sendings are waited for, at most as
        // long as the longest an answer has taken, and the slack.
        boundMs += sendingsMs + sendingsMs + LATE_ANSWER_SLACK_MS;
        boundMessages += RECORD_FAILURE_LIMIT * messagesOf(r.size());
    }
    check(simNowMs() <= boundMs,
          "the run took " + std::to_string(simNowMs()) + " ms, more than the bound of " + std::to_string(boundMs));

    std::vector<Sent> idents, data;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const SimEvent& e = events[i];
        if (e.kind != SIM_SENT) continue;
        check(e.bytes.size() >= 2 && e.bytes.front() == 0xF0 && e.bytes.back() == 0xF7, "a message without F0 ... F7");
        if (isIdent(e.bytes)) {
            check(data.empty(), "a handshake after data messages");
            idents.push_back(Sent{i, e.port, ""});
            continue;
        }
        const std::string text(e.bytes.begin() + 1, e.bytes.end() - 1);
        check(!text.empty() && text.size() % 2 == 0 && text.size() <= 2 * RECORD_BYTES_PER_MESSAGE,
              "a data message of " + std::to_string(text.size()) + " characters");
        check(text.find_first_not_of("0123456789ABCDEF") == std::string::npos, "a data message that is not upper-case hex: " + text);
        data.push_back(Sent{i, e.port, text});
    }
    check(idents.size() + data.size() <= boundMessages, "more messages than the wire's limits allow");

    const Console console = readConsole(transcript);
    check((console.ending == Ending::BadImage) == c.records.empty(),
          c.records.empty() ? "an image with no record was not refused" : "a sound image was refused");
    if (console.ending == Ending::BadImage) {
        check(events.empty(), "a port was touched for an image with no record");
        return;
    }
    const bool found = console.ending != Ending::NotFound;
    const bool transferred = found && console.ending != Ending::Reset;
    const long lastIdent = idents.empty() ? -1 : static_cast<long>(idents.back().event);
    const long beforeLastIdent = idents.size() < 2 ? -1 : static_cast<long>(idents[idents.size() - 2].event);
    const std::size_t firstData = data.empty() ? events.size() : data.front().event;

    if (!transferred) check(data.empty(), "data messages without a transfer");
    int pairIn = -1, pairOut = -1;
    if (found) {
        check(!idents.empty(), "a device found without a handshake");
        pairOut = idents.back().port;
        for (long i = 0; i < lastIdent; ++i)
            if (events[i].kind == SIM_OPEN_IN) pairIn = events[i].port;
        check(console.inName == simPortName(true, pairIn) && console.outName == simPortName(false, pairOut),
              "the names shown are not those of the pair that answered");
        for (const Sent& d : data) check(d.port == pairOut, "data messages to an output other than the device's");
        const std::uint8_t code = console.ending == Ending::Reset ? REPLY_RESET_NEEDED : REPLY_READY;
        check(anyBetween(evidenceOf(c, events, code), beforeLastIdent, firstData),
              console.ending == Ending::Reset ? "a reset request that never arrived" : "a device found that never answered ready");
    }

    const std::vector<Sending> sendings = readSendings(c, data);
    const bool outputStays = s.outputVanishesAfter < 0;   // otherwise sends may fail without a trace
    if (transferred && outputStays)
        check(console.progressLines == static_cast<int>(sendings.size()), "progress lines and sendings differ in number");

    // The target's flash: whole records of the image, in image order (a record may be repeated).
    {
        std::size_t at = 0;
        int last = 0;
        int chunks = 0;
        while (at < target.flash.size()) {
            check(target.flash.size() - at >= 4, "the flash ends in a fragment");
            const std::size_t length = target.flash[at] * 256u + target.flash[at + 1] + 2u;
            check(at + length <= target.flash.size(), "the flash ends in a cut record");
            const Bytes chunk(target.flash.begin() + at, target.flash.begin() + at + length);
            int record = -1;
            for (std::size_t j = 0; j < c.records.size(); ++j)
                if (c.records[j] == chunk) record = static_cast<int>(j);
            check(record >= 0, "the target accepted a record that is not in the image: " + hexText(chunk));
            check(record >= last, "the target accepted records out of image order");
            last = record;
            ++chunks;
            at += length;
        }
        check(chunks == target.recordsAccepted, "the flash and the count of accepted records differ");
    }

    // Claims against deliveries.
    const std::vector<std::size_t> accepted = evidenceOf(c, events, REPLY_RECORD_OK);
    const auto windowStart = [&](std::size_t sending) -> long {
        return sending == 0 ? lastIdent : static_cast<long>(sendings[sending - 1].lastEvent);
    };
    if (console.ending == Ending::Done) {
        check(accepted.size() >= c.records.size(), "success claimed with fewer 'record OK' messages than records");
        if (outputStays) {
            if (c.records.empty()) {
                check(sendings.empty(), "data sent for an empty image");
            } else {
                check(!sendings.empty() && sendings.back().record == static_cast<int>(c.records.size()) - 1 &&
                          sendings.back().whole,
                      "success claimed without the last record sent whole");
            }
            // Each move past a record used one delivered 0x1A, delivered after the sending before the
            // last one of that record ended and before the next record's first message.
            std::size_t used = 0;
            bool haveUsed = false;
            for (std::size_t k = 0; k < sendings.size(); ++k) {
                const bool movesOn = k + 1 == sendings.size() || sendings[k + 1].record != sendings[k].record;
                if (!movesOn) continue;
                const long after = windowStart(k);
                const std::size_t before = k + 1 == sendings.size() ? events.size() : sendings[k + 1].firstEvent;
                bool matched = false;
                for (std::size_t at : accepted) {
                    if (static_cast<long>(at) <= after || at >= before || (haveUsed && at <= used)) continue;
                    used = at;
                    haveUsed = matched = true;
                    break;
                }
                check(matched, "moved past record " + std::to_string(sendings[k].record) +
                                   " without a 'record OK' delivered for it");
            }
        }
    }
    if (transferred && outputStays && !sendings.empty()) {
        for (std::size_t k = 0; k + 1 < sendings.size(); ++k)
            if (sendings[k + 1].record != sendings[k].record)
                check(anyBetween(accepted, windowStart(k), sendings[k + 1].firstEvent),
                      "moved on to record " + std::to_string(sendings[k + 1].record) + " without a 'record OK'");
    }
    // Where every answer of the target reaches the program and nothing else fills its mailbox (no
    // system-exclusive stray, the input stays), whatever the answers' delays: every move past a record
    // rests on the target's own "record OK" to a sending of that very record, delivered before the next
    // record's first message, and a success means the target wrote the image, each record once. The
    // target's log says which sending each of its answers answers; the sending's bytes say which record
    // it carried. (A stray can overwrite an answer in the one-slot mailbox; a record whose answer is
    // lost is sent again, and a target that writes in arrival order then writes it twice: no program
    // can tell, the wire carries no record numbers.)
    // The program looks at its mailbox between messages and polls, not while a send is still busy, and
    // tells a late handshake answer by its code: so sends finish at once, and where a handshake answer
    // comes after its wait (and holds up the answers behind it), handshakes are answered with a
    // handshake's codes.
    std::vector<TargetAnswer> handshakeAnswers = c.handshakeAnswers;
    handshakeAnswers.push_back(c.laterHandshakes);
    const bool lateHandshakes = std::any_of(handshakeAnswers.begin(), handshakeAnswers.end(),
                                            [](const TargetAnswer& a) { return a.delayMs > 490; });
    const bool recordCodesToHandshakes =
        std::any_of(handshakeAnswers.begin(), handshakeAnswers.end(), [](const TargetAnswer& a) {
            return a.code != REPLY_READY && a.code != REPLY_RESET_NEEDED && a.code != TARGET_SILENT &&
                   a.code != TARGET_CHECKSUM;
        });
    const bool answersAllArrive =
        s.inputVanishesAfter < 0 && s.sendBusyPolls == 0 && !s.sendsNeverFinish &&
        std::none_of(s.strays.begin(), s.strays.end(), [](const SimStray& stray) { return stray.sysex; }) &&
        !(lateHandshakes && recordCodesToHandshakes);
    if (transferred && outputStays && answersAllArrive) {
        const auto recordAnswered = [&](std::size_t event) {
            const int answers = events[event].answers;
            if (answers < 0 || answers >= static_cast<int>(target.sendings.size())) return -1;
            for (std::size_t j = 0; j < c.records.size(); ++j)
                if (target.sendings[answers].bytes == c.records[j]) return static_cast<int>(j);
            return -1;
        };
        std::set<std::size_t> used;
        for (std::size_t k = 0; k < sendings.size(); ++k) {
            const bool last = k + 1 == sendings.size();
            const bool movesOn = last ? console.ending == Ending::Done : sendings[k + 1].record != sendings[k].record;
            if (!movesOn) continue;
            const std::size_t before = last ? events.size() : sendings[k + 1].firstEvent;
            bool matched = false;
            for (std::size_t at : accepted) {
                if (at >= before || used.count(at) || recordAnswered(at) != sendings[k].record) continue;
                used.insert(at);
                matched = true;
                break;
            }
            check(matched, "moved past record " + std::to_string(sendings[k].record) +
                               " without the target's 'record OK' to a sending of it");
        }
        if (console.ending == Ending::Done) {
            check(target.flash == c.image && target.recordsAccepted == static_cast<int>(c.records.size()),
                  "success claimed but the target did not write the image, each record once");
        }
    }
    if (console.ending == Ending::Restarted) {
        const long after = sendings.size() >= 2 ? static_cast<long>(sendings[sendings.size() - 2].lastEvent) : lastIdent;
        check(anyBetween(evidenceOf(c, events, REPLY_DONE_RESTART), after, events.size()),
              "restart claimed without a 0x77 delivered");
    }

    // A clean wire: nothing but prompt answers. Then the program's verdict is the target's.
    const bool clean = s.strays.empty() && s.outputVanishesAfter < 0 && s.inputVanishesAfter < 0 &&
                       !s.sendsNeverFinish && s.targetInput >= 0 && answersInside(c);
    if (clean && found) {
        check(pairIn == s.targetInput && pairOut == s.targetOutput, "on a clean wire, a pair other than the target's was chosen");
    }
    if (clean && transferred) {
        check((console.ending == Ending::Restarted) == target.restarted,
              target.restarted ? "on a clean wire, the target restarted but the program did not say so"
                               : "on a clean wire, a restart was claimed that the target never answered");
        const bool holdsImage = !target.restarted && target.flash == c.image;
        check((console.ending == Ending::Done) == holdsImage,
              holdsImage ? "on a clean wire, the target holds the image but the program did not claim success"
                         : "on a clean wire, success was claimed but the target does not hold the image");

        // Sending by sending, the program acts on exactly what the target answered: the next record
        // after "record OK", the same record again after anything else, and it gives up only after
        // RECORD_FAILURE_LIMIT failures in a row, with the ending the last answer calls for.
        const std::vector<int>& answers = *c.recordAnswers;
        check(answers.size() == sendings.size(), "on a clean wire, the target did not receive every sending whole");
        int failuresInARow = 0;
        for (std::size_t k = 0; k < sendings.size(); ++k) {
            const int code = answers[k] == TARGET_CHECKSUM ? REPLY_RECORD_OK : answers[k];
            const bool last = k + 1 == sendings.size();
            const std::string which = "sending " + std::to_string(k) + " (record " + std::to_string(sendings[k].record) + ")";
            failuresInARow = code == REPLY_RECORD_OK || code == REPLY_DONE_RESTART ? 0 : failuresInARow + 1;
            check(failuresInARow <= RECORD_FAILURE_LIMIT, "on a clean wire, more failures in a row than the limit");
            if (code == REPLY_DONE_RESTART) {
                check(last && console.ending == Ending::Restarted, "on a clean wire, " + which + " answered 0x77 but the transfer went on");
            } else if (code == REPLY_RECORD_OK) {
                if (last)
                    check(console.ending == Ending::Done && sendings[k].record == static_cast<int>(c.records.size()) - 1,
                          "on a clean wire, " + which + " was accepted but the transfer stopped");
                else
                    check(sendings[k + 1].record == sendings[k].record + 1,
                          "on a clean wire, " + which + " was accepted but not followed by the next record");
            } else if (last) {
                const Ending expected = code == TARGET_SILENT ? Ending::Silent : Ending::GaveUp;
                check(failuresInARow == RECORD_FAILURE_LIMIT && console.ending == expected,
                      "on a clean wire, the transfer ended after " + which + " without the failures to end it");
            } else {
                check(sendings[k + 1].record == sendings[k].record,
                      "on a clean wire, " + which + " was refused but the next sending is another record");
            }
        }
        if (sendings.empty()) check(c.records.empty() && console.ending == Ending::Done, "on a clean wire, nothing was sent");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Case c = decodeCase(data, size);
    std::string transcript;
    {
        // The program reads the image from the current folder; the fuzzer resolves its own paths
        // (corpus, artifacts) against the folder it started in, so the scratch folder is left again.
        const ScratchFolder folder;
        writeImageText("ZENTRAVOX.led", c.image);
        transcript = runUpdateWith(c.scenario);
    }
    currentCase = &c;
    currentTranscript = &transcript;
    // FUZZ_RECEIVE_SHOW=1 prints each world and its console: for reading what a saved input does.
    static const bool show = std::getenv("FUZZ_RECEIVE_SHOW") != nullptr;
    if (show) std::fprintf(stderr, "%s\n--- console\n%s\n", describe(c).c_str(), printable(transcript).c_str());
    checkRun(c, transcript);
    currentCase = nullptr;
    currentTranscript = nullptr;
    return 0;
}
