#include "emulated/world/sim_world.h"

#include "emulated/world/timed_sender.h"
#include "timing/precise_sleep.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

struct SimInput {
    bool open = false;
    bool started = false;
    SimInputSink sink = nullptr;
    void* context = nullptr;
};

struct SimOutput {
    bool open = false;
    int busyPolls = 0;
    bool pending = false;     // a message is still going out: the output takes no other
    bool stalled = false;     // ... and it never finishes on its own
};

struct Pending {
    std::uint64_t dueMs;
    std::uint64_t order;      // keeps messages due at the same moment in the order they were sent
    int input;
    std::vector<std::uint8_t> bytes;
    bool sysex;
    int answers;
};

struct World {
    SimScenario scenario;
    TargetModel target;
    std::vector<SimInput> inputs;
    std::vector<SimOutput> outputs;
    std::vector<Pending> pending;
    std::vector<Pending> held;    // what the target's closed input holds
    std::vector<SimEvent> events;
    std::string calls;
    std::uint64_t virtualNowMs = 0;
    std::uint64_t nextOrder = 0;
    long messagesToTarget = 0;
    long sends = 0;
    TargetLine line;          // the target answers over one line, in order
    bool targetOutputGone = false;
    bool targetInputGone = false;
    // Real-time mode only.
    std::chrono::steady_clock::time_point epoch;
    int deliveringTo = -1;    // the input whose sink is running right now
};

std::mutex worldMutex;
std::condition_variable worldChanged;
World world;
// What is on its way to the program in a real-time world: delivered by the sender's thread as the
// clock reaches it. Only ever locked after worldMutex, or alone.
TimedSender<Pending> realTimeSender;

using Lock = std::unique_lock<std::mutex>;

std::uint64_t nowUs() {
    if (!world.scenario.realTime) return world.virtualNowMs * 1000;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - world.epoch)
                                          .count());
}

std::uint64_t nowMs() { return world.scenario.realTime ? nowUs() / 1000 : world.virtualNowMs; }

void logEvent(SimEventKind kind, int port, const std::uint8_t* bytes = nullptr, std::size_t length = 0,
              int answers = SIM_STRAY) {
    const std::uint64_t us = nowUs();
    world.events.push_back(
        SimEvent{kind, port, us / 1000, us, std::vector<std::uint8_t>(bytes, bytes + length), answers});
}

void logCall(const char* call, int port) {
    if (!world.calls.empty()) world.calls += ' ';
    world.calls += call;
    world.calls += std::to_string(port);
}

void schedule(int input, std::vector<std::uint8_t> bytes, bool sysex, std::uint64_t dueMs, int answers = SIM_STRAY) {
    Pending message{dueMs, world.nextOrder++, input, std::move(bytes), sysex, answers};
    if (world.scenario.realTime)
        timedSchedule(realTimeSender, world.epoch + std::chrono::milliseconds(dueMs), std::move(message));
    else
        world.pending.push_back(std::move(message));
}

// The earliest message that has come due, or pending.end().
std::vector<Pending>::iterator nextDue(std::uint64_t now) {
    auto best = world.pending.end();
    for (auto it = world.pending.begin(); it != world.pending.end(); ++it) {
        if (it->dueMs > now) continue;
        if (best == world.pending.end() || it->dueMs < best->dueMs ||
            (it->dueMs == best->dueMs && it->order < best->order))
            best = it;
    }
    return best;
}

bool inputReachable(int input) {
    if (input < 0 || input >= static_cast<int>(world.inputs.size())) return false;
    if (input == world.scenario.targetInput && world.targetInputGone) return false;
    return world.inputs[input].open && world.inputs[input].started;
}

// Hands one due message to its input's sink, with the world unlocked while the sink runs: the sink
// calls back into its backend, and a real driver does not hold our locks either.
void deliver(Lock& lock, Pending message) {
    const bool targetInputHolds = message.input == world.scenario.targetInput &&
                                  world.scenario.targetInputHoldsForMs >= 0 && !world.targetInputGone;
    if (!inputReachable(message.input) && targetInputHolds) {
        world.held.push_back(std::move(message));
        return;
    }
    if (!inputReachable(message.input)) {
        logEvent(SIM_LOST, message.input, message.bytes.data(), message.bytes.size(), message.answers);
        return;
    }
    logEvent(SIM_DELIVERED, message.input, message.bytes.data(), message.bytes.size(), message.answers);
    const SimInput input = world.inputs[message.input];
    world.deliveringTo = message.input;
    lock.unlock();
    input.sink(input.context, message.bytes.data(), message.bytes.size(), message.sysex);
    lock.lock();
    world.deliveringTo = -1;
    worldChanged.notify_all();
}

void deliverDue(Lock& lock) {
    for (;;) {
        auto due = nextDue(nowMs());
        if (due == world.pending.end()) return;
        Pending message = std::move(*due);
        world.pending.erase(due);
        deliver(lock, std::move(message));
    }
}

bool deliverInRealTime(std::vector<Pending>& due) {
    Lock lock(worldMutex);
    for (Pending& message : due) deliver(lock, std::move(message));
    return true;
}

