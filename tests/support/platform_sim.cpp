// The platform seam on the emulated target's world of virtual ports (emulated/world/sim_world.h), for
// tests and benchmarks. Buffers behave as winmm's do: each queued buffer takes one system-exclusive
// message, the oldest first; while none is queued, arriving messages are lost.
#include <array>
#include <cstring>
#include <deque>
#include <mutex>

#include "midi/midi_platform.h"
#include "emulated/world/sim_world.h"

namespace {

constexpr int MAX_SIM_PORTS = 64;

struct SimInPort {
    MidiInputCallback callback = nullptr;
    std::deque<MidiBuffer*> queued;
};

std::mutex portsMutex;
std::array<SimInPort, MAX_SIM_PORTS> inPorts;

int indexOf(std::uintptr_t handle) { return static_cast<int>(handle) - 1; }
std::uintptr_t handleOf(int index) { return static_cast<std::uintptr_t>(index) + 1; }

MidiResult resultOf(int simResult) { return static_cast<MidiResult>(simResult); }

MidiBuffer* takeQueued(int index) {
    std::lock_guard<std::mutex> lock(portsMutex);
    std::deque<MidiBuffer*>& queued = inPorts[index].queued;
    if (queued.empty()) return nullptr;
    MidiBuffer* buffer = queued.front();
    queued.pop_front();
    return buffer;
}

MidiInputCallback callbackOf(int index) {
    std::lock_guard<std::mutex> lock(portsMutex);
    return inPorts[index].callback;
}

void receive(void* context, const std::uint8_t* bytes, std::size_t length, bool sysex) {
    const int index = static_cast<int>(reinterpret_cast<std::uintptr_t>(context));
    const MidiInputCallback callback = callbackOf(index);
    if (callback == nullptr) return;
    if (!sysex) {
        callback(handleOf(index), MIDI_INPUT_OTHER, nullptr);
        return;
    }
    MidiBuffer* buffer = takeQueued(index);
    if (buffer == nullptr) {
        simNoteLost(index, bytes, length);
        return;
    }
    const std::size_t recorded = length < buffer->capacity ? length : buffer->capacity;
    if (recorded > 0) std::memcpy(buffer->data, bytes, recorded);
    buffer->recorded = static_cast<std::uint16_t>(recorded);
    callback(handleOf(index), MIDI_INPUT_LONG_DATA, buffer);
}

}  // namespace

bool platformInputName(int index, char (&name)[MIDI_NAME_SIZE]) { return simInputName(index, name, sizeof name); }
bool platformOutputName(int index, char (&name)[MIDI_NAME_SIZE]) { return simOutputName(index, name, sizeof name); }

MidiResult platformOpenInput(int index, MidiInputCallback callback, MidiInHandle& handle) {
    if (index < 0 || index >= MAX_SIM_PORTS) return MIDI_BAD_DEVICE;
    {
        std::lock_guard<std::mutex> lock(portsMutex);
        inPorts[index] = SimInPort{callback, {}};
    }
    const int result = simOpenInput(index, receive, reinterpret_cast<void*>(static_cast<std::uintptr_t>(index)));
    if (result != 0) return resultOf(result);
    handle = handleOf(index);
    return MIDI_OK;
}

MidiResult platformQueueInputBuffer(MidiInHandle handle, MidiBuffer& buffer) {
    const int index = indexOf(handle);
    if (index < 0 || index >= MAX_SIM_PORTS) return MIDI_BAD_DEVICE;
    std::lock_guard<std::mutex> lock(portsMutex);
    std::deque<MidiBuffer*>& queued = inPorts[index].queued;
    for (const MidiBuffer* already : queued)
        if (already == &buffer) return MIDI_STILL_PLAYING;
    buffer.recorded = 0;
    queued.push_back(&buffer);
    return MIDI_OK;
}

MidiResult platformReleaseInputBuffer(MidiInHandle, MidiBuffer&) { return MIDI_OK; }

MidiResult platformStartInput(MidiInHandle handle) { return resultOf(simStartInput(indexOf(handle))); }

MidiResult platformCloseInput(MidiInHandle handle) {
    const int index = indexOf(handle);
    if (index < 0 || index >= MAX_SIM_PORTS) return MIDI_BAD_DEVICE;
    const MidiResult result = resultOf(simCloseInput(index));
    // As winmm's reset does: the queued buffers come back through the callback, nothing recorded.
    while (MidiBuffer* buffer = takeQueued(index)) {
        buffer->recorded = 0;
        if (MidiInputCallback callback = callbackOf(index)) callback(handle, MIDI_INPUT_LONG_DATA, buffer);
    }
    std::lock_guard<std::mutex> lock(portsMutex);
    inPorts[index] = SimInPort{};
    return result;
}

MidiResult platformOpenOutput(int index, MidiOutHandle& handle) {
    const int result = simOpenOutput(index);
    if (result != 0) return resultOf(result);
    handle = handleOf(index);
    return MIDI_OK;
}

MidiResult platformBeginSend(MidiOutHandle handle, const std::uint8_t* message, std::uint16_t length) {
    return resultOf(simSend(indexOf(handle), message, length));
}

MidiResult platformSendDone(MidiOutHandle handle) {
    return simSendDone(indexOf(handle)) ? MIDI_OK : MIDI_STILL_PLAYING;
}

void platformAbandonSend(MidiOutHandle handle) { simAbandonSend(indexOf(handle)); }

MidiResult platformCloseOutput(MidiOutHandle handle) { return resultOf(simCloseOutput(indexOf(handle))); }

void platformSleep(unsigned milliseconds) { simSleep(milliseconds); }

void platformStartup() {}
void platformShutdown() {}
