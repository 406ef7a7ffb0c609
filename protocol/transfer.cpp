#include "protocol/transfer.h"

#include <array>
#include <cstdio>

#include "midi/midi_ports.h"
#include "midi/sysex.h"
#include "protocol/reply_wait.h"
#include "protocol/wire.h"

namespace {

// Each character twice, so the figure turns one step every second record.
constexpr char SPINNER[] = "--\\\\||//";
constexpr int SPINNER_LENGTH = sizeof SPINNER - 1;

void printProgress(int& spinner, std::uint32_t percent) {
    std::printf("\r                        \rTransferring.. %c %d%% done", SPINNER[spinner], static_cast<int>(percent));
    spinner = (spinner + 1) % SPINNER_LENGTH;
    std::fflush(stdout);
}

// A record sent again shows the same spinner character again.
void stepSpinnerBack(int& spinner) { spinner = (spinner + SPINNER_LENGTH - 1) % SPINNER_LENGTH; }

void printCompletion(bool restarting) {
    std::printf("\rTransferring.. 100%% done.  \n");
    if (restarting) {
        std::printf("Target update successfully!\n");
        std::printf("\nThe System is restarted, please wait!\n\n");
    } else {
        std::printf("\nTarget update successfully!\n\n");
    }
}

void printRefusal(std::uint8_t code) {
    switch (code) {
        case REPLY_DAMAGED_A:
        case REPLY_DAMAGED_B: std::printf("\nThe download file has been damaged!\n"); break;
        case REPLY_VERIFY_ERROR: std::printf("\nThe download file verifies error!\n"); break;
        case REPLY_ERASE_ERROR: std::printf("\nThe MCU erases error!\n"); break;
        case REPLY_CRC_ERROR: std::printf("\nThe CRC of the download file is error!\n"); break;
        default: break;   // codes the target may add later: the record is simply sent again
    }
}

// Sends one record from its first byte, 11 bytes a message. False when the output failed on a full
// message; the last, shorter message's result is not looked at.
bool sendRecord(const UpdateImage& image, std::uint32_t position, std::uint32_t recordLength) {
    std::array<char, 2 * RECORD_BYTES_PER_MESSAGE> text{};
    std::uint32_t remaining = recordLength;
    while (remaining > 0) {
        const std::uint8_t* next = &image.bytes[position + recordLength - remaining];
        const std::uint32_t chunk = remaining >= RECORD_BYTES_PER_MESSAGE ? RECORD_BYTES_PER_MESSAGE : remaining;
        for (std::uint32_t i = 0; i < chunk; ++i) byteToHex(next[i], &text[2 * i]);
        const MidiResult result =
            sendSysEx(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint16_t>(2 * chunk));
        if (chunk == RECORD_BYTES_PER_MESSAGE && result != MIDI_OK) return false;
        remaining -= chunk;
        platformSleep(DATA_MESSAGE_PAUSE_MS);
    }
    return true;
}

}  // namespace

void transferImage(const UpdateImage& image) {
    int spinner = 0;
    std::uint32_t position = 0;
    int failures = 0;
    for (;;) {
        if (position >= image.count) {
            printCompletion(false);
            return;
        }
        const std::uint32_t recordLength = image.bytes[position] * 256u + image.bytes[position + 1] + 2u;
        printProgress(spinner, position * 100u / image.count);

        if (!sendRecord(image, position, recordLength)) {
            std::printf("\nError: The MIDI Out of device is missing!\n\n");
            return;
        }

        std::uint8_t code = 0;
        if (!waitForReply(RECORD_REPLY_WAIT_POLLS, code)) {
            if (++failures == RECORD_FAILURE_LIMIT) {
                std::printf("\nFailed: Target is not responding.\n\n");
                return;
            }
            stepSpinnerBack(spinner);
            continue;
        }
        if (code == REPLY_RECORD_OK) {
            position += recordLength;
            failures = 0;
            continue;
        }
        // The target has finished and restarts: that is a success however many refusals came first.
        if (code == REPLY_DONE_RESTART) {
            printCompletion(true);
            return;
        }
        if (++failures == RECORD_FAILURE_LIMIT) {
            std::printf("\nError in updating.\n");
            return;
        }
        stepSpinnerBack(spinner);
        printRefusal(code);
    }
}
