// The target on two ports of the ALSA sequencer or of a JACK server, made through RtMidi: NAME-in:PORT
// where it listens and NAME-out:PORT where it answers.
#include <RtMidi.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#if defined(TARGET_HAS_ALSA)
#include <alsa/asoundlib.h>
#endif
#if defined(TARGET_HAS_JACK)
#include "sim/zentravox_target_jack.h"
#endif

#include "sim/zentravox_target.h"

namespace zentravox_target {

namespace {

#if defined(TARGET_HAS_ALSA)
void silentAlsa(const char*, int, const char*, int, const char*, ...) {}
#endif

void onMessage(double, std::vector<unsigned char>* message, void* context) {
    if (message == nullptr || message->empty()) return;
    inboxPut(*static_cast<Inbox*>(context), message->data(), message->size());
}

std::atomic<bool> midiFailed{false};

void onMidiError(RtMidiError::Type type, const std::string& text, void*) {
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) return;
    midiFailed.store(true);
    fail("MIDI: " + text);
}

RtMidi::Api chooseApi(const Options& options) {
    if (options.api == "jack") return RtMidi::UNIX_JACK;
    if (options.api == "alsa") return RtMidi::LINUX_ALSA;
    return access("/dev/snd/seq", R_OK | W_OK) == 0 ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

// What a message costs in RtMidi's queue (a 4-byte length) and in JACK's port buffer (a 12-byte event
// header), counted generously. Four KiB per cycle: even two batches read in one cycle use half the queue.
std::size_t wireCost(const Bytes& message) { return message.size() + 12; }
constexpr std::size_t CYCLE_BUDGET = 4096;

struct Ports {
    std::unique_ptr<RtMidiIn> in;
    std::unique_ptr<RtMidiOut> out;
#if defined(TARGET_HAS_JACK)
    JackPace pace;
    bool paced = false;                 // false on ALSA: the sequencer takes each message as it is sent
    std::uint64_t lastBatchCycle = 0;
    bool sentBefore = false;
#endif
};

bool sendPaced(Ports& ports, std::vector<Bytes>& due, const std::function<bool()>& stopping) {
    std::size_t first = 0;
    while (first < due.size()) {
        std::size_t end = first + 1;
        std::size_t cost = wireCost(due[first]);
        while (end < due.size() && cost + wireCost(due[end]) <= CYCLE_BUDGET) cost += wireCost(due[end++]);
#if defined(TARGET_HAS_JACK)
        // One batch per cycle: the batch before this one has been read out of RtMidi's queue, or is
        // read together with this one, which still fits; nothing is dropped.
        if (ports.paced && ports.sentBefore && !waitForCycle(ports.pace, ports.lastBatchCycle, stopping)) return false;
#else
        (void)stopping;
#endif
        for (std::size_t i = first; i < end; ++i) ports.out->sendMessage(due[i].data(), due[i].size());
#if defined(TARGET_HAS_JACK)
        if (ports.paced) {
            ports.lastBatchCycle = ports.pace.cycles.load(std::memory_order_acquire);
            ports.sentBefore = true;
        }
#endif
        first = end;
    }
    return true;
}

void closePorts(Ports& ports) {
    // The ports go now, as a product's do when it is switched off.
    ports.in.reset();
    ports.out.reset();
#if defined(TARGET_HAS_JACK)
    if (ports.paced) closePace(ports.pace);
#endif
}

}  // namespace

bool openPorts(const Options& options, Inbox& inbox, Endpoint& endpoint) {
    // Our own messages say what went wrong; the libraries' would only clutter the log.
#if defined(TARGET_HAS_ALSA)
    snd_lib_error_set_handler(silentAlsa);
#endif
#if defined(TARGET_HAS_JACK)
    silenceJack();
#endif

    const RtMidi::Api api = chooseApi(options);
    const std::string inClient = options.client + "-in";
    const std::string outClient = options.client + "-out";
    const std::string inName = inClient + ":" + options.port;
    const std::string outName = outClient + ":" + options.port;

    auto ports = std::make_shared<Ports>();
    if (api == RtMidi::LINUX_ALSA) {
        if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
            fail("the ALSA sequencer is not available here (no usable /dev/snd/seq); use --api jack with a "
                 "JACK server running");
            return false;
        }
    } else {
#if defined(TARGET_HAS_JACK)
        const char* server = std::getenv("JACK_DEFAULT_SERVER");
        if (!openPace(ports->pace, options.client + "-pace")) {
            fail(std::string("no JACK server answers (JACK_DEFAULT_SERVER=") + (server ? server : "default") +
                 "); start one, e.g. scripts/jack-server.sh start NAME, and set JACK_DEFAULT_SERVER=NAME");
            return false;
        }
        ports->paced = true;
        // JACK would quietly rename our clients, and the ports would not be those the user asked for.
        for (const std::string& name : {inClient, outClient}) {
            if (jackClientExists(ports->pace, name)) {
                fail("a JACK client named '" + name + "' already exists (another " + PROGRAM +
                     "?); choose another name with --client");
                closePace(ports->pace);
                return false;
            }
        }
#else
        fail("this build has no JACK support; use --api alsa");
        return false;
#endif
    }

    try {
        ports->in = std::make_unique<RtMidiIn>(api, inClient);
        ports->in->setErrorCallback(onMidiError, nullptr);
        // The target speaks in system-exclusive messages, which RtMidi drops unless told otherwise.
        ports->in->ignoreTypes(false, true, true);
        ports->in->setCallback(onMessage, &inbox);
        ports->in->openVirtualPort(options.port);
        ports->out = std::make_unique<RtMidiOut>(api, outClient);
        ports->out->setErrorCallback(onMidiError, nullptr);
        ports->out->openVirtualPort(options.port);
    } catch (const RtMidiError& error) {
        fail("cannot open the MIDI ports: " + error.getMessage());
        midiFailed.store(true);
    }
#if defined(TARGET_HAS_JACK)
    if (ports->paced && !midiFailed.load() && !portsVisible(ports->pace, {inName, outName})) {
        fail("the ports " + inName + " and " + outName + " did not appear on the JACK server");
        midiFailed.store(true);
    }
#endif
    if (midiFailed.load()) {
        closePorts(*ports);
        return false;
    }

    endpoint.description = "listening on " + inName + ", answering on " + outName + " (" +
                           (api == RtMidi::UNIX_JACK ? "JACK" : "ALSA sequencer") + ")";
    endpoint.send = [ports](std::vector<Bytes>& due, const std::function<bool()>& stopping) {
        return sendPaced(*ports, due, stopping);
    };
    endpoint.lost = [ports]() -> std::string {
#if defined(TARGET_HAS_JACK)
        if (ports->paced && ports->pace.serverGone.load()) return "the JACK server has stopped";
#endif
        return "";
    };
    endpoint.close = [ports] { closePorts(*ports); };
    return true;
}

}  // namespace zentravox_target
