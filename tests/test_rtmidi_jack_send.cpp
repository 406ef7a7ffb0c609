// Pins what the RtMidi backend puts on a real JACK wire: the handshake byte for byte with its reply back,
// back-to-back sends that all arrive in order, an output closed while its messages still wait, and a send
// to a port that vanished failing.
// Needs the JACK server named by JACK_DEFAULT_SERVER; skipped without one.
#include <cstdint>
#include <cstring>
#include <vector>

#include "midi/port_pair.h"
#include "midi/sysex.h"
#include "protocol/wire.h"
#include "support/jack_peer.h"

namespace {

// ---------------------------------------------------------------------------------------------------
// The wire: out byte for byte, and the reply back

TEST_F(RtMidiJack, HandshakeGoesOutByteForByteAndTheReplyComesBack) {
    openPeerPair();
    ASSERT_EQ(sendSysEx(identToken.data(), static_cast<std::uint16_t>(identToken.size())), MIDI_OK);
    ASSERT_TRUE(peer.waitReceived(fromProgram, 1));
    const Bytes handshake{0xF0, 'H', 'q', '7', ':', 'b', 'X', 'w', 0xF7};
    EXPECT_EQ(peer.received(fromProgram).front(), handshake);

    peer.send(toProgram, sysex({REPLY_READY}));
    std::uint8_t code = 0;
    ASSERT_TRUE(waitReply(code));
    EXPECT_EQ(code, REPLY_READY);
    EXPECT_EQ(peer.received(fromProgram).size(), 1u) << "one send, one message on the wire";
}

TEST_F(RtMidiJack, BackToBackSendsAllArriveInOrder) {
    // Far more than one JACK cycle carries (a port's buffer is 32 KiB): a send reported done before its
    // cycle has taken it must not let the following ones be lost. Sent as sendSysEx sends, but through
    // the seam, so that big messages keep the test short.
    openPeerPair();
    constexpr int MESSAGES = 100;
    constexpr std::size_t SIZE = 1000;
    Bytes message(SIZE, 0x55);
    message.front() = 0xF0;
    message.back() = 0xF7;
    for (int i = 0; i < MESSAGES; ++i) {
        message[1] = static_cast<std::uint8_t>(i);
        ASSERT_EQ(platformBeginSend(midiPorts.out, message.data(), static_cast<std::uint16_t>(SIZE)), MIDI_OK);
        bool done = false;
        for (int poll = 0; poll < SEND_WAIT_POLLS && !done; ++poll) {
            done = platformSendDone(midiPorts.out) != MIDI_STILL_PLAYING;
            if (!done) platformSleep(1);
        }
        ASSERT_TRUE(done) << "message " << i << " never left";
    }
    peer.waitReceived(fromProgram, MESSAGES);
    const std::vector<Bytes> got = peer.received(fromProgram);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(MESSAGES)) << "messages lost on the way";
    for (int i = 0; i < MESSAGES; ++i) {
        const Bytes& arrived = got[static_cast<std::size_t>(i)];
        ASSERT_EQ(arrived.size(), SIZE);
        EXPECT_EQ(arrived[1], i) << "messages out of order";
    }

    // And through the transport, with the largest message it sends.
    std::uint8_t payload[SYSEX_PAYLOAD_LIMIT];
    std::memset(payload, 0x2A, sizeof payload);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(sendSysEx(payload, sizeof payload), MIDI_OK);
    ASSERT_TRUE(peer.waitReceived(fromProgram, MESSAGES + 20));
    EXPECT_EQ(peer.received(fromProgram).back().size(), sizeof payload + 2);
}

TEST_F(RtMidiJack, AnOutputClosedWhileItsMessagesWaitLeavesOnlyWholeMessages) {
    // Each close comes while the output's cycle may be writing what waits. Its queue must outlive the
    // client's thread: freed first (as RtMidi's own JACK output does), a loaded machine crashed here,
    // and the address sanitizer reports the read of freed memory.
    const int out = indexIn(listed(platformOutputName), JackPeer::fullName(fromProgram));
    ASSERT_GE(out, 0);
    constexpr int ROUNDS = 30;
    constexpr int BURST = 4;
    const Bytes message = sysex({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
    for (int round = 0; round < ROUNDS; ++round) {
        ASSERT_EQ(openMidiOut(out), MIDI_OK) << "round " << round;
        for (int i = 0; i < BURST; ++i) {
            ASSERT_EQ(platformBeginSend(midiPorts.out, message.data(), static_cast<std::uint16_t>(message.size())),
                      MIDI_OK);
            platformAbandonSend(midiPorts.out);   // not waited for: the close comes at once
        }
        closeMidiOut();
    }
    // What left before a close arrives whole; the rest went with its port.
    peer.waitCycles(4);
    const std::vector<Bytes> got = peer.received(fromProgram);
    EXPECT_LE(got.size(), static_cast<std::size_t>(ROUNDS * BURST));
    for (const Bytes& arrived : got) EXPECT_EQ(arrived, message);
}

// ---------------------------------------------------------------------------------------------------
// A port that goes away

TEST_F(RtMidiJack, SendingToAPortThatVanishedFails) {
    openPeerPair();
    ASSERT_EQ(sendSysEx(identToken.data(), static_cast<std::uint16_t>(identToken.size())), MIDI_OK);
    peer.remove(fromProgram);
    fromProgram = nullptr;
    EXPECT_NE(sendSysEx(identToken.data(), static_cast<std::uint16_t>(identToken.size())), MIDI_OK);
}

}  // namespace
