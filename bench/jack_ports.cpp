// MIDI ports for the discovery benchmark on a JACK server: one client holding, in the order given, ports
// that never answer and echo ports (what arrives on its input leaves on its output in the same cycle,
// as the ALSA sequencer's Midi Through does). The server lists the ports of each kind in the order
// they were registered, so clients started one after another lay out where the product sits among them.
//
//   bench_jack_ports CLIENT SPEC     SPEC: a letter per port, in order:
//                                      r  a port the program reads from, that never sends (CLIENT:rN)
//                                      w  a port the program writes to, that drops what it gets (CLIENT:wN)
//                                      e  an echo: CLIENT:eN-in comes back on CLIENT:eN-out
// Prints "ready" once every port can be found by name; runs until SIGTERM or SIGINT (exit 0).
#include <jack/jack.h>
#include <jack/midiport.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr int MAX_PORTS = 32;

struct Echo {
    jack_port_t* in;
    jack_port_t* out;
};

struct Ports {
    std::array<jack_port_t*, MAX_PORTS> silent{};
    int silentCount = 0;
    std::array<Echo, MAX_PORTS> echoes{};
    int echoCount = 0;
};

Ports ports;
volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int) { stopSignal = 1; }
void silentJack(const char*) {}

// Every output buffer must be cleared each cycle, or the last cycle's events go out again.
int process(jack_nframes_t frames, void*) {
    for (int i = 0; i < ports.silentCount; ++i) {
        jack_port_t* port = ports.silent[i];
        if ((jack_port_flags(port) & JackPortIsOutput) != 0) jack_midi_clear_buffer(jack_port_get_buffer(port, frames));
    }
    for (int i = 0; i < ports.echoCount; ++i) {
        void* in = jack_port_get_buffer(ports.echoes[i].in, frames);
        void* out = jack_port_get_buffer(ports.echoes[i].out, frames);
        jack_midi_clear_buffer(out);
        const jack_nframes_t count = jack_midi_get_event_count(in);
        for (jack_nframes_t e = 0; e < count; ++e) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, in, e) == 0) jack_midi_event_write(out, event.time, event.buffer, event.size);
        }
    }
    return 0;
}

jack_port_t* registerPort(jack_client_t* client, const std::string& name, bool output) {
    return jack_port_register(client, name.c_str(), JACK_DEFAULT_MIDI_TYPE, output ? JackPortIsOutput : JackPortIsInput,
                              0);
}

bool registerPorts(jack_client_t* client, const char* spec) {
    int reads = 0;
    int writes = 0;
    for (const char* letter = spec; *letter != '\0'; ++letter) {
        if (ports.silentCount == MAX_PORTS || ports.echoCount == MAX_PORTS) return false;
        if (*letter == 'r' || *letter == 'w') {
            const bool output = *letter == 'r';
            const std::string name = std::string(1, *letter) + std::to_string(output ? ++reads : ++writes);
            jack_port_t* port = registerPort(client, name, output);
            if (port == nullptr) return false;
            ports.silent[ports.silentCount++] = port;
        } else if (*letter == 'e') {
            const std::string name = "e" + std::to_string(ports.echoCount + 1);
            Echo echo{registerPort(client, name + "-in", false), registerPort(client, name + "-out", true)};
            if (echo.in == nullptr || echo.out == nullptr) return false;
            ports.echoes[ports.echoCount++] = echo;
        } else {
            return false;
        }
    }
    return true;
}

// The server publishes new ports to the other clients at a cycle's boundary.
bool portsVisible(jack_client_t* client) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        bool all = true;
        for (int i = 0; i < ports.silentCount; ++i)
            all = all && jack_port_by_name(client, jack_port_name(ports.silent[i])) != nullptr;
        for (int i = 0; i < ports.echoCount; ++i)
            all = all && jack_port_by_name(client, jack_port_name(ports.echoes[i].out)) != nullptr;
        if (all) return true;
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || argv[2][0] == '\0' || std::strspn(argv[2], "rwe") != std::strlen(argv[2])) {
        std::fputs("usage: bench_jack_ports CLIENT SPEC   (SPEC: r, w and e, one letter per port)\n", stderr);
        return 2;
    }
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
    jack_client_t* client =
        jack_client_open(argv[1], static_cast<jack_options_t>(JackNoStartServer | JackUseExactName), nullptr);
    if (client == nullptr) {
        std::fprintf(stderr, "bench_jack_ports: no JACK client '%s' (is the server running?)\n", argv[1]);
        return 1;
    }
    const bool ready = registerPorts(client, argv[2]) && jack_set_process_callback(client, process, nullptr) == 0 &&
                       jack_activate(client) == 0 && portsVisible(client);
    if (!ready) {
        std::fprintf(stderr, "bench_jack_ports: the ports of '%s' could not be set up\n", argv[2]);
        jack_client_close(client);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    while (stopSignal == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    jack_client_close(client);
    return 0;
}