bool contains(const std::vector<int>& list, int value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

bool outputExists(int index) {
    if (index < 0 || index >= world.scenario.outputs) return false;
    return !(index == world.scenario.targetOutput && world.targetOutputGone);
}

bool inputExists(int index) {
    if (index < 0 || index >= world.scenario.inputs) return false;
    return !(index == world.scenario.targetInput && world.targetInputGone);
}

std::string nameOf(bool input, int index) {
    const auto& names = input ? world.scenario.inputNames : world.scenario.outputNames;
    if (index < static_cast<int>(names.size())) return names[index];
    const bool target = input ? index == world.scenario.targetInput : index == world.scenario.targetOutput;
    if (target) return input ? "Zentravox In" : "Zentravox Out";
    return (input ? "MIDI In " : "MIDI Out ") + std::to_string(index + 1);
}

bool copyName(bool input, int index, char* name, std::size_t size) {
    Lock lock(worldMutex);
    if (!(input ? inputExists(index) : outputExists(index))) return false;
    const std::string full = nameOf(input, index);
    const std::size_t length = std::min(full.size(), size - 1);
    std::memcpy(name, full.data(), length);
    name[length] = '\0';
    return true;
}

void afterMessageToTarget(const std::uint8_t* bytes, std::size_t length) {
    const long number = ++world.messagesToTarget;
    if (world.scenario.onMessageToTarget) world.scenario.onMessageToTarget(number, std::vector<std::uint8_t>(bytes, bytes + length));
    if (world.scenario.behaviour.exitAfter == number) {
        // The target leaves as the message arrives, without answering it: its ports vanish.
        world.targetOutputGone = world.targetInputGone = true;
        return;
    }
    std::vector<TargetOutgoing> outgoing;
    targetRespond(world.scenario.behaviour, world.target, bytes, length, outgoing);
    const std::uint64_t now = nowMs();
    for (TargetOutgoing& message : outgoing) {
        // Each message takes the line for a millisecond (3 bytes at 31,250 baud, 10 bits a byte).
        const std::uint64_t due = targetLineDue(world.scenario.behaviour, world.line, now, message, 1);
        const bool sysex = !message.bytes.empty() && message.bytes[0] == 0xF0;
        for (int input : world.scenario.targetAlsoOnInputs) schedule(input, message.bytes, sysex, due, message.answers);
        schedule(world.scenario.targetInput, std::move(message.bytes), sysex, due, message.answers);
    }
    for (const SimStray& stray : world.scenario.strays)
        if (stray.trigger == SIM_AFTER_MESSAGE && stray.count == number)
            schedule(world.scenario.targetInput, stray.bytes, stray.sysex, now + stray.delayMs);
    if (world.scenario.outputVanishesAfter == number) world.targetOutputGone = true;
    if (world.scenario.inputVanishesAfter == number) world.targetInputGone = true;
}

}  // namespace

void simStart(const SimScenario& scenario) {
    timedStop(realTimeSender);
    Lock lock(worldMutex);
    world.scenario = scenario;
    TargetScript script = scriptFor(scenario.behaviour);
    if (scenario.target.onHandshake) script.onHandshake = scenario.target.onHandshake;
    if (scenario.target.onRecord) script.onRecord = scenario.target.onRecord;
    targetReset(world.target, std::move(script));
    world.inputs.assign(std::max(scenario.inputs, 0), SimInput{});
    world.outputs.assign(std::max(scenario.outputs, 0), SimOutput{});
    world.pending.clear();
    world.held.clear();
    world.events.clear();
    world.calls.clear();
    world.virtualNowMs = 0;
    world.nextOrder = 0;
    world.messagesToTarget = 0;
    world.sends = 0;
    world.line = TargetLine{};
    world.targetOutputGone = false;
    world.targetInputGone = false;
    world.deliveringTo = -1;
    world.epoch = std::chrono::steady_clock::now();
    for (const SimStray& stray : scenario.strays)
        if (stray.trigger == SIM_AT_TIME)
            schedule(scenario.targetInput, stray.bytes, stray.sysex, static_cast<std::uint64_t>(stray.count));
    if (scenario.realTime) timedStart(realTimeSender, TimedSender<Pending>::Delivery(deliverInRealTime));
}

void simStop() { timedStop(realTimeSender); }

std::vector<SimEvent> simEvents() {
    Lock lock(worldMutex);
    return world.events;
}

std::vector<std::uint8_t> simFlash() {
    Lock lock(worldMutex);
    return world.target.flash;
}

TargetModel simTargetSnapshot() {
    Lock lock(worldMutex);
    return world.target;
}

std::uint64_t simNowMs() {
    Lock lock(worldMutex);
    return nowMs();
}

int simPortsOpen() {
    Lock lock(worldMutex);
    int open = 0;
    for (const SimInput& input : world.inputs) open += input.open;
    for (const SimOutput& output : world.outputs) open += output.open;
    return open;
}

std::string simPortCalls() {
    Lock lock(worldMutex);
    return world.calls;
}

std::string simPortName(bool input, int index) {
    Lock lock(worldMutex);
    return nameOf(input, index);
}

