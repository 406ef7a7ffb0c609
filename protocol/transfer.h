// Sending the image to the target, record by record, with the progress line.
#pragma once

#include "image/update_image.h"
#include "protocol/discovery.h"

// Needs the pair that discovery left open; leaves it open. Prints its own outcome. `handshakes`: what
// discovery's handshakes on the pair have shown of the target.
void transferImage(const UpdateImage& image, const HandshakeAnswers& handshakes);
