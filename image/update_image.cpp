#include "image/update_image.h"

#include <cstdio>
#include <cstring>

#include "image/hex_reader.h"

namespace {

constexpr char IMAGE_PATTERN[] = "*.led";
constexpr char IMAGE_PREFIX[] = "ZENTRAVOX";
constexpr std::size_t IMAGE_PREFIX_LENGTH = sizeof IMAGE_PREFIX - 1;

char foldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void reportBadImage() { std::printf("Error: The upgrade file is error!\n\n"); }

// A name as the console shows it. A control character in it would act on the terminal instead of
// showing: an escape sequence clears or recolours the screen, a carriage return lets the rest of the
// name overwrite the line ("Target update successfully!" before anything was sent). Each is shown as
// an escape a user can read: \r, \n, \t, else \xNN. Control characters are the bytes below 0x20, 0x7F,
// and the C1 controls written in UTF-8 (C2 80 to C2 9F), which a UTF-8 terminal obeys as well. Every
// other byte is shown as it is: names in UTF-8, Latin-1 or a Windows code page print as they always did.
constexpr std::size_t SHOWN_NAME_SIZE = 4 * (IMAGE_NAME_SIZE - 1) + 1;   // each byte at most \xNN

void appendEscaped(unsigned char byte, char* shown, std::size_t& length) {
    constexpr char digits[] = "0123456789abcdef";
    shown[length++] = '\\';
    if (byte == '\r' || byte == '\n' || byte == '\t') {
        shown[length++] = byte == '\r' ? 'r' : byte == '\n' ? 'n' : 't';
        return;
    }
    shown[length++] = 'x';
    shown[length++] = digits[byte >> 4];
    shown[length++] = digits[byte & 0x0F];
}

const char* shownName(const char* name) {
    static char shown[SHOWN_NAME_SIZE];
    std::size_t length = 0;
    for (std::size_t i = 0; name[i] != '\0' && i < IMAGE_NAME_SIZE - 1; ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const auto next = static_cast<unsigned char>(name[i + 1]);
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            appendEscaped(byte, shown, length);
            appendEscaped(next, shown, length);
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            appendEscaped(byte, shown, length);
        } else {
            shown[length++] = static_cast<char>(byte);
        }
    }
    shown[length] = '\0';
    return shown;
}

}  // namespace

bool hasImagePrefix(const char* name) {
    // Exactly the prefix's length is compared: a shorter name differs at its terminating zero.
    for (std::size_t i = 0; i < IMAGE_PREFIX_LENGTH; ++i) {
        if (foldCase(name[i]) != foldCase(IMAGE_PREFIX[i])) return false;
    }
    return true;
}

bool loadUpdateImage(UpdateImage& image, char (&name)[IMAGE_NAME_SIZE]) {
    std::memset(name, 0, sizeof name);
    std::memcpy(name, IMAGE_PATTERN, sizeof IMAGE_PATTERN);
    if (!findFirstImageEntry(name)) {
        std::printf("Error: File '%s' is not found.\n\n", name);
        return false;
    }
    // Only the first matching entry counts, even when a later one would have the prefix.
    if (!hasImagePrefix(name)) {
        std::printf("Error: The fit file is not found.\n\n");
        return false;
    }
    std::FILE* file = openImageFile(name);
    if (file == nullptr) {
        std::printf("Error: File '%s' is not found.\n\n", shownName(name));
        return false;
    }
    std::printf("OK: File '%s' is open.\n", shownName(name));

    image.count = 0;
    HexReader reader = makeHexReader(file);
    std::uint8_t value = 0;
    bool tooLarge = false;
    while (readHexValue(reader, value)) {
        // Positions and the count are 16-bit: a longer image cannot be sent, so it is refused whole.
        if (image.count == MAX_IMAGE_BYTES) {
            tooLarge = true;
            break;
        }
        image.bytes[image.count++] = value;
    }
    std::fclose(file);
    if (tooLarge) {
        reportBadImage();
        return false;
    }
    return true;
}

bool validateUpdateImage(const UpdateImage& image) {
    // Text with no hex value at its start (an empty file, a byte-order mark, UTF-16, a web page saved
    // instead of the image) reads as nothing: there is no firmware in it to send.
    if (image.count == 0) {
        reportBadImage();
        return false;
    }
    // Wide arithmetic throughout: a length field must never wrap a position back into the image.
    std::uint32_t position = 0;
    const std::uint32_t count = image.count;
    while (position < count) {
        if (position + 2 > count) {
            reportBadImage();
            return false;
        }
        const std::uint32_t lengthField = image.bytes[position] * 256u + image.bytes[position + 1];
        const std::uint32_t recordLength = lengthField + 2;
        if (lengthField < 2 || position + recordLength > count) {
            reportBadImage();
            return false;
        }
        std::uint16_t sum = 0;
        const std::uint32_t checksumAt = position + lengthField;
        for (std::uint32_t i = position + 2; i < checksumAt; ++i) sum = static_cast<std::uint16_t>(sum + image.bytes[i]);
        sum = static_cast<std::uint16_t>(sum + image.bytes[checksumAt] + 256u * image.bytes[checksumAt + 1]);
        if (sum != 0) {
            reportBadImage();
            return false;
        }
        position += recordLength;
    }
    return true;
}
