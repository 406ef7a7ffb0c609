#include "protocol/discovery.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "midi/port_pair.h"
#include "midi/sysex.h"
#include "protocol/wire.h"

static_assert(MAX_PORTS_PER_KIND <= MIDI_MAX_OPEN_PORTS, "every port looked at is held open at once");

namespace {

// Ports are numbered without gaps: counting stops at the first index that does not exist.
int countPorts(bool (*portName)(int, char (&)[MIDI_NAME_SIZE])) {
    char name[MIDI_NAME_SIZE];
    int count = 0;
    while (count < MAX_PORTS_PER_KIND && portName(count, name)) ++count;
    return count;
}

struct Search {
    std::uint8_t expected;
    std::array<int, MAX_PORTS_PER_KIND> outputs;   // the indices of the outputs that opened, in order
    int outputCount;
    int lowestInput;                               // the lowest input that opened
    std::uint32_t now;                             // ms of polls since the search began
    // What the handshakes drew: an answer per input (its code, 0 for none), and the first one's time.
    std::array<std::uint8_t, MAX_PORTS_PER_KIND> answeredWith;
    bool answered;
    std::uint32_t firstAnswerAt;
    std::uint32_t lastAnswerAt;
    std::uint32_t answersHeard;                    // every answer, on any input, over the search
};

void pause(Search& search) {
    platformSleep(POLL_INTERVAL_MS);
    search.now += POLL_INTERVAL_MS;
}

bool isAnswer(const Search& search, std::uint8_t code) { return code == search.expected || code == REPLY_RESET_NEEDED; }

// Takes what has arrived. An answer is one of the two codes a target answers a handshake with; anything
// else (another device's message, the handshake itself coming back through a thru port) is none.
void listen(Search& search) {
    ReceivedMessage message;
    while (takeMessage(message)) {
        const std::uint8_t code = message.bytes[1];
        if (!isAnswer(search, code) || message.input < 0 || message.input >= MAX_PORTS_PER_KIND) continue;
        if (search.answeredWith[message.input] == 0) search.answeredWith[message.input] = code;
        if (!search.answered) search.firstAnswerAt = search.now;
        search.answered = true;
        search.lastAnswerAt = search.now;
        ++search.answersHeard;
    }
}

void forgetAnswers(Search& search) {
    search.answeredWith.fill(0);
    search.answered = false;
}

// Listens until `until` (ms), or until an answer has come: on any input (ANY_INPUT), on the input with
// that index, or never (NO_INPUT: the whole wait).
constexpr int ANY_INPUT = -1;
constexpr int NO_INPUT = -2;
void listenUntil(Search& search, std::uint32_t until, int answerOn) {
    const auto heard = [&] {
        if (answerOn == ANY_INPUT) return search.answered;
        return answerOn >= 0 && search.answeredWith[answerOn] != 0;
    };
    listen(search);
    while (search.now < until && !heard()) {
        pause(search);
        listen(search);
    }
}

// Lets the inputs that have just opened deliver whatever they held, then drops it: answers to
// handshakes sent before this search must never select a pair. The quiet polls must come in a row:
// held answers may pour out in bursts with gaps between them.
void letInputsSettle() {
    int quietPolls = 0;
    for (int poll = 0; poll < INPUT_SETTLE_LIMIT_POLLS && quietPolls < INPUT_QUIET_POLLS; ++poll) {
        ReceivedMessage dropped;
        bool anything = false;
        while (takeMessage(dropped)) anything = true;
        quietPolls = anything ? 0 : quietPolls + 1;
        platformSleep(POLL_INTERVAL_MS);
    }
    clearReplyMailbox();
}

void sendHandshake(int output) {
    const std::array<std::uint8_t, identToken.size()> payload = identToken;
    // A failed send simply goes unanswered.
    sendSysExTo(output, payload.data(), static_cast<std::uint16_t>(payload.size()));
}

// How long after a handshake its answer is waited for: as long again as the target took to answer the
// first one, and a margin, so that no answer to a handshake ever lands in the wait for the next.
std::uint32_t answerWindow(std::uint32_t lateness) { return lateness + std::max(lateness, ANSWER_WINDOW_MARGIN_MS); }

// The handshake goes out on every output at once, up to four times 500 ms, while every input
// listens: the inputs that answer are the target's. Returns the number of rounds sent; 0 when no
// output took part.
// The first round's handshake goes out on the first output alone for a moment: a prompt target behind it
// answers before the others go out, and that answer can be no other output's. One more handshake there
// tells it from another device's message that happened to come just then.
int handshakeEveryOutput(Search& search, bool& firstOutputAlone, std::uint32_t& everyOutputAt) {
    firstOutputAlone = false;
    everyOutputAt = 0;
    for (int round = 1; round <= HANDSHAKES_PER_PAIR; ++round) {
        const std::uint32_t sentAt = search.now;
        int sent = 0;
        if (round == 1 && search.outputCount > 1) {
            sendHandshake(search.outputs[sent++]);
            listenUntil(search, sentAt + FIRST_OUTPUT_ALONE_MS, ANY_INPUT);
            if (search.answered) {
                const std::uint32_t lateness = search.firstAnswerAt - sentAt;
                forgetAnswers(search);
                sendHandshake(search.outputs[0]);
                listenUntil(search, search.now + answerWindow(lateness), ANY_INPUT);
                firstOutputAlone = search.answered;
                if (firstOutputAlone) return round;
            }
        }
        if (round == 1) everyOutputAt = search.now;
        for (int i = sent; i < search.outputCount; ++i) sendHandshake(search.outputs[i]);
        listenUntil(search, sentAt + HANDSHAKE_WAIT_POLLS * POLL_INTERVAL_MS, ANY_INPUT);
        if (search.answered) return round;
    }
    return HANDSHAKES_PER_PAIR;
}

int lowestAnsweringInput(const Search& search) {
    for (int input = 0; input < MAX_PORTS_PER_KIND; ++input)
        if (search.answeredWith[input] != 0) return input;
    return -1;
}

// Sends the handshake on one output and listens a window long: which inputs answered (a bit each), or
// stops as soon as `enough` has.
std::uint32_t probeOutput(Search& search, int output, std::uint32_t window, int enough) {
    forgetAnswers(search);
    sendHandshake(output);
    listenUntil(search, search.now + window, enough);
    std::uint32_t answered = 0;
    for (int input = 0; input < MAX_PORTS_PER_KIND; ++input)
        if (search.answeredWith[input] != 0) answered |= 1u << input;
    return answered;
}

// Listens until no answer has come for `window` ms in a row (at most the rounds' length again): what is
// still owed to the handshakes sent so far has had its time.
void listenUntilQuiet(Search& search, std::uint32_t window) {
    const std::uint32_t giveUpAt = search.now + HANDSHAKES_PER_PAIR * HANDSHAKE_WAIT_POLLS * POLL_INTERVAL_MS;
    std::uint32_t quietSince = search.now;
    std::uint32_t heard = search.answersHeard;
    while (search.now - quietSince < window && search.now < giveUpAt) {
        pause(search);
        listen(search);
        if (search.answersHeard == heard) continue;
        heard = search.answersHeard;
        quietSince = search.now;
    }
}

// A pair's answer once more, once the input has been quiet for as long as any handshake's answer is
// waited for: whatever was owed to the handshakes before has come, and the answer can only be this
// handshake's own.
bool confirmPair(Search& search, int input, int output, std::uint32_t window, std::uint8_t& code) {
    listenUntilQuiet(search, std::max<std::uint32_t>(window, HANDSHAKE_WAIT_POLLS * POLL_INTERVAL_MS));
    probeOutput(search, output, window, input);
    code = search.answeredWith[input];
    return code != 0;
}

// With the inputs that answered known, the pair is the lowest of them with the lowest output whose own
// handshake is answered there, as a search pair by pair would find it. The outputs are tried one by
// one, and each answer is confirmed. When a confirmation goes unanswered, the target is slower than it
// seemed, and the outputs are tried again with waits twice as long.
bool findPair(Search& search, std::uint32_t candidates, std::uint32_t lateness, int& input, int& output,
              std::uint8_t& code) {
    // No answer later than the rounds themselves last is waited for.
    constexpr std::uint32_t LATEST = HANDSHAKES_PER_PAIR * HANDSHAKE_WAIT_POLLS * POLL_INTERVAL_MS;
    for (int attempt = 0; attempt < OUTPUT_SEARCH_ATTEMPTS;
         ++attempt, lateness = std::min(LATEST, 2 * lateness + ANSWER_WINDOW_MARGIN_MS)) {
        const std::uint32_t window = answerWindow(lateness);
        std::array<std::uint32_t, MAX_PORTS_PER_KIND> answeredOn{};
        int lowest = 0;
        while ((candidates & (1u << lowest)) == 0) ++lowest;
        bool slower = false;
        for (int i = 0; i < search.outputCount && !slower; ++i) {
            answeredOn[i] = probeOutput(search, search.outputs[i], window, lowest) & candidates;
            if ((answeredOn[i] & (1u << lowest)) == 0) continue;
            input = lowest;
            output = search.outputs[i];
            if (confirmPair(search, input, output, window, code)) return true;
            slower = true;
        }
        // The lowest input answered no output alone: the next that did, by its lowest output.
        for (int next = lowest + 1; next < MAX_PORTS_PER_KIND && !slower; ++next) {
            for (int i = 0; i < search.outputCount; ++i) {
                if ((answeredOn[i] & (1u << next)) == 0) continue;
                input = next;
                output = search.outputs[i];
                if (confirmPair(search, input, output, window, code)) return true;
                slower = true;
                break;
            }
        }
    }
    return false;
}

std::uint8_t outcomeOf(const Search& search, std::uint8_t code) {
    return code == search.expected ? DEVICE_READY : REPLY_RESET_NEEDED;
}

std::uint8_t searchOpenPorts(Search& search, HandshakeAnswers& answers) {
    bool firstOutputAlone = false;
    std::uint32_t everyOutputAt = 0;
    const int rounds = handshakeEveryOutput(search, firstOutputAlone, everyOutputAt);
    if (!search.answered) return DEVICE_NOT_FOUND;
    // The first answer answers the first handshake the target received.
    std::uint32_t lateness = search.firstAnswerAt - everyOutputAt;
    if (search.outputCount == 1 || firstOutputAlone) {
        // One output, or the first alone, answered: the pair is known, once no lower input is left to
        // answer too. The target answers in turn: what came answered the oldest handshake, and the later
        // ones may still be answered.
        if (lowestAnsweringInput(search) != search.lowestInput)
            listenUntil(search, search.now + ANSWER_WINDOW_MARGIN_MS, search.lowestInput);
        const int input = lowestAnsweringInput(search);
        keepMidiInOnly(input);
        keepMidiOutOnly(search.outputs[0]);
        answers.owed = rounds - 1;
        answers.lateMs = lateness;
        return outcomeOf(search, search.answeredWith[input]);
    }
    // Every other input that answers is heard, and the answers still owed to the rounds are let come.
    // Their times tell how much the target's pace varies: the last came at most this late for the last
    // round.
    const std::uint32_t lastRoundAt =
        rounds == 1 ? everyOutputAt : static_cast<std::uint32_t>(rounds - 1) * HANDSHAKE_WAIT_POLLS * POLL_INTERVAL_MS;
    listenUntil(search, std::max(search.now, lastRoundAt) + answerWindow(lateness), NO_INPUT);
    lateness = std::max(lateness, search.lastAnswerAt - lastRoundAt);
    std::uint32_t candidates = 0;
    for (int in = 0; in < MAX_PORTS_PER_KIND; ++in) {
        if (search.answeredWith[in] != 0) candidates |= 1u << in;
        // Inputs that never answered are of no more use.
        else if (midiInIsOpen(in)) closeMidiInOnly(in);
    }
    int input = -1;
    int output = -1;
    std::uint8_t code = 0;
    if (!findPair(search, candidates, lateness, input, output, code)) return DEVICE_NOT_FOUND;
    // The confirmation was the one handshake sent since the input fell quiet, and it has its answer:
    // nothing is owed.
    keepMidiInOnly(input);
    keepMidiOutOnly(output);
    answers.owed = 0;
    answers.lateMs = lateness;
    return outcomeOf(search, code);
}

}  // namespace

