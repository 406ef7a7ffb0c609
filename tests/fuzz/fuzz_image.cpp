// The image phase under arbitrary file content: any bytes at all are written as the image file and go
// through loading and validation. Besides never crashing or reading out of bounds (sanitizers), the
// outcome must agree with two checks written here from the rules alone: a decoder of the hex text
// (hex_reader.h) and a walk over the records (update_image.h), both over the whole input, in wide
// arithmetic. What the program prints must match their verdict too.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/update_image.h"
#include "support/scenario.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "fuzz_image: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::abort();
}

// --- the hex text, decoded from the rules, with no file and no look-ahead buffer ---

bool blank(std::uint8_t c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

int hexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return 10 + c - 'a';
    if (c >= 'A' && c <= 'F') return 10 + c - 'A';
    return -1;
}

// Every value the text holds, stopping one past the largest image so that "too large" is visible.
std::vector<std::uint8_t> decodeText(const std::uint8_t* text, std::size_t size, std::size_t stopAfter) {
    std::vector<std::uint8_t> values;
    std::size_t at = 0;
    const auto charAt = [&](std::size_t i) -> int { return i < size ? text[i] : -1; };
    while (values.size() < stopAfter) {
        while (at < size && blank(text[at])) ++at;
        // A field is two places wide; a sign uses up one of them.
        std::size_t room = 2;
        long sign = 1;
        if (charAt(at) == '-' || charAt(at) == '+') {
            sign = charAt(at) == '-' ? -1 : 1;
            room = 1;
            ++at;
        }
        const bool zeroX = charAt(at) == '0' && (charAt(at + 1) == 'x' || charAt(at + 1) == 'X');
        if (zeroX) at += 2;
        long magnitude = 0;
        std::size_t used = 0;
        for (; used < room && at < size && hexDigit(text[at]) >= 0; ++used, ++at) magnitude = magnitude * 16 + hexDigit(text[at]);
        if (used == 0 && !zeroX) break;   // nothing here can begin a value: the text ends
        values.push_back(static_cast<std::uint8_t>((sign * magnitude) & 0xFF));
    }
    return values;
}

// --- the records, walked from the layout alone: at least one, each sound, ending with the text ---

bool recordsCheckOut(const std::vector<std::uint8_t>& image) {
    if (image.empty()) return false;   // no record: no firmware to send
    const std::uint64_t end = image.size();
    std::uint64_t at = 0;
    while (at != end) {
        if (end - at < 2) return false;
        const std::uint64_t length = (std::uint64_t{image[at]} << 8) | image[at + 1];
        if (length < 2 || at + length + 2 > end) return false;
        std::uint64_t sum = 0;
        for (std::uint64_t i = at + 2; i < at + length; ++i) sum += image[i];
        sum += image[at + length] + (std::uint64_t{image[at + length + 1]} << 8);
        if (sum % 65536 != 0) return false;
        at += length + 2;
    }
    return true;
}

// --- the scratch folder the program runs in ---

// The program looks for the image in the current folder; the fuzzer resolves its own paths (corpus,
// artifacts) against the folder it was started in. So each run enters the scratch folder and leaves it.
struct Workspace {
    char folder[32];
    int home = -1;   // the folder the process started in
};

Workspace& workspace() {
    static Workspace space = [] {
        Workspace made{"/tmp/fuzz-image-XXXXXX"};
        if (mkdtemp(made.folder) == nullptr) fail("cannot make a scratch folder");
        made.home = open(".", O_RDONLY | O_DIRECTORY);
        if (made.home < 0) fail("cannot hold on to the starting folder");
        std::atexit([] {
            const std::string folder = workspace().folder;
            std::remove((folder + "/ZENTRAVOX.led").c_str());
            rmdir(folder.c_str());
        });
        return made;
    }();
    return space;
}

void writeImageFile(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen("ZENTRAVOX.led", "wb");
    if (file == nullptr) fail("cannot write the image file");
    if (size > 0 && std::fwrite(data, 1, size, file) != size) fail("short write of the image file");
    std::fclose(file);
}

std::string hexPreview(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < 24; ++i) text += hexOf(bytes, i, 1) + " ";
    return text + "(" + std::to_string(bytes.size()) + " bytes)";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Workspace& space = workspace();
    if (chdir(space.folder) != 0) fail("cannot enter the scratch folder");
    writeImageFile(data, size);

    static UpdateImage image;
    static char name[IMAGE_NAME_SIZE];
    bool loaded = false;
    bool valid = false;
    const std::string console = runCaptured([&] {
        loaded = loadUpdateImage(image, name);
        valid = loaded && validateUpdateImage(image);
    });
    if (fchdir(space.home) != 0) fail("cannot return to the starting folder");

    const std::vector<std::uint8_t> expected = decodeText(data, size, std::size_t{MAX_IMAGE_BYTES} + 1);
    const bool tooLarge = expected.size() > MAX_IMAGE_BYTES;
    if (loaded == tooLarge) fail(loaded ? "an image of more than 65,535 bytes was loaded" : "a loadable image was refused");
    if (loaded) {
        if (image.count != expected.size())
            fail("loaded byte count differs from the text", std::to_string(image.count) + " loaded, " +
                                                                 std::to_string(expected.size()) + " in the text");
        const std::vector<std::uint8_t> got(image.bytes.begin(), image.bytes.begin() + image.count);
        if (got != expected) fail("loaded bytes differ from the text", hexPreview(got) + " vs " + hexPreview(expected));
        if (valid != recordsCheckOut(expected))
            fail(valid ? "an image with a bad record was accepted" : "an image of sound records was refused",
                 hexPreview(expected));
    }
    if (std::string(name) != "ZENTRAVOX.led") fail("the image file's name came back wrong", name);

    const std::string opened = "OK: File 'ZENTRAVOX.led' is open.\n";
    const std::string expectedConsole = opened + (valid ? "" : "Error: The upgrade file is error!\n\n");
    if (console != expectedConsole) fail("unexpected console text", console);
    return 0;
}
