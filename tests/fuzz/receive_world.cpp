#include "receive_world.h"

#include <set>

#include "receive_limits.h"
#include "receive_failure.h"

namespace {

// The fuzz input, read a byte at a time: past its end every read gives zero.

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

TargetAnswer decodeAnswer(Input& in, bool handshake) {
    const std::uint8_t choice = in.byte();
    TargetAnswer answer;
    switch (choice & 15) {
        case 6: answer.code = wire::WRITTEN; break;
        case 7: answer.code = wire::RESTARTED; break;
        case 8: answer.code = wire::CRC_ERROR; break;
        case 9: answer.code = wire::DAMAGED_A; break;
        case 10: answer.code = wire::DAMAGED_B; break;
        case 11: answer.code = wire::VERIFY_ERROR; break;
        case 12: answer.code = wire::ERASE_ERROR; break;
        case 13: answer.code = TARGET_SILENT; break;
        case 14: answer.code = handshake ? wire::RESET_NEEDED : wire::READY; break;
        case 15: answer.code = in.byte(); break;
        default: answer.code = handshake ? wire::READY : TARGET_CHECKSUM; break;
    }
    const unsigned pace = choice >> 4;
    answer.delayMs = pace < 8 ? 0 : pace < 12 ? in.byte() : in.word() % 3001;
    return answer;
}

Bytes strayBytes(Input& in) {
    const std::uint8_t shape = in.byte();
    if (shape < 160) {
        // Shaped like an answer, so that the interesting codes turn up often.
        static const std::uint8_t codes[] = {wire::WRITTEN, wire::RESTARTED, wire::READY, wire::RESET_NEEDED,
                                             wire::CRC_ERROR};
        const std::uint8_t code = shape % 6 < 5 ? codes[shape % 6] : in.byte();
        return {0xF0, code, 0xF7};
    }
    return in.bytes(in.word() % 301);
}

std::string answerText(const TargetAnswer& a) {
    const std::string code = a.code == TARGET_CHECKSUM ? "checksum" : a.code == TARGET_SILENT ? "silent" : hexText({static_cast<std::uint8_t>(a.code)});
    return code + (a.delayMs ? "+" + std::to_string(a.delayMs) + "ms" : "");
}

}  // namespace

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

    // How the target's answers travel: in bunches, with real-time bytes inside, twice, with another
    // device's message behind them. (Inputs from before these existed end here: none of it.)
    const std::uint8_t transport = in.byte();
    static const unsigned bursts[] = {0, 0, 2, 20};
    s.behaviour.burstMs = bursts[transport & 3];
    s.behaviour.realTimeInside = (transport & 0x04) != 0;
    s.behaviour.foreignBehind = (transport & 0x08) != 0;
    if ((transport & 0x30) == 0x20) s.behaviour.echoMs = 0;
    if ((transport & 0x30) == 0x30) s.behaviour.echoMs = in.byte() % 64;
    return c;
}

bool answersInside(const Case& c) {
    // A bunch holds an answer back until its time comes round.
    const unsigned held = c.scenario.behaviour.burstMs;
    const unsigned handshakeLimit = wire::HANDSHAKE_WAIT_MS - 10 - held;
    const unsigned recordLimit = wire::RECORD_WAIT_MS - 10 - held;
    for (const TargetAnswer& a : c.handshakeAnswers)
        if (a.delayMs > handshakeLimit) return false;
    if (c.laterHandshakes.delayMs > handshakeLimit || c.otherSendings.delayMs > recordLimit) return false;
    for (const Override& o : c.overrides)
        if (o.answer.delayMs > recordLimit) return false;
    return true;
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
    const TargetBehaviour& b = s.behaviour;
    text += "\ntransport: bunches every " + std::to_string(b.burstMs) + " ms, real-time inside " +
            std::to_string(b.realTimeInside) + ", another device behind " + std::to_string(b.foreignBehind) +
            ", echo " + (b.echoMs < 0 ? std::string("none") : std::to_string(b.echoMs) + " ms");
    return text;
}

