// The update image: loaded from the image file's hex text, checked record by record.
//
// An image is a gap-free run of records. A record at position p: a big-endian length L (p, p+1), the
// payload of L-2 bytes, and a little-endian checksum word W (p+L, p+L+1); it occupies L+2 bytes. It is
// sound when the 16-bit sum of its payload bytes plus W is 0. Example: 00 04 01 02 FD FF.
#pragma once

#include <array>
#include <cstdint>

#include "image/image_dir.h"

// Twice 65,536: a 16-bit position plus a 16-bit record length never reaches past the buffer.
constexpr std::size_t IMAGE_BUFFER_SIZE = 131072;
constexpr std::uint16_t MAX_IMAGE_BYTES = 65535;

struct UpdateImage {
    std::array<std::uint8_t, IMAGE_BUFFER_SIZE> bytes;
    std::uint16_t count;
};

// Finds the image file, reads it into `image` and prints what happened. `name` ends up holding the
// file's name (or the pattern, when nothing matched).
bool loadUpdateImage(UpdateImage& image, char (&name)[IMAGE_NAME_SIZE]);

// Checks every record; prints the error and fails on the first one that is malformed or does not add up.
bool validateUpdateImage(const UpdateImage& image);

// True when the name begins with the product's prefix, letter case ignored.
bool hasImagePrefix(const char* name);