std::uint8_t findUpdateDevice(std::uint8_t expected, HandshakeAnswers& answers) {
    const int inCount = countPorts(platformInputName);
    const int outCount = countPorts(platformOutputName);
    answers = HandshakeAnswers{};

    Search search{};
    search.expected = expected;
    std::uint8_t outcome = DEVICE_NOT_FOUND;
    // Every input listens from the start of the search to its end: nothing the target sends is lost,
    // or held back by an interface until its input opens.
    search.lowestInput = -1;
    if (outCount > 0)
        for (int in = 0; in < inCount; ++in)
            if (openMidiIn(in) == MIDI_OK && search.lowestInput < 0) search.lowestInput = in;
    if (search.lowestInput >= 0) {
        letInputsSettle();
        for (int out = 0; out < outCount; ++out)
            if (openMidiOut(out) == MIDI_OK) search.outputs[search.outputCount++] = out;
        if (search.outputCount > 0) outcome = searchOpenPorts(search, answers);
    }
    if (outcome != DEVICE_NOT_FOUND) {
        std::printf("The Update Device is Open successfully:\n");
        std::printf("MIDIIN Device: %s\n", midiPorts.inName);
        std::printf("MIDIOUT Device: %s\n", midiPorts.outName);
        return outcome;
    }
    // Said first: closing twenty ports of a MIDI server takes a while.
    std::printf("\nFailed: Can't find the suitable device to update!\n\n");
    std::fflush(stdout);
    closeMidiIn();
    closeMidiOut();
    return outcome;
}
