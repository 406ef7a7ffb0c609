// The wire and its limits as the receive fuzzer knows them, written down here on their own: a wrong
// constant in the program must show as a failed check, not be shared by the program and its judge.
#pragma once

#include <array>
#include <cstdint>

namespace wire {

constexpr std::array<std::uint8_t, 7> HANDSHAKE_TEXT = {'H', 'q', '7', ':', 'b', 'X', 'w'};
constexpr std::size_t RECORD_BYTES_PER_MESSAGE = 11;

constexpr std::uint8_t READY = 0x43;
constexpr std::uint8_t RESET_NEEDED = 0x15;
constexpr std::uint8_t WRITTEN = 0x1A;
constexpr std::uint8_t RESTARTED = 0x77;
constexpr std::uint8_t CRC_ERROR = 0x20;
constexpr std::uint8_t DAMAGED_A = 0x21;
constexpr std::uint8_t DAMAGED_B = 0x22;
constexpr std::uint8_t VERIFY_ERROR = 0x24;
constexpr std::uint8_t ERASE_ERROR = 0x25;
// The codes the target answers a record with.
constexpr bool isRecordCode(int code) {
    return code == WRITTEN || code == RESTARTED || code == CRC_ERROR || code == DAMAGED_A || code == DAMAGED_B ||
           code == VERIFY_ERROR || code == ERASE_ERROR;
}

// Times in ms, counts in messages.
constexpr unsigned HANDSHAKES_PER_PAIR = 4;
constexpr unsigned HANDSHAKE_WAIT_MS = 500;
constexpr unsigned INPUT_SETTLE_LIMIT_MS = 250;
// How often the outputs are tried one by one before the search gives up.
constexpr unsigned OUTPUT_SEARCH_ATTEMPTS = 3;
constexpr unsigned RECORD_WAIT_MS = 2000;
constexpr unsigned FAILURES_IN_A_ROW = 20;
constexpr unsigned DATA_MESSAGE_PAUSE_MS = 1;
constexpr unsigned SEND_GIVE_UP_MS = 2000;
// After a record is written, what is owed to its other sendings is waited for this long at most; after
// the last record, the input is watched this long at most.
constexpr unsigned LATE_ANSWER_SLACK_MS = 1000;
constexpr unsigned LAST_WATCH_MS = RECORD_WAIT_MS + LATE_ANSWER_SLACK_MS + 100;

}  // namespace wire
