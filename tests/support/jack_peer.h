// Test support for the RtMidi backend on a real JACK server: the other end of the wire as a JACK client
// of the test's own, and a fixture that opens it and the platform. Skips where no server answers.
#pragma once

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/midi_platform.h"

using Bytes = std::vector<std::uint8_t>;

constexpr int WAIT_POLLS = 2000;   // 1 ms each: no test waits longer than this for one event

// A JACK client with MIDI ports that the backend must find, open and talk to. What it receives is
// recorded; what it is given to send goes out next cycle.
class JackPeer {
public:
    ~JackPeer() { close(); }

    bool open();
    void close();
    jack_port_t* add(const std::string& port, bool output);
    void remove(jack_port_t* port);

    void send(jack_port_t* port, const Bytes& message);
    // The messages all go out in one cycle, in order.
    void sendTogether(jack_port_t* port, const std::vector<Bytes>& messages);
    // The messages go out again in every cycle until told to stop (none).
    void repeat(jack_port_t* port, const std::vector<Bytes>& messages);
    std::vector<Bytes> received(jack_port_t* port);
    bool waitReceived(jack_port_t* port, std::size_t count);
    // Whatever was written in the cycle under way has been read by every port downstream once two
    // more cycles have started.
    bool waitCycles(std::uint64_t count);
    std::vector<std::string> connections(jack_port_t* port) const;

    static std::string fullName(jack_port_t* port) { return jack_port_name(port); }

private:
    struct Slot {
        jack_port_t* port = nullptr;
        bool output = false;
        std::deque<Bytes> outgoing;
        std::vector<Bytes> repeated;
        std::vector<Bytes> incoming;
    };

    Slot* find(jack_port_t* port);
    static int process(jack_nframes_t frames, void* context);

    jack_client_t* client_ = nullptr;
    std::string name_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::atomic<std::uint64_t> cycles_{0};
};

// A port name as winmm's 31 characters hold it.
std::string cut(const std::string& name);
// The names the platform gives, index by index, until the first gap.
std::vector<std::string> listed(bool (*portName)(int, char (&)[MIDI_NAME_SIZE]));
// Where a port shows among `names`, by its cut name; -1 where it does not.
int indexIn(const std::vector<std::string>& names, const std::string& wanted);
// Polls the transport's mailbox.
bool waitReply(std::uint8_t& code);
bool waitMessage(Bytes& message);
Bytes sysex(std::initializer_list<std::uint8_t> payload);

class RtMidiJack : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Counts both kinds, as discovery does, and opens the peer's pair.
    void openPeerPair();

    JackPeer peer;
    jack_port_t* toProgram = nullptr;     // the peer's output: one of the program's inputs
    jack_port_t* fromProgram = nullptr;   // the peer's input: one of the program's outputs
};
