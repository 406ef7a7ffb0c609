#include "protocol/transfer.h"

#include <array>
#include <cstdio>

#include "midi/port_pair.h"
#include "midi/sysex.h"
#include "protocol/reply_ledger.h"
#include "protocol/wire.h"

namespace {

// Each character twice, so the figure turns one step every second record.
constexpr char SPINNER[] = "--\\\\||//";
constexpr int SPINNER_LENGTH = sizeof SPINNER - 1;

struct Transfer {
    ReplyLedger ledger;
    std::uint32_t now;           // ms of pauses and polls since the transfer began
    // What the replies taken so far ask of the transfer.
    bool sendAgain;              // the latest sending failed: the record goes out again
    const char* refusal;         // ... with the target's words for why, if it gave any
    bool restarted;              // the target is done and restarts
    bool broken;                 // the answers no longer add up: no success can be reported
    std::uint32_t lostBefore;    // messages the mailbox had lost before the transfer began
};

void pause(Transfer& transfer, unsigned milliseconds) {
    platformSleep(milliseconds);
    transfer.now += milliseconds;
}

// Takes every reply that has arrived, in order, and acts on what the ledger says each one means. A
// burst is read whole before anything is decided: an acceptance right behind another device's message
// still counts.
void takeReplies(Transfer& transfer) {
    ReceivedMessage message;
    while (takeMessage(message)) {
        const std::uint8_t code = message.bytes[1];
        switch (ledgerReply(transfer.ledger, code, transfer.now)) {
            case ReplyMeaning::DROPPED:
            case ReplyMeaning::REFUSED_EARLIER:
            case ReplyMeaning::WRITTEN: break;
            case ReplyMeaning::FOREIGN:
                transfer.sendAgain = true;
                break;
            case ReplyMeaning::REFUSED:
                transfer.sendAgain = true;
                transfer.refusal = replyCodeOf(code).message;
                break;
            case ReplyMeaning::RESTARTED: transfer.restarted = true; break;
            case ReplyMeaning::WRITTEN_AGAIN:
            case ReplyMeaning::SURPLUS: transfer.broken = true; break;
        }
    }
    // A reply lost for want of room may have been any answer at all.
    if (mailboxLost() != transfer.lostBefore) transfer.broken = true;
}

bool finished(const Transfer& transfer) { return transfer.restarted || transfer.broken; }

void printProgress(int& spinner, std::uint32_t percent) {
    std::printf("\r                        \rTransferring.. %c %d%% done", SPINNER[spinner], static_cast<int>(percent));
    spinner = (spinner + 1) % SPINNER_LENGTH;
    std::fflush(stdout);
}

// A record sent again shows the same spinner character again.
void stepSpinnerBack(int& spinner) { spinner = (spinner + SPINNER_LENGTH - 1) % SPINNER_LENGTH; }

// The restart code ends the transfer as a success however many failures came first; answers that do
// not add up end it in failure, whatever else was said.
void printEnding(const Transfer& transfer) {
    if (transfer.broken) {
        std::printf("\nError in updating.\n");
        return;
    }
    std::printf("\rTransferring.. 100%% done.  \n");
    if (transfer.restarted) {
        std::printf("Target update successfully!\n");
        std::printf("\nThe System is restarted, please wait!\n\n");
    } else {
        std::printf("\nTarget update successfully!\n\n");
    }
}

// Sends one record from its first byte, 11 bytes a message, looking at the replies after each. False
// when the output failed on a full message; the last, shorter message's result is not looked at.
bool sendRecord(const UpdateImage& image, std::uint32_t position, std::uint32_t recordLength, Transfer& transfer) {
    std::array<char, 2 * RECORD_BYTES_PER_MESSAGE> text{};
    std::uint32_t remaining = recordLength;
    ledgerSendingBegins(transfer.ledger);
    transfer.sendAgain = false;
    transfer.refusal = "";
    // What came before this sending began cannot answer it, nor ask for it again.
    takeReplies(transfer);
    while (remaining > 0 && !finished(transfer)) {
        const std::uint8_t* next = &image.bytes[position + recordLength - remaining];
        const std::uint32_t chunk = remaining >= RECORD_BYTES_PER_MESSAGE ? RECORD_BYTES_PER_MESSAGE : remaining;
        for (std::uint32_t i = 0; i < chunk; ++i) byteToHex(next[i], &text[2 * i]);
        const MidiResult result =
            sendSysEx(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint16_t>(2 * chunk));
        if (chunk == RECORD_BYTES_PER_MESSAGE && result != MIDI_OK) return false;
        remaining -= chunk;
        // The target has the whole record once its last message is out, and may answer at once.
        if (remaining == 0) ledgerSendingWhole(transfer.ledger, transfer.now);
        pause(transfer, DATA_MESSAGE_PAUSE_MS);
        takeReplies(transfer);
    }
    return true;
}

enum class Verdict { WRITTEN, SEND_AGAIN, UNANSWERED, FINISHED };

// Waits for the answer to the sending that just went out whole, counting the polls from there.
Verdict awaitVerdict(Transfer& transfer) {
    for (int poll = 0;; ++poll) {
        if (finished(transfer)) return Verdict::FINISHED;
        if (transfer.ledger.written > 0) return Verdict::WRITTEN;
        if (transfer.sendAgain) return Verdict::SEND_AGAIN;
        if (poll == RECORD_REPLY_WAIT_POLLS) return Verdict::UNANSWERED;
        pause(transfer, POLL_INTERVAL_MS);
        takeReplies(transfer);
    }
}

// The record is written; sendings of it given up on may still be answered, and the next record goes
// out only once they have been, or are later than this target has ever been.
void settleRecord(Transfer& transfer) {
    while (!finished(transfer) && !ledgerRecordSettled(transfer.ledger, transfer.now)) {
        pause(transfer, POLL_INTERVAL_MS);
        takeReplies(transfer);
    }
}

// Every record is written. Before that is called a success, the input is watched a while longer: an
// answer now would be one more than there were sendings.
void watchForSurplus(Transfer& transfer) {
    const std::uint32_t until = transfer.now + ledgerQuietWatchMs(transfer.ledger);
    while (!finished(transfer) && transfer.now < until) {
        pause(transfer, POLL_INTERVAL_MS);
        takeReplies(transfer);
    }
}

}  // namespace