bool simInputName(int index, char* name, std::size_t size) { return copyName(true, index, name, size); }
bool simOutputName(int index, char* name, std::size_t size) { return copyName(false, index, name, size); }

int simOpenInput(int index, SimInputSink sink, void* context) {
    Lock lock(worldMutex);
    if (!inputExists(index) || contains(world.scenario.inputsFailingToOpen, index)) return SIM_ERROR_BAD_DEVICE;
    if (world.inputs[index].open) return SIM_ERROR_ALLOCATED;
    world.inputs[index] = SimInput{true, false, sink, context};
    logCall("+i", index);
    logEvent(SIM_OPEN_IN, index);
    return 0;
}

int simStartInput(int index) {
    Lock lock(worldMutex);
    if (!inputExists(index) || !world.inputs[index].open) return SIM_ERROR_BAD_DEVICE;
    if (contains(world.scenario.inputsFailingToStart, index)) return SIM_ERROR_FAILED;
    world.inputs[index].started = true;
    if (index == world.scenario.targetInput) {
        for (Pending& message : world.held)
            schedule(index, std::move(message.bytes), message.sysex, nowMs() + world.scenario.targetInputHoldsForMs,
                     message.answers);
        world.held.clear();
    }
    return 0;
}

int simCloseInput(int index) {
    Lock lock(worldMutex);
    if (index < 0 || index >= static_cast<int>(world.inputs.size()) || !world.inputs[index].open)
        return SIM_ERROR_BAD_DEVICE;
    // A driver's close waits for a callback that is running to return.
    worldChanged.wait(lock, [&] { return world.deliveringTo != index; });
    world.inputs[index] = SimInput{};
    logCall("-i", index);
    logEvent(SIM_CLOSE_IN, index);
    return 0;
}

int simOpenOutput(int index) {
    Lock lock(worldMutex);
    if (!outputExists(index) || contains(world.scenario.outputsFailingToOpen, index)) return SIM_ERROR_BAD_DEVICE;
    if (world.outputs[index].open) return SIM_ERROR_ALLOCATED;
    world.outputs[index] = SimOutput{true, 0, false, false};
    logCall("+o", index);
    logEvent(SIM_OPEN_OUT, index);
    for (const SimStray& stray : world.scenario.strays)
        if (stray.trigger == SIM_ON_OPEN_OUTPUT && stray.count == index)
            schedule(world.scenario.targetInput, stray.bytes, stray.sysex, nowMs() + stray.delayMs);
    if (!world.scenario.realTime) deliverDue(lock);
    return 0;
}

int simSend(int index, const std::uint8_t* bytes, std::size_t length) {
    Lock lock(worldMutex);
    if (index < 0 || index >= static_cast<int>(world.outputs.size()) || !world.outputs[index].open)
        return SIM_ERROR_BAD_DEVICE;
    if (!outputExists(index)) return SIM_ERROR_BAD_DEVICE;
    SimOutput& output = world.outputs[index];
    if (output.pending) return SIM_ERROR_STILL_SENDING;
    logEvent(SIM_SENT, index, bytes, length);
    output.busyPolls = world.scenario.sendBusyPolls;
    output.pending = true;
    output.stalled = world.scenario.sendsNeverFinish || ++world.sends == world.scenario.sendStallsAt;
    if (index == world.scenario.targetOutput || contains(world.scenario.targetAlsoOnOutputs, index))
        afterMessageToTarget(bytes, length);
    for (const SimScenario::Thru& thru : world.scenario.thrus)
        if (thru.output == index) schedule(thru.input, std::vector<std::uint8_t>(bytes, bytes + length), true, nowMs());
    return 0;
}

bool simSendDone(int index) {
    Lock lock(worldMutex);
    if (index < 0 || index >= static_cast<int>(world.outputs.size())) return true;
    SimOutput& output = world.outputs[index];
    if (output.stalled) return false;
    if (output.busyPolls > 0) {
        --output.busyPolls;
        return false;
    }
    output.pending = false;
    return true;
}

void simAbandonSend(int index) {
    Lock lock(worldMutex);
    if (index < 0 || index >= static_cast<int>(world.outputs.size())) return;
    world.outputs[index].pending = false;
    world.outputs[index].stalled = false;
}

int simCloseOutput(int index) {
    Lock lock(worldMutex);
    if (index < 0 || index >= static_cast<int>(world.outputs.size()) || !world.outputs[index].open)
        return SIM_ERROR_BAD_DEVICE;
    world.outputs[index] = SimOutput{};
    logCall("-o", index);
    logEvent(SIM_CLOSE_OUT, index);
    return 0;
}

void simNoteLost(int inputIndex, const std::uint8_t* bytes, std::size_t length) {
    Lock lock(worldMutex);
    logEvent(SIM_LOST, inputIndex, bytes, length);
}

void simSleep(unsigned milliseconds) {
    Lock lock(worldMutex);
    if (world.scenario.realTime) {
        lock.unlock();
        sleepPrecisely(milliseconds);
        return;
    }
    world.virtualNowMs += milliseconds;
    deliverDue(lock);
}
