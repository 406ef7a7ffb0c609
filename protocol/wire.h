// The conversation with the target: every constant of the wire, defined once.
#pragma once

#include <array>
#include <cstdint>

// The identification handshake's payload, sent as it stands between F0 and F7.
constexpr std::array<std::uint8_t, 7> identToken = {'H', 'q', '7', ':', 'b', 'X', 'w'};

// Reply codes: the byte after the F0 of a message from the target.
constexpr std::uint8_t REPLY_READY = 0x43;         // handshake: ready to be updated
constexpr std::uint8_t REPLY_RESET_NEEDED = 0x15;  // handshake: reset the product first
constexpr std::uint8_t REPLY_RECORD_OK = 0x1A;     // record accepted
constexpr std::uint8_t REPLY_CRC_ERROR = 0x20;
constexpr std::uint8_t REPLY_DAMAGED_A = 0x21;
constexpr std::uint8_t REPLY_DAMAGED_B = 0x22;
constexpr std::uint8_t REPLY_VERIFY_ERROR = 0x24;
constexpr std::uint8_t REPLY_ERASE_ERROR = 0x25;
constexpr std::uint8_t REPLY_DONE_RESTART = 0x77;  // update complete, the target restarts

// What a code says when it answers a record, and what the program prints for it.
enum class ReplyKind : std::uint8_t {
    HANDSHAKE,   // an answer to the identification handshake: never to a record
    WRITTEN,     // the record is written
    REFUSED,     // the record is not written: it goes out again
    RESTARTED,   // the record is written, the update is complete and the target restarts
    UNKNOWN,     // no code of the target's: another device's message, or a code the target may add later
};

struct ReplyCode {
    std::uint8_t code;
    ReplyKind kind;
    const char* message;   // printed when the code refuses the record the program waits on; may be empty
};

// The one table of the target's codes.
constexpr std::array<ReplyCode, 9> REPLY_CODES = {{
    {REPLY_READY, ReplyKind::HANDSHAKE, ""},
    {REPLY_RESET_NEEDED, ReplyKind::HANDSHAKE, ""},
    {REPLY_RECORD_OK, ReplyKind::WRITTEN, ""},
    {REPLY_CRC_ERROR, ReplyKind::REFUSED, "\nThe CRC of the download file is error!\n"},
    {REPLY_DAMAGED_A, ReplyKind::REFUSED, "\nThe download file has been damaged!\n"},
    {REPLY_DAMAGED_B, ReplyKind::REFUSED, "\nThe download file has been damaged!\n"},
    {REPLY_VERIFY_ERROR, ReplyKind::REFUSED, "\nThe download file verifies error!\n"},
    {REPLY_ERASE_ERROR, ReplyKind::REFUSED, "\nThe MCU erases error!\n"},
    {REPLY_DONE_RESTART, ReplyKind::RESTARTED, ""},
}};

constexpr ReplyCode replyCodeOf(std::uint8_t code) {
    for (const ReplyCode& known : REPLY_CODES)
        if (known.code == code) return known;
    return ReplyCode{code, ReplyKind::UNKNOWN, ""};
}

// Discovery tries at most this many inputs and outputs; counting stops at the first missing index.
constexpr int MAX_PORTS_PER_KIND = 10;
// The handshake goes out on every output at once, up to this many times, and each time every input
// listens this long for the answer.
constexpr int HANDSHAKES_PER_PAIR = 4;
constexpr int HANDSHAKE_WAIT_POLLS = 500;   // 1 ms each
// The first output's handshake goes out this long before the others': a prompt target behind it is
// known at once, its pair the first in order.
constexpr unsigned FIRST_OUTPUT_ALONE_MS = 50;
// Once the target has answered, a handshake's answer is waited for as long as the target took to answer
// the first one, and as long again, but never less than this more: the spread of a transport's delays.
constexpr unsigned ANSWER_WINDOW_MARGIN_MS = 20;
// How often the outputs are tried one by one, each time with waits twice as long as before, before the
// search gives up on a target that answered every output at once but none alone.
constexpr int OUTPUT_SEARCH_ATTEMPTS = 3;
// An input that has just opened may pour out what its device sent while it was closed (a USB MIDI
// interface holds the product's answers to handshakes sent on another pair until the host reads it
// again). Before any handshake on it, the input must have been quiet this long, waited for no longer
// than the limit.
constexpr int INPUT_QUIET_POLLS = 20;
constexpr int INPUT_SETTLE_LIMIT_POLLS = 250;

// Transfer: 11 record bytes become the 22 hex characters of one data message.
constexpr int RECORD_BYTES_PER_MESSAGE = 11;
// 1 ms each, counted from the sending's last data message: the target erases and writes flash
// meanwhile, and a slow one answers up to 2 s later. A sending is given up only after this silence.
constexpr int RECORD_REPLY_WAIT_POLLS = 2000;
// A target that has answered later than that may still answer a sending given up on. Before the next
// record goes out, such answers are waited for as long as the target has shown it takes, and this long
// again for the variation between its answers.
constexpr unsigned LATE_ANSWER_SLACK_MS = 1000;
// After the last record, the program watches the input before it reports success: an answer that
// comes then answers no sending, and shows that an answer taken earlier was not the target's own (an
// echo, another device's message). A target that has answered everything within PROMPT_ANSWER_MS and
// sent nothing unexplained is watched for as long as it has taken and QUIET_MARGIN_MS more; any other
// for as long as any answer of the target's may take, and QUIET_MARGIN_MS more.
constexpr unsigned PROMPT_ANSWER_MS = 250;
constexpr unsigned QUIET_MARGIN_MS = 100;
constexpr int RECORD_FAILURE_LIMIT = 20;       // failures in a row before the transfer gives up
// The 1 ms pause after every data message paces the target's receive buffer; it is part of the wire.
constexpr unsigned DATA_MESSAGE_PAUSE_MS = 1;
constexpr unsigned POLL_INTERVAL_MS = 1;
