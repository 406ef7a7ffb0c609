#include "update/run_update.h"

#include <cstdio>

#include "image/update_image.h"
#include "midi/midi_ports.h"
#include "protocol/discovery.h"
#include "protocol/transfer.h"
#include "protocol/wire.h"
#include "update/key_wait.h"

namespace {

// Between a valid image and the key-press wait: find the target, act on its answer, and release both
// ports whatever happened.
void runDevicePhase(const UpdateImage& image) {
    HandshakeAnswers handshakes{};
    const std::uint8_t outcome = findUpdateDevice(REPLY_READY, handshakes);
    if (outcome == REPLY_RESET_NEEDED) {
        std::printf("Please reset the product and retry again!\n\n");
    } else if (outcome != DEVICE_NOT_FOUND) {
        transferImage(image, handshakes);
    }
    closeMidiIn();
    closeMidiOut();
}

}  // namespace

int runUpdate() {
    // 128 KiB: kept out of the stack, alive for the whole run.
    static UpdateImage image;
    static char imageName[IMAGE_NAME_SIZE];

    platformStartup();
    std::printf("Update V0.5 - Update Zentravox System\n");
    if (loadUpdateImage(image, imageName) && validateUpdateImage(image)) runDevicePhase(image);
    platformShutdown();
    waitForKeyPress();
    return 0;
}
