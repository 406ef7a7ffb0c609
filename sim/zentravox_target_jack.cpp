#include "sim/zentravox_target_jack.h"

#include <chrono>
#include <thread>

namespace zentravox_target {

namespace {

int countCycle(jack_nframes_t, void* context) {
    static_cast<JackPace*>(context)->cycles.fetch_add(1, std::memory_order_release);
    return 0;
}

void noteServerGone(void* context) { static_cast<JackPace*>(context)->serverGone.store(true); }

void silentJack(const char*) {}

}  // namespace

void silenceJack() {
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
}

bool openPace(JackPace& pace, const std::string& name) {
    pace.client = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (pace.client == nullptr) return false;
    jack_on_shutdown(pace.client, noteServerGone, &pace);
    if (jack_set_process_callback(pace.client, countCycle, &pace) != 0 || jack_activate(pace.client) != 0) {
        jack_client_close(pace.client);
        pace.client = nullptr;
        return false;
    }
    return true;
}

void closePace(JackPace& pace) {
    if (pace.client != nullptr) jack_client_close(pace.client);
    pace.client = nullptr;
}

bool jackClientExists(JackPace& pace, const std::string& name) {
    char* uuid = jack_get_uuid_for_client_name(pace.client, name.c_str());
    if (uuid == nullptr) return false;
    jack_free(uuid);
    return true;
}

// The server publishes new ports to the other clients at a cycle's boundary, later still when it is
// late: "ready" is said only once every client can find both ports by name.
bool portsVisible(JackPace& pace, std::initializer_list<std::string> names) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        bool all = true;
        for (const std::string& name : names) all = all && jack_port_by_name(pace.client, name.c_str()) != nullptr;
        if (all) return true;
        if (std::chrono::steady_clock::now() > giveUp || pace.serverGone.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A server busy with a client that died may hold its cycles for seconds; the answer waits meanwhile.
bool waitForCycle(JackPace& pace, std::uint64_t since, const std::function<bool()>& stopping) {
    while (pace.cycles.load(std::memory_order_acquire) <= since) {
        if (pace.serverGone.load() || stopping()) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

}  // namespace zentravox_target
