#include "protocol/transfer.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "midi/midi_ports.h"
#include "midi/sysex.h"
#include "protocol/discovery.h"
#include "protocol/wire.h"

namespace {

// Each character twice, so the figure turns one step every second record.
constexpr char SPINNER[] = "--\\\\||//";
constexpr int SPINNER_LENGTH = sizeof SPINNER - 1;

// The wire carries no record numbers: a reply is a code and nothing else. The target answers each
// whole record it receives, in turn, so a reply answers the oldest sending still owed an answer. A
// sending given up after a silence stays owed: the target may be slow rather than deaf, and then it
// has written the record and will say so. Only sendings of the current record are ever owed when a
// reply comes, so every reply is credited to the record it answers, or to none.
constexpr int MAX_OWED_SENDINGS = RECORD_FAILURE_LIMIT;

struct RecordAnswers {
    std::array<std::uint32_t, MAX_OWED_SENDINGS> sentAt;   // owed sendings' ends, oldest first (ms)
    int owed;
    int written;          // 0x1A answers to this record's sendings
    bool restarted;       // the target answered 0x77
    std::uint32_t now;    // ms of pauses and polls since the transfer began
    std::uint32_t lateness;   // the longest a sending has waited for its answer (ms)
};

enum class Verdict { Written, Refused, Unanswered, Restarted };

void pause(RecordAnswers& answers, unsigned milliseconds) {
    platformSleep(milliseconds);
    answers.now += milliseconds;
}

bool isRecordAnswer(std::uint8_t code) {
    switch (code) {
        case REPLY_RECORD_OK:
        case REPLY_DONE_RESTART:
        case REPLY_CRC_ERROR:
        case REPLY_DAMAGED_A:
        case REPLY_DAMAGED_B:
        case REPLY_VERIFY_ERROR:
        case REPLY_ERASE_ERROR: return true;
        default: return false;
    }
}

// Takes a reply from the mailbox and credits it to the oldest owed sending of this record. False when
// none came, or it answers nothing of this record: a late answer to a handshake, or a message while
// every sending of the record is settled.
bool takeAnswer(RecordAnswers& answers, std::uint8_t& code) {
    if (!takeReply(code)) return false;
    if ((code == REPLY_READY || code == REPLY_RESET_NEEDED) && unansweredHandshakes > 0) {
        --unansweredHandshakes;
        return false;
    }
    if (answers.owed == 0) return false;
    // A code the target is not known to answer a record with may be anything (another device's SysEx
    // on the same cable): the record is sent again for it, but the sending it seems to answer stays
    // owed, so that the target's real answer, should it still come, is credited where it belongs.
    if (!isRecordAnswer(code)) return true;
    answers.lateness = std::max(answers.lateness, answers.now - answers.sentAt[0]);
    std::copy(answers.sentAt.begin() + 1, answers.sentAt.begin() + answers.owed, answers.sentAt.begin());
    --answers.owed;
    return true;
}

void noteSending(RecordAnswers& answers) {
    if (answers.owed == MAX_OWED_SENDINGS) {
        std::copy(answers.sentAt.begin() + 1, answers.sentAt.end(), answers.sentAt.begin());
        --answers.owed;
    }
    answers.sentAt[answers.owed++] = answers.now;
}

// Empties the mailbox while a record goes out: nothing in it can answer this sending. An answer to an
// earlier sending of the record still counts: a refusal changes nothing, the record is being sent
// again already, but "written" and "restarted" stand. Anything else is dropped.
void noteAnswerWhileSending(RecordAnswers& answers) {
    std::uint8_t code = 0;
    if (!takeAnswer(answers, code)) return;
    if (code == REPLY_RECORD_OK) ++answers.written;
    if (code == REPLY_DONE_RESTART) answers.restarted = true;
}

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
bool sendRecord(const UpdateImage& image, std::uint32_t position, std::uint32_t recordLength, RecordAnswers& answers) {
    std::array<char, 2 * RECORD_BYTES_PER_MESSAGE> text{};
    std::uint32_t remaining = recordLength;
    noteAnswerWhileSending(answers);
    while (remaining > 0) {
        const std::uint8_t* next = &image.bytes[position + recordLength - remaining];
        const std::uint32_t chunk = remaining >= RECORD_BYTES_PER_MESSAGE ? RECORD_BYTES_PER_MESSAGE : remaining;
        for (std::uint32_t i = 0; i < chunk; ++i) byteToHex(next[i], &text[2 * i]);
        const MidiResult result =
            sendSysEx(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint16_t>(2 * chunk));
        if (chunk == RECORD_BYTES_PER_MESSAGE && result != MIDI_OK) return false;
        remaining -= chunk;
        pause(answers, DATA_MESSAGE_PAUSE_MS);
        // Nothing that arrives before the record is whole can be this sending's answer.
        if (remaining > 0) noteAnswerWhileSending(answers);
    }
    noteSending(answers);
    return true;
}

Verdict awaitVerdict(RecordAnswers& answers, std::uint8_t& code) {
    for (int poll = 0;; ++poll) {
        if (answers.restarted) return Verdict::Restarted;
        if (answers.written > 0) return Verdict::Written;
        if (takeAnswer(answers, code)) {
            if (code == REPLY_RECORD_OK) {
                ++answers.written;
                return Verdict::Written;
            }
            return code == REPLY_DONE_RESTART ? Verdict::Restarted : Verdict::Refused;
        }
        if (poll == RECORD_REPLY_WAIT_POLLS) return Verdict::Unanswered;
        pause(answers, POLL_INTERVAL_MS);
    }
}

// The record is written. Sendings of it that were given up on may still be answered: the next record
// goes out only once they have been, or once they are later than this target has ever been. False
// when the target answered 0x1A twice: it has written the record twice, and what follows in its
// flash is out of place.
bool settleWrittenRecord(RecordAnswers& answers) {
    while (answers.owed > 0 && answers.written == 1 && !answers.restarted) {
        const std::uint32_t newest = answers.sentAt[answers.owed - 1];
        const std::uint32_t waitFor =
            std::max<std::uint32_t>(answers.lateness, RECORD_REPLY_WAIT_POLLS * POLL_INTERVAL_MS) + LATE_ANSWER_SLACK_MS;
        if (answers.now - newest >= waitFor) break;
        std::uint8_t code = 0;
        if (takeAnswer(answers, code)) {
            if (code == REPLY_RECORD_OK) ++answers.written;
            if (code == REPLY_DONE_RESTART) answers.restarted = true;
            continue;
        }
        pause(answers, POLL_INTERVAL_MS);
    }
    const bool once = answers.written == 1;
    answers.owed = 0;
    answers.written = 0;
    return once;
}

}  // namespace

