#include "emulated/target/zentravox_target_jack.h"

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "emulated/target/zentravox_target.h"
#include "jackmidi/jack_midi_output.h"

namespace zentravox_target {

struct JackAnswerPort {
    jack_client_t* client = nullptr;
    JackMidiOutput output;
    std::atomic<bool> serverGone{false};
};

namespace {

enum class JackOpened { OPENED, NO_SERVER, NAME_TAKEN, FAILED };

void noteServerGone(void* context) { static_cast<JackAnswerPort*>(context)->serverGone.store(true); }

void silentJack(const char*) {}

// Closing the client joins its process thread; only then may the queue go.
void closeClient(JackAnswerPort& answer) {
    if (answer.client != nullptr) jack_client_close(answer.client);
    answer.client = nullptr;
    jackOutputFree(answer.output);
}

// The client takes exactly `clientName`: JACK would otherwise quietly rename it.
JackOpened openClient(JackAnswerPort& answer, const std::string& clientName, const std::string& portName) {
    jack_status_t status{};
    answer.client = jack_client_open(clientName.c_str(),
                                     static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), &status);
    if (answer.client == nullptr) {
        if ((status & JackNameNotUnique) != 0) return JackOpened::NAME_TAKEN;
        return (status & JackServerFailed) != 0 ? JackOpened::NO_SERVER : JackOpened::FAILED;
    }
    jack_on_shutdown(answer.client, noteServerGone, &answer);
    if (!jackOutputOpen(answer.output, answer.client, portName.c_str()) || jack_activate(answer.client) != 0) {
        closeClient(answer);
        return JackOpened::FAILED;
    }
    return JackOpened::OPENED;
}

bool jackClientExists(JackAnswerPort& answer, const std::string& name) {
    char* uuid = jack_get_uuid_for_client_name(answer.client, name.c_str());
    if (uuid == nullptr) return false;
    jack_free(uuid);
    return true;
}

}  // namespace

void silenceJack() {
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
}

// RtMidi opens the listening client without asking for its exact name: that name is checked to be free
// here, once the answering client holds its own.
JackAnswerPort* openAnswerPort(const std::string& inClient, const std::string& outClient, const std::string& portName) {
    auto answer = std::make_unique<JackAnswerPort>();
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    const JackOpened opened = openClient(*answer, outClient, portName);
    std::string taken = opened == JackOpened::NAME_TAKEN ? outClient : "";
    if (opened == JackOpened::OPENED && jackClientExists(*answer, inClient)) {
        closeClient(*answer);
        taken = inClient;
    }
    if (!taken.empty()) {
        fail("a JACK client named '" + taken + "' already exists (another " + PROGRAM +
             "?); choose another name with --client");
        return nullptr;
    }
    if (opened == JackOpened::NO_SERVER) {
        fail(std::string("no JACK server answers (JACK_DEFAULT_SERVER=") + (server ? server : "default") +
             "); start one, e.g. scripts/jack-server.sh start NAME, and set JACK_DEFAULT_SERVER=NAME");
        return nullptr;
    }
    if (opened != JackOpened::OPENED) {
        fail("cannot open the JACK client '" + outClient + "'");
        return nullptr;
    }
    return answer.release();
}

void closeAnswerPort(JackAnswerPort*& answer) {
    if (answer == nullptr) return;
    closeClient(*answer);
    delete answer;
    answer = nullptr;
}

bool jackServerGone(JackAnswerPort& answer) { return answer.serverGone.load(); }

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
