// A world of virtual MIDI ports with the emulated target behind one input/output pair. Platform
// backends (the in-process one in midi/, the emulated Windows library) translate their own API into
// these calls. Time is virtual by default: sleeping advances a clock and delivers what has come due,
// so a run of many long waits takes microseconds and is the same every time. In real-time mode a
// thread of the world's own delivers messages as the clock reaches them, as a MIDI driver would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/target_model.h"

enum SimStrayTrigger {
    SIM_AFTER_MESSAGE,    // `count` messages after the program's message number `count` to the target
    SIM_AT_TIME,          // at virtual (or real) time `count` ms
    SIM_ON_OPEN_OUTPUT,   // the moment the program opens output `count`
};

// A message the target's side sends on its own, not as an answer.
struct SimStray {
    SimStrayTrigger trigger;
    long count;
    unsigned delayMs;
    std::vector<std::uint8_t> bytes;
    bool sysex = true;    // false: a short (channel) message
};

struct SimScenario {
    int inputs = 1;
    int outputs = 1;
    std::vector<std::string> inputNames;    // empty: "MIDI In 1"..., the target's "Zentravox In"
    std::vector<std::string> outputNames;
    int targetInput = 0;          // -1: no target anywhere
    int targetOutput = 0;
    TargetScript target;
    std::vector<SimStray> strays;
    std::vector<int> inputsFailingToOpen;
    std::vector<int> inputsFailingToStart;
    std::vector<int> outputsFailingToOpen;
    // The target's ports vanish right after the program's message number N to the target (from 1).
    long outputVanishesAfter = -1;
    long inputVanishesAfter = -1;
    int sendBusyPolls = 0;        // how often a send is reported as still going before it is done
    bool sendsNeverFinish = false;
    // The program's send number N (from 1, to any output) never finishes until the program gives up
    // on it; until then that output takes no other message.
    long sendStallsAt = -1;
    // Called with each message the target receives, numbered from 1, before the target acts on it.
    std::function<void(long number, const std::vector<std::uint8_t>& bytes)> onMessageToTarget;
    bool realTime = false;
};

enum SimEventKind { SIM_OPEN_IN, SIM_CLOSE_IN, SIM_OPEN_OUT, SIM_CLOSE_OUT, SIM_SENT, SIM_DELIVERED, SIM_LOST };

// What a message on its way to the program is: the target's answer to one of its logged sendings
// (an index in TargetModel::sendings), its answer to a handshake or a broken message, or a stray.
constexpr int SIM_STRAY = -2;

struct SimEvent {
    SimEventKind kind;
    int port;                           // the input or output index
    std::uint64_t timeMs;
    std::uint64_t timeUs;               // finer, for measuring a real-time world
    std::vector<std::uint8_t> bytes;    // SIM_SENT, SIM_DELIVERED, SIM_LOST
    int answers = SIM_STRAY;            // SIM_DELIVERED, SIM_LOST: a sending, TARGET_NO_SENDING or SIM_STRAY
};

// Delivers one message to an open, started input: sysex false for a short message.
using SimInputSink = void (*)(void* context, const std::uint8_t* bytes, std::size_t length, bool sysex);

constexpr int SIM_ERROR_BAD_DEVICE = 2;
constexpr int SIM_ERROR_ALLOCATED = 4;
constexpr int SIM_ERROR_FAILED = 1;
constexpr int SIM_ERROR_STILL_SENDING = 65;

// --- for tests and drivers of the world ---
void simStart(const SimScenario& scenario);   // a new world; stops the previous one
void simStop();                                // stops the delivery thread of a real-time world
std::vector<SimEvent> simEvents();
std::vector<std::uint8_t> simFlash();
TargetModel simTargetSnapshot();
std::uint64_t simNowMs();
int simPortsOpen();                             // inputs and outputs left open
// Calls in order, compactly: "+i0" open input 0, "-i0" close it, "+o1", "-o1", joined by blanks.
std::string simPortCalls();
std::string simPortName(bool input, int index);

// --- for platform backends ---
bool simInputName(int index, char* name, std::size_t size);
bool simOutputName(int index, char* name, std::size_t size);
int simOpenInput(int index, SimInputSink sink, void* context);   // 0 or a SIM_ERROR_ code
int simStartInput(int index);
// After it returns, the sink of that input is not called again.
int simCloseInput(int index);
int simOpenOutput(int index);
int simSend(int index, const std::uint8_t* bytes, std::size_t length);
bool simSendDone(int index);
void simAbandonSend(int index);
int simCloseOutput(int index);
void simNoteLost(int inputIndex, const std::uint8_t* bytes, std::size_t length);
void simSleep(unsigned milliseconds);
