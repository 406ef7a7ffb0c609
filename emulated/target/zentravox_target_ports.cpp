// The target on two ports of the ALSA sequencer or of a JACK server: NAME-in:PORT where it listens,
// through RtMidi, and NAME-out:PORT where it answers, through RtMidi on ALSA and through a JACK output of
// our own on JACK.
#include <RtMidi.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "emulated/target/zentravox_target.h"
#include "emulated/target/zentravox_target_jack.h"

namespace zentravox_target {

namespace {

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
    JackAnswerPort* jack = nullptr;   // on JACK: the answering port is our own
};

bool sendDue(Ports& ports, std::vector<Bytes>& due, const std::function<bool()>& stopping) {
    if (ports.jack != nullptr) return jackAnswer(*ports.jack, due, stopping);
    for (const Bytes& message : due) ports.out->sendMessage(message.data(), message.size());
    return true;
}

void closePorts(Ports& ports) {
    // The ports go now, as a product's do when it is switched off.
    ports.in.reset();
    ports.out.reset();
    closeAnswerPort(ports.jack);
}

}  // namespace

bool openPorts(const Options& options, Inbox& inbox, Endpoint& endpoint) {
    // Our own messages say what went wrong; the libraries' would only clutter the log.
    silenceAlsa();
    silenceJack();

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
        // The answering client first, under its exact name: JACK would quietly rename a client whose
        // name is taken, and the ports would not be those the user asked for.
        ports->jack = openAnswerPort(inClient, outClient, options.port);
        if (ports->jack == nullptr) return false;
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
    if (ports->jack != nullptr && !midiFailed.load() && !portsVisible(*ports->jack, {inName, outName})) {
        fail("the ports " + inName + " and " + outName + " did not appear on the JACK server");
        midiFailed.store(true);
    }
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
        if (ports->jack != nullptr && jackServerGone(*ports->jack)) return "the JACK server has stopped";
        return "";
    };
    endpoint.close = [ports] { closePorts(*ports); };
    return true;
}

}  // namespace zentravox_target