void transferImage(const UpdateImage& image, const HandshakeAnswers& handshakes) {
    int spinner = 0;
    std::uint32_t position = 0;
    int failures = 0;
    Transfer transfer{};
    ledgerStart(transfer.ledger, handshakes.owed, handshakes.lateMs);
    // Whatever was lost before, it came before the first record.
    transfer.lostBefore = mailboxLost();
    for (;;) {
        if (position >= image.count) {
            watchForSurplus(transfer);
            printEnding(transfer);
            return;
        }
        const std::uint32_t recordLength = image.bytes[position] * 256u + image.bytes[position + 1] + 2u;
        printProgress(spinner, position * 100u / image.count);

        if (!sendRecord(image, position, recordLength, transfer)) {
            std::printf("\nError: The MIDI Out of device is missing!\n\n");
            return;
        }
        switch (awaitVerdict(transfer)) {
            case Verdict::FINISHED: printEnding(transfer); return;
            case Verdict::WRITTEN:
                settleRecord(transfer);
                if (finished(transfer)) {
                    printEnding(transfer);
                    return;
                }
                ledgerNextRecord(transfer.ledger);
                position += recordLength;
                failures = 0;
                break;
            case Verdict::UNANSWERED:
                if (++failures == RECORD_FAILURE_LIMIT) {
                    std::printf("\nFailed: Target is not responding.\n\n");
                    return;
                }
                stepSpinnerBack(spinner);
                break;
            case Verdict::SEND_AGAIN:
                if (++failures == RECORD_FAILURE_LIMIT) {
                    std::printf("\nError in updating.\n");
                    return;
                }
                stepSpinnerBack(spinner);
                std::printf("%s", transfer.refusal);
                break;
        }
    }
}
