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
#include <set>
#include <string>
#include <vector>

#include "receive_console.h"
#include "receive_failure.h"
#include "receive_limits.h"
#include "receive_wire.h"
#include "receive_world.h"
#include "emulated/world/sim_world.h"
#include "support/scenario.h"

namespace {

std::size_t messagesOf(std::size_t recordBytes) {
    return (recordBytes + wire::RECORD_BYTES_PER_MESSAGE - 1) / wire::RECORD_BYTES_PER_MESSAGE;
}

void checkRun(const Case& c, const std::string& transcript) {
    const SimScenario& s = c.scenario;
    const std::vector<SimEvent> events = simEvents();
    const TargetModel target = simTargetSnapshot();

    check(simPortsOpen() == 0, "ports left open at the end");

    // Bounds from the wire's limits: every pair gets a few handshakes with a bounded wait each, every
    // record a bounded number of sendings, each of its messages and a bounded wait.
    const std::uint64_t sendMs = s.sendsNeverFinish ? wire::SEND_GIVE_UP_MS : static_cast<std::uint64_t>(s.sendBusyPolls);
    // The search: the inputs settle; up to four rounds of a handshake on every output (the first output's
    // first one alone, and once more when it is answered at once); what they owe is
    // waited for; then a few attempts, each a handshake on every output alone and a confirmation for
    // each input that answered, each wait at most as long again as the rounds.
    const std::uint64_t ins = static_cast<std::uint64_t>(s.inputs);
    const std::uint64_t outs = static_cast<std::uint64_t>(s.outputs);
    const std::uint64_t longest = wire::HANDSHAKES_PER_PAIR * wire::HANDSHAKE_WAIT_MS;
    std::uint64_t boundMs = wire::INPUT_SETTLE_LIMIT_MS + wire::HANDSHAKES_PER_PAIR * (outs * sendMs + wire::HANDSHAKE_WAIT_MS) +
                            3 * longest +
                            wire::OUTPUT_SEARCH_ATTEMPTS * (outs * (sendMs + 2 * longest) + (ins + 1) * (sendMs + 3 * longest));
    std::uint64_t boundMessages = wire::HANDSHAKES_PER_PAIR * outs + 1 + wire::OUTPUT_SEARCH_ATTEMPTS * (outs + ins + 1);
    for (const Bytes& r : c.records) {
        const std::uint64_t sendingsMs =
            wire::FAILURES_IN_A_ROW * (messagesOf(r.size()) * (sendMs + wire::DATA_MESSAGE_PAUSE_MS) + wire::RECORD_WAIT_MS);
        // After the record is written, answers still owed to its sendings are waited for, at most as
        // long as the longest an answer has taken, and the slack.
        boundMs += sendingsMs + sendingsMs + wire::LATE_ANSWER_SLACK_MS;
        boundMessages += wire::FAILURES_IN_A_ROW * messagesOf(r.size());
    }
    // And after the last record, the watch for an answer too many.
    boundMs += wire::LAST_WATCH_MS;
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
        check(!text.empty() && text.size() % 2 == 0 && text.size() <= 2 * wire::RECORD_BYTES_PER_MESSAGE,
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
        // The last handshake goes to the pair's output; the pair's input is the last to close.
        pairOut = idents.back().port;
        for (const SimEvent& e : events)
            if (e.kind == SIM_CLOSE_IN) pairIn = e.port;
        check(console.inName == simPortName(true, pairIn) && console.outName == simPortName(false, pairOut),
              "the names shown are not those of the pair that answered");
        for (const Sent& d : data) check(d.port == pairOut, "data messages to an output other than the device's");
        const std::uint8_t code = console.ending == Ending::Reset ? wire::RESET_NEEDED : wire::READY;
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
    const std::vector<std::size_t> accepted = evidenceOf(c, events, wire::WRITTEN);
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
    // Where every answer of the target reaches the program (the input stays), whatever the answers'
    // delays, however they travel (in bunches, twice, with real-time bytes inside, with another
    // device's message behind them) and whatever else arrives that cannot be taken for a record's answer:
    // every move past a record rests on the target's own "record OK" to a sending of that very record,
    // delivered before the next record's first message, and a success means the target wrote the image,
    // each record once. The target's log says which sending each of its answers answers; the sending's
    // bytes say which record it carried. (A stray with a code of the target's may be taken for the answer
    // it looks like, and a stray 0x43 may end discovery while handshakes are still to be answered: no
    // program can tell, the wire carries no record numbers.)
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
            return a.code != wire::READY && a.code != wire::RESET_NEEDED && a.code != TARGET_SILENT &&
                   a.code != TARGET_CHECKSUM;
        });
    // A target that leaves a record unanswered is, to the program, one whose answer was lost; one that
    // answers a record with a code not of its table is one whose answer was another device's message:
    // an echo of an earlier answer can then take the place of its own, and the count still adds up.
    const auto ownAnswer = [](const TargetAnswer& a) { return a.code == TARGET_CHECKSUM || wire::isRecordCode(a.code); };
    const bool everyRecordAnsweredOwnWay =
        ownAnswer(c.otherSendings) &&
        std::all_of(c.overrides.begin(), c.overrides.end(), [&](const Override& o) { return ownAnswer(o.answer); });
    const bool answersAllArrive =
        s.inputVanishesAfter < 0 && s.sendBusyPolls == 0 && !s.sendsNeverFinish &&
        !(s.behaviour.echoMs >= 0 && !everyRecordAnsweredOwnWay) &&
        std::none_of(s.strays.begin(), s.strays.end(),
                     [](const SimStray& stray) {
                         const int code = codeOf(stray.bytes);
                         return stray.sysex && (wire::isRecordCode(code) || code == wire::READY || code == wire::RESET_NEEDED);
                     }) &&
        !(lateHandshakes && recordCodesToHandshakes);
    if (transferred && outputStays && answersAllArrive) {
        const auto recordAnswered = [&](std::size_t event) {
            const int answers = events[event].answers;
            if (answers < 0 || answers >= static_cast<int>(target.sendings.size())) return -1;
            for (std::size_t j = 0; j < c.records.size(); ++j)
                if (target.sendings[answers].bytes == c.records[j]) return static_cast<int>(j);
            return -1;
        };
        // Where every answer arrives twice, a move may rest on the echo of an earlier answer: the count
        // of answers then comes out one too many, and the transfer fails. Only a success must rest on
        // the target's own answers throughout.
        const bool echoes = s.behaviour.echoMs >= 0;
        std::set<std::size_t> used;
        for (std::size_t k = 0; k < sendings.size() && (!echoes || console.ending == Ending::Done); ++k) {
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
        check(anyBetween(evidenceOf(c, events, wire::RESTARTED), after, events.size()),
              "restart claimed without a 0x77 delivered");
    }

    // A clean wire: nothing but prompt answers, each arriving once, with the codes of the target's
    // table. Then the program's verdict is the target's. (A code outside the table is another device's
    // as far as the program can tell: it sends the record again and leaves the sending owed.)
    const auto ownCode = [](const TargetAnswer& a) {
        return a.code == TARGET_CHECKSUM || a.code == TARGET_SILENT || wire::isRecordCode(a.code);
    };
    const bool ownCodes = ownCode(c.otherSendings) &&
                          std::all_of(c.overrides.begin(), c.overrides.end(), [&](const Override& o) { return ownCode(o.answer); });
    const bool clean = s.strays.empty() && s.outputVanishesAfter < 0 && s.inputVanishesAfter < 0 &&
                       !s.sendsNeverFinish && s.targetInput >= 0 && answersInside(c) && s.behaviour.echoMs < 0 &&
                       !s.behaviour.foreignBehind;
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

    }
    if (clean && transferred && ownCodes) {
        // Sending by sending, the program acts on exactly what the target answered: the next record
        // after "record OK", the same record again after anything else, and it gives up only after
        // twenty failures in a row, with the ending the last answer calls for.
        const std::vector<int>& answers = *c.recordAnswers;
        check(answers.size() == sendings.size(), "on a clean wire, the target did not receive every sending whole");
        int failuresInARow = 0;
        for (std::size_t k = 0; k < sendings.size(); ++k) {
            const int code = answers[k] == TARGET_CHECKSUM ? wire::WRITTEN : answers[k];
            const bool last = k + 1 == sendings.size();
            const std::string which = "sending " + std::to_string(k) + " (record " + std::to_string(sendings[k].record) + ")";
            failuresInARow = code == wire::WRITTEN || code == wire::RESTARTED ? 0 : failuresInARow + 1;
            check(failuresInARow <= static_cast<int>(wire::FAILURES_IN_A_ROW), "on a clean wire, more failures in a row than the limit");
            if (code == wire::RESTARTED) {
                check(last && console.ending == Ending::Restarted, "on a clean wire, " + which + " answered 0x77 but the transfer went on");
            } else if (code == wire::WRITTEN) {
                if (last)
                    check(console.ending == Ending::Done && sendings[k].record == static_cast<int>(c.records.size()) - 1,
                          "on a clean wire, " + which + " was accepted but the transfer stopped");
                else
                    check(sendings[k + 1].record == sendings[k].record + 1,
                          "on a clean wire, " + which + " was accepted but not followed by the next record");
            } else if (last) {
                // A sending the target never answers looks, to the program, like one whose answer is
                // still to come: a refusal after it is taken for that answer, late, and the program
                // waits for the latest sending's own instead of sending the record again. Its twentieth
                // failure may then be a wait that ran out.
                bool silenceBefore = false;
                for (std::size_t j = k + 1 - static_cast<std::size_t>(failuresInARow); j < k; ++j)
                    silenceBefore = silenceBefore || answers[j] == TARGET_SILENT;
                const Ending expected = code == TARGET_SILENT ? Ending::Silent : Ending::GaveUp;
                const bool endingFits = console.ending == expected || (silenceBefore && console.ending == Ending::Silent);
                check(failuresInARow == static_cast<int>(wire::FAILURES_IN_A_ROW) && endingFits,
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
    watchRun(&c, &transcript);
    // FUZZ_RECEIVE_SHOW=1 prints each world and its console: for reading what a saved input does.
    static const bool show = std::getenv("FUZZ_RECEIVE_SHOW") != nullptr;
    if (show) std::fprintf(stderr, "%s\n--- console\n%s\n", describe(c).c_str(), printable(transcript).c_str());
    checkRun(c, transcript);
    watchRun(nullptr, nullptr);
    return 0;
}
