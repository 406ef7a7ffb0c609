// The target on two ports of the ALSA sequencer or of a JACK server: NAME-in:PORT where it listens,
// through RtMidi, and NAME-out:PORT where it answers, through RtMidi on ALSA and through a JACK output of
// our own on JACK.
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
#include "emulated/target/zentravox_target_jack.h"
#endif

#include "emulated/target/zentravox_target.h"

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

struct Ports {
    std::unique_ptr<RtMidiIn> in;
    std::unique_ptr<RtMidiOut> out;   // on ALSA: the sequencer takes each message as it is sent
#if defined(TARGET_HAS_JACK)
    bool onJack = false;
    JackAnswerPort jack;              // on JACK: the answering port is our own
#endif
};

bool sendDue(Ports& ports, std::vector<Bytes>& due, const std::function<bool()>& stopping) {
#if defined(TARGET_HAS_JACK)
    if (ports.onJack) return jackAnswer(ports.jack, due, stopping);
#else
    (void)stopping;
#endif
    for (const Bytes& message : due) ports.out->sendMessage(message.data(), message.size());
    return true;
}

void closePorts(Ports& ports) {
    // The ports go now, as a product's do when it is switched off.
    ports.in.reset();
    ports.out.reset();
#if defined(TARGET_HAS_JACK)
    if (ports.onJack) closeAnswerPort(ports.jack);
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
        // The answering client first, under its exact name: JACK would quietly rename a client whose
        // name is taken, and the ports would not be those the user asked for.
        ports->onJack = true;
        const char* server = std::getenv("JACK_DEFAULT_SERVER");
        const JackOpened opened = openAnswerPort(ports->jack, outClient, options.port);
        std::string taken = opened == JackOpened::NAME_TAKEN ? outClient : "";
        if (opened == JackOpened::OPENED && jackClientExists(ports->jack, inClient)) {
            closeAnswerPort(ports->jack);
            taken = inClient;
        }
        if (!taken.empty()) {
            fail("a JACK client named '" + taken + "' already exists (another " + PROGRAM +
                 "?); choose another name with --client");
            return false;
        }
        if (opened == JackOpened::NO_SERVER) {
            fail(std::string("no JACK server answers (JACK_DEFAULT_SERVER=") + (server ? server : "default") +
                 "); start one, e.g. scripts/jack-server.sh start NAME, and set JACK_DEFAULT_SERVER=NAME");
            return false;
        }
        if (opened != JackOpened::OPENED) {
            fail("cannot open the JACK client '" + outClient + "'");
            return false;
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
        if (api == RtMidi::LINUX_ALSA) {
            ports->out = std::make_unique<RtMidiOut>(api, outClient);
            ports->out->setErrorCallback(onMidiError, nullptr);
            ports->out->openVirtualPort(options.port);
        }
    } catch (const RtMidiError& error) {
        fail("cannot open the MIDI ports: " + error.getMessage());
        midiFailed.store(true);
    }
#if defined(TARGET_HAS_JACK)
    if (ports->onJack && !midiFailed.load() && !portsVisible(ports->jack, {inName, outName})) {
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
        return sendDue(*ports, due, stopping);
    };
    endpoint.lost = [ports]() -> std::string {
#if defined(TARGET_HAS_JACK)
        if (ports->onJack && ports->jack.serverGone.load()) return "the JACK server has stopped";
#endif
        return "";
    };
    endpoint.close = [ports] { closePorts(*ports); };
    return true;
}

}  // namespace zentravox_target
