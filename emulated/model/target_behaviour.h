// The emulated target's behaviour, in one language whatever drives it: the words of zentravox-target's
// options. The same words come from its command line, from the emulated winmm.dll's scenario file (one
// option a line) and from the scenario tests; records count from 1 everywhere, as the target's log
// shows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulated/model/target_model.h"

struct TargetRefusal {
    int record;      // from 1
    int code;        // a reply code or TARGET_SILENT
    int sendings;    // how many of the record's sendings are refused; 0: every one
};

struct TargetLateness {
    int record;      // from 1
    unsigned ms;     // the answer's delay instead of --delay
    int sendings;    // how many of the record's sendings; 0: every one
};

struct TargetBehaviour {
    int handshakeCode = 0x43;           // or TARGET_SILENT
    int handshakeDelayMs = -1;          // -1: as delayMs
    std::vector<TargetRefusal> refusals;
    std::vector<TargetLateness> latenesses;
    int refuseEvery = 0;                // every N-th whole record received is refused ...
    int refuseEveryCode = 0;            // ... with this code
    int silentFrom = 0;                 // no answer from this record on (0: never)
    int restartAfter = 0;               // this record, when sound, is answered 77 (0: never)
    unsigned delayMs = 0;
    long exitAfter = 0;                 // the target leaves when this message arrives (0: never)
    // Traffic besides the answers.
    int pad = 0;                        // every answer this many bytes long: F0, code, zeros, F7
    int flood = 0;                      // short channel messages after each data message
    int garbage = 0;                    // system-exclusive messages that are no answer, after each data message
    int broken = 0;                     // system-exclusive messages cut short, after each data message
    bool loneF0 = false;                // a one-byte message before each handshake answer
    // How the answers travel.
    unsigned jitterMs = 0;              // each answer is up to this much later still, at random ...
    std::uint32_t jitterSeed = 1;       // ... from this seed
    int echoMs = -1;                    // every answer arrives again this long after itself (0: together); -1: never
    bool realTimeInside = false;        // real-time bytes inside every answer: F0 F8 CODE FE F7
    bool foreignBehind = false;         // another device's SysEx right behind every answer, in one delivery
    unsigned burstMs = 0;               // what is due leaves in bunches, every this many ms (0: each as it comes due)
};

// Long enough for a padded reply, short enough to travel in one JACK cycle with room to spare.
constexpr int MAX_PADDED_REPLY = 4000;
constexpr int MAX_EXTRA_TRAFFIC = 1000;

// The options that describe behaviour, for a getopt_long table: names, whether they take a value, and
// their help lines. Values of `id` are the ones applyBehaviourOption takes.
struct BehaviourOption {
    const char* name;
    bool takesValue;
    int id;
    const char* help;
};
extern const std::vector<BehaviourOption> BEHAVIOUR_OPTIONS;

// Applies one option by its id; false, with what was wrong in `error`, when the value is not understood.
bool applyBehaviourOption(int id, const std::string& value, TargetBehaviour& behaviour, std::string& error);

// Applies one option by its name ("--refuse"); false, with `error`, for an unknown name or a bad value.
bool applyBehaviourWord(const std::string& option, const std::string& value, TargetBehaviour& behaviour,
                        std::string& error);
// Whether the option of that name ("--lone-f0") takes a value; false for unknown names too.
bool behaviourWordTakesValue(const std::string& option);

// Reads a whole list of words (e.g. "--refuse 3:20 --delay 700"); false with `error` on the first one
// not understood.
bool parseBehaviourWords(const std::vector<std::string>& words, TargetBehaviour& behaviour, std::string& error);

// The help lines for the behaviour options, each ending in a line feed.
std::string behaviourHelp();

// The model's script for this behaviour. The script keeps its own count of records received, for
// --refuse-every.
TargetScript scriptFor(const TargetBehaviour& behaviour);

// What the target sends when `message` arrives: its answers from the model, and the traffic the
// behaviour adds, each with its delay, in the order they leave.
struct TargetOutgoing {
    std::vector<std::uint8_t> bytes;
    unsigned delayMs;
    int answers;                        // as TargetReply::answers; TARGET_NOT_AN_ANSWER for extra traffic
    bool withPrevious = false;          // leaves together with the message before it, in one delivery
};
constexpr int TARGET_NOT_AN_ANSWER = -2;
void targetRespond(const TargetBehaviour& behaviour, TargetModel& model, const std::uint8_t* message,
                   std::size_t length, std::vector<TargetOutgoing>& outgoing);

// The target's one line out: what it sends leaves in turn, a late message holding up those behind it,
// each holding the line `spacingMs` (a 3-byte message takes about 1 ms of a MIDI cable; a JACK port
// takes no time of its own). With --burst, what has come due leaves in bunches, each in one delivery.
struct TargetLine {
    std::uint64_t lastDueMs = 0;
    bool used = false;
};
// When `message`, sent `message.delayMs` after `nowMs`, leaves: in ms on the clock of the target's
// start. Call in the order the messages leave.
std::uint64_t targetLineDue(const TargetBehaviour& behaviour, TargetLine& line, std::uint64_t nowMs,
                            const TargetOutgoing& message, unsigned spacingMs);
