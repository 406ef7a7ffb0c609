#include "emulated/target/zentravox_target_jack.h"

#include <chrono>
#include <thread>

namespace zentravox_target {

namespace {

void noteServerGone(void* context) { static_cast<JackAnswerPort*>(context)->serverGone.store(true); }

void silentJack(const char*) {}

}  // namespace

void silenceJack() {
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
}

JackOpened openAnswerPort(JackAnswerPort& answer, const std::string& clientName, const std::string& portName) {
    jack_status_t status{};
    answer.client = jack_client_open(clientName.c_str(),
                                     static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), &status);
    if (answer.client == nullptr) {
        if ((status & JackNameNotUnique) != 0) return JackOpened::NAME_TAKEN;
        return (status & JackServerFailed) != 0 ? JackOpened::NO_SERVER : JackOpened::FAILED;
    }
    jack_on_shutdown(answer.client, noteServerGone, &answer);
    if (!jackOutputOpen(answer.output, answer.client, portName.c_str()) || jack_activate(answer.client) != 0) {
        closeAnswerPort(answer);
        return JackOpened::FAILED;
    }
    return JackOpened::OPENED;
}

// Closing the client joins its process thread; only then may the queue go.
void closeAnswerPort(JackAnswerPort& answer) {
    if (answer.client != nullptr) jack_client_close(answer.client);
    answer.client = nullptr;
    jackOutputFree(answer.output);
}

bool jackClientExists(JackAnswerPort& answer, const std::string& name) {
    char* uuid = jack_get_uuid_for_client_name(answer.client, name.c_str());
    if (uuid == nullptr) return false;
    jack_free(uuid);
    return true;
}

// The server publishes new ports to the other clients at a cycle's boundary, later still when it is
// late: "ready" is said only once every client can find both ports by name.
bool portsVisible(JackAnswerPort& answer, std::initializer_list<std::string> names) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        bool all = true;
        for (const std::string& name : names) all = all && jack_port_by_name(answer.client, name.c_str()) != nullptr;
        if (all) return true;
        if (std::chrono::steady_clock::now() > giveUp || answer.serverGone.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// What comes due together leaves in one cycle, as it would in one delivery of a USB MIDI interface. A
// server busy with a client that died may hold its cycles for seconds; the answers wait meanwhile.
bool jackAnswer(JackAnswerPort& answer, const std::vector<std::vector<std::uint8_t>>& messages,
                const std::function<bool()>& stopping) {
    std::vector<const std::uint8_t*> starts;
    std::vector<std::size_t> lengths;
    for (const std::vector<std::uint8_t>& message : messages) {
        if (message.empty()) continue;
        starts.push_back(message.data());
        lengths.push_back(message.size());
    }
    while (!starts.empty() && !jackOutputQueueTogether(answer.output, starts.data(), lengths.data(), starts.size())) {
        if (answer.serverGone.load() || stopping()) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

}  // namespace zentravox_target
