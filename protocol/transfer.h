// Sending the image to the target, record by record, with the progress line.
#pragma once

#include "image/update_image.h"

// Needs the pair that discovery left open; leaves it open. Prints its own outcome.
void transferImage(const UpdateImage& image);
