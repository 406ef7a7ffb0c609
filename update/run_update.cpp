#include "update/run_update.h"

#include <cstdio>

#include "image/update_image.h"
#include "midi/port_pair.h"
#include "protocol/discovery.h"
#include "protocol/transfer.h"
#include "protocol/wire.h"
#include "update/key_wait.h"
#include "update/process_edges.h"

namespace {

// How far the run has come, for what an interruption says: until the transfer starts the target has
// been sent nothing but handshakes; from then on it may hold part of the image; once the outcome is
// printed, there is nothing left to say.
enum class Stage { NothingSent, Sending, Over };
Stage stage = Stage::NothingSent;

// At every pause of the MIDI work and between the phases, on the main thread: a run that has been
// asked to end says where the product stands, lets go of everything it holds and ends as asked.
void endIfInterrupted() {
    const int interruption = pendingInterruption();
    if (interruption == 0) return;
    // Whatever the closes below may wait for must not bring the run back here.
    platformSleepHook = nullptr;
    if (stage == Stage::Sending) {
        std::printf("\nThe update was interrupted: the product holds part of the new firmware. "
                    "Run update again before using it.\n");
    } else if (stage == Stage::NothingSent) {
        std::printf("\nThe update was interrupted: the product has not been changed.\n");
    }
    closeMidiIn();
    closeMidiOut();
    releaseUpdateLock();
    platformShutdown();
    endByInterruption(interruption);
}

// Between a valid image and the key-press wait: find the target, act on its answer, and release both
// ports whatever happened. Another update on the same machine would mix its messages with this one's
// on shared ports: then no port is opened at all.
void runDevicePhase(const UpdateImage& image) {
    endIfInterrupted();
    if (!claimUpdateLock()) {
        std::printf("Error: Another update is running on this computer!\n\n");
        return;
    }
    HandshakeAnswers handshakes{};
    const std::uint8_t outcome = findUpdateDevice(REPLY_READY, handshakes);
    if (outcome == REPLY_RESET_NEEDED) {
        std::printf("Please reset the product and retry again!\n\n");
    } else if (outcome != DEVICE_NOT_FOUND) {
        stage = Stage::Sending;
        transferImage(image, handshakes);
    }
    stage = Stage::Over;
    closeMidiIn();
    closeMidiOut();
    releaseUpdateLock();
}

}  // namespace

int runUpdate() {
    // 128 KiB: kept out of the stack, alive for the whole run.
    static UpdateImage image;
    static char imageName[IMAGE_NAME_SIZE];

    stage = Stage::NothingSent;
    platformSleepHook = endIfInterrupted;
    platformStartup();
    std::printf("Update V0.5 - Update Zentravox System\n");
    if (loadUpdateImage(image, imageName) && validateUpdateImage(image)) runDevicePhase(image);
    stage = Stage::Over;
    endIfInterrupted();
    platformSleepHook = nullptr;
    // The key-press wait has handlers of its own, which give the terminal back as they end the process.
    stopCatchingInterruptions();
    platformShutdown();
    waitForKeyPress();
    return 0;
}