void transferImage(const UpdateImage& image) {
    int spinner = 0;
    std::uint32_t position = 0;
    int failures = 0;
    RecordAnswers answers{};
    for (;;) {
        if (position >= image.count) {
            printCompletion(false);
            return;
        }
        const std::uint32_t recordLength = image.bytes[position] * 256u + image.bytes[position + 1] + 2u;
        printProgress(spinner, position * 100u / image.count);

        if (!sendRecord(image, position, recordLength, answers)) {
            std::printf("\nError: The MIDI Out of device is missing!\n\n");
            return;
        }

        std::uint8_t code = 0;
        const Verdict verdict = awaitVerdict(answers, code);
        if (verdict == Verdict::Written) {
            const bool writtenOnce = settleWrittenRecord(answers);
            if (answers.restarted) {
                printCompletion(true);
                return;
            }
            if (!writtenOnce) {
                std::printf("\nError in updating.\n");
                return;
            }
            position += recordLength;
            failures = 0;
            continue;
        }
        // The target has finished and restarts: that is a success however many refusals came first.
        if (verdict == Verdict::Restarted) {
            printCompletion(true);
            return;
        }
        if (verdict == Verdict::Unanswered) {
            if (++failures == RECORD_FAILURE_LIMIT) {
                std::printf("\nFailed: Target is not responding.\n\n");
                return;
            }
            stepSpinnerBack(spinner);
            continue;
        }
        if (++failures == RECORD_FAILURE_LIMIT) {
            std::printf("\nError in updating.\n");
            return;
        }
        stepSpinnerBack(spinner);
        printRefusal(code);
    }
}
