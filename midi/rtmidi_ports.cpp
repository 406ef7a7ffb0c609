// Port lists on RtMidi, the ALSA sequencer's ports first, then JACK's.
#include "midi/rtmidi_ports.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "midi/rtmidi_jack_link.h"
#include "midi/rtmidi_quiet.h"

namespace rtmidi_backend {

namespace {

struct PortList {
    bool taken = false;
    std::vector<PortEntry> ports;
};

std::mutex listMutex;   // the program's thread only; never held while RtMidi's thread may wait on it
PortList inputList;
PortList outputList;

// Every client of this process is named under one prefix, so its own ports are told from the others.
const std::string& ownPrefix() {
    static const std::string prefix = "update-" + std::to_string(getpid()) + "-";
    return prefix;
}

bool isOwnPort(const std::string& name) { return name.compare(0, ownPrefix().size(), ownPrefix()) == 0; }

std::vector<RtMidi::Api> apisInOrder() {
    std::vector<RtMidi::Api> apis;
#if defined(UPDATE_RTMIDI_ALSA)
    apis.push_back(RtMidi::LINUX_ALSA);
#endif
#if defined(UPDATE_RTMIDI_JACK)
    apis.push_back(RtMidi::UNIX_JACK);
#endif
    return apis;
}

template <class Lister>
void appendPorts(RtMidi::Api api, std::vector<PortEntry>& list) {
    std::atomic<bool> failed{false};
    const std::unique_ptr<Lister> lister = makeQuietly<Lister>(api, newClientName("list"), failed);
    if (!lister) return;   // this system does not run here
    const unsigned count = lister->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        const std::string name = lister->getPortName(i);
        if (!name.empty() && !isOwnPort(name)) list.push_back(PortEntry{api, name});
    }
}

// JACK's ports are listed by our own watcher, in the order RtMidi would list them: RtMidi's JACK objects
// leak their queue when no server answers, and each would cost a client of its own.
void appendJackPorts(bool inputs, std::vector<PortEntry>& list) {
    std::vector<std::string> names;
    if (!jackPortNames(inputs, newClientName("watch"), names)) return;   // no server runs here
    for (const std::string& name : names)
        if (!name.empty() && !isOwnPort(name)) list.push_back(PortEntry{RtMidi::UNIX_JACK, name});
}

std::vector<PortEntry> listPorts(bool inputs) {
    ensureQuiet();
    std::vector<PortEntry> list;
    for (const RtMidi::Api api : apisInOrder()) {
        if (api == RtMidi::UNIX_JACK) {
            appendJackPorts(inputs, list);
        } else if (inputs) {
            appendPorts<RtMidiIn>(api, list);
        } else {
            appendPorts<RtMidiOut>(api, list);
        }
    }
    return list;
}

}  // namespace

std::string newClientName(const char* role) {
    static std::atomic<unsigned> serial{0};
    return ownPrefix() + role + std::to_string(++serial);
}

// The ALSA sequencer's names read "client:port client-number:port-number", and cut to 31 characters
// the useful part is often lost ("Emulated product:Emulated produ" for both directions). The numbers
// go; then, when "client:port" is still too long, the port's own name: the one a device gives its jack.
std::string shownPortName(RtMidi::Api api, const std::string& whole) {
    if (api != RtMidi::LINUX_ALSA) return whole;
    std::string name = whole;
    const std::size_t space = name.find_last_of(' ');
    if (space != std::string::npos) {
        const std::string numbers = name.substr(space + 1);
        const std::size_t colon = numbers.find(':');
        if (colon != std::string::npos && colon > 0 && colon + 1 < numbers.size() &&
            numbers.find_first_not_of("0123456789:") == std::string::npos)
            name.erase(space);
    }
    const std::size_t colon = name.find(':');
    if (name.size() > MIDI_NAME_SIZE - 1 && colon != std::string::npos && colon + 1 < name.size())
        name.erase(0, colon + 1);
    return name;
}

bool listedName(bool inputs, int index, bool inUse, char (&name)[MIDI_NAME_SIZE]) {
    PortList& list = inputs ? inputList : outputList;
    std::lock_guard<std::mutex> lock(listMutex);
    if (!list.taken || (index == 0 && !inUse)) {
        list.ports = listPorts(inputs);
        list.taken = true;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= list.ports.size()) return false;
    const PortEntry& entry = list.ports[static_cast<std::size_t>(index)];
    const std::string shown = shownPortName(entry.api, entry.name);
    const std::size_t length = std::min<std::size_t>(shown.size(), MIDI_NAME_SIZE - 1);
    std::memcpy(name, shown.data(), length);
    name[length] = '\0';
    return true;
}

bool listedEntry(bool inputs, int index, PortEntry& entry) {
    PortList& list = inputs ? inputList : outputList;
    std::lock_guard<std::mutex> lock(listMutex);
    if (!list.taken) {
        list.ports = listPorts(inputs);
        list.taken = true;
    }
    if (index < 0 || static_cast<std::size_t>(index) >= list.ports.size()) return false;
    entry = list.ports[static_cast<std::size_t>(index)];
    return true;
}

void forgetLists() {
    std::lock_guard<std::mutex> lock(listMutex);
    inputList = PortList{};
    outputList = PortList{};
}

bool currentIndex(RtMidi& rt, const std::string& name, unsigned& index) {
    const unsigned count = rt.getPortCount();
    for (unsigned i = 0; i < count; ++i) {
        if (rt.getPortName(i) == name) {
            index = i;
            return true;
        }
    }
    return false;
}

}  // namespace rtmidi_backend
