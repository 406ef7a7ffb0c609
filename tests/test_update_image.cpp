// The image phase: which file is taken, what is loaded, and which images validation accepts. Every
// malformed record must end validation with the error message, whatever its length field says.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "image/update_image.h"
#include "support/scenario.h"

namespace {

UpdateImage image;

UpdateImage& imageOf(const Bytes& bytes) {
    image.bytes.fill(0);
    std::copy(bytes.begin(), bytes.end(), image.bytes.begin());
    image.count = static_cast<std::uint16_t>(bytes.size());
    return image;
}

struct Validation {
    bool ok;
    std::string printed;
};

Validation validate(const Bytes& bytes) {
    UpdateImage& loaded = imageOf(bytes);
    testing::internal::CaptureStdout();
    const bool ok = validateUpdateImage(loaded);
    return {ok, testing::internal::GetCapturedStdout()};
}

struct Load {
    bool ok;
    std::string printed;
    std::string name;
};

Load load() {
    char name[IMAGE_NAME_SIZE];
    testing::internal::CaptureStdout();
    const bool ok = loadUpdateImage(image, name);
    return {ok, testing::internal::GetCapturedStdout(), name};
}

const std::string BAD_IMAGE = "Error: The upgrade file is error!\n\n";

TEST(Validation, AcceptsSoundRecords) {
    EXPECT_TRUE(validate({0x00, 0x04, 0x01, 0x02, 0xFD, 0xFF}).ok);
    EXPECT_TRUE(validate({0x00, 0x02, 0x00, 0x00}).ok);   // an empty payload
    const Validation many = validate(concat({makeRecordOfLength(6), makeRecordOfLength(300), makeRecordOfLength(23)}));
    EXPECT_TRUE(many.ok);
    EXPECT_EQ(many.printed, "");
}

TEST(Validation, RefusesAWrongPayloadByteInTheLastRecord) {
    Bytes bytes = concat({makeRecordOfLength(6), makeRecordOfLength(40)});
    bytes[bytes.size() - 5] ^= 0x01;
    const Validation result = validate(bytes);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.printed, BAD_IMAGE);
}

TEST(Validation, RefusesAWrongChecksumWord) {
    const Validation result = validate({0x00, 0x04, 0x01, 0x02, 0xFE, 0xFF});
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.printed, BAD_IMAGE);
}

TEST(Validation, RefusesEveryMalformedRecordAndAlwaysEnds) {
    const Bytes sound = makeRecordOfLength(6);
    const std::vector<Bytes> malformed = {
        {},                                            // no record at all: nothing to send
        {0x00, 0x00, 0x00, 0x00},                      // length field 0: would never move on
        {0x00, 0x01, 0x00, 0x00},                      // length field 1
        {0x00, 0x00},                                  // length field 0, nothing after it
        concat({sound, {0x00}}),                       // a length field cut in half
        concat({sound, {0x00, 0x08, 0x01, 0x02}}),     // a last record cut short
        {0x00, 0x06, 0x01, 0x02, 0xFD, 0xFF},          // length says more than the file holds
        {0xFF, 0xFE, 0x00, 0x00},                      // record length wraps to 0 in 16 bits
        {0xFF, 0xFF, 0x00, 0x00},                      // record length wraps to 1 in 16 bits
    };
    for (const Bytes& bytes : malformed) {
        const Validation result = validate(bytes);
        EXPECT_FALSE(result.ok) << testing::PrintToString(bytes);
        EXPECT_EQ(result.printed, BAD_IMAGE);
    }
}

TEST(Validation, AZeroSumOverBytesPastTheImageIsNoExcuse) {
    // A record that reaches past the loaded bytes would add up over the buffer's zeros.
    const Validation result = validate({0x00, 0x06, 0x00, 0x00});
    EXPECT_FALSE(result.ok);
}

TEST(ImageFile, NoMatchingFileNamesThePattern) {
    ScratchFolder folder;
    writeFile("ZENTRAVOX.txt", "00 04 01 02 FD FF");
    const Load result = load();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.printed, "Error: File '*.led' is not found.\n\n");
}

TEST(ImageFile, ThePrefixIsTestedOnNineCharactersIgnoringCase) {
    const std::vector<std::pair<std::string, bool>> names = {
        {"zentravox_v2.led", true}, {"ZENTRAVOX.LED", true}, {"ZenTraVox-2026.Led", true},
        {"new_ZENTRAVOX.led", false}, {"z.led", false}, {"ZENTRAVO.led", false}, {"ZENTRAV0X.led", false}};
    for (const auto& [name, accepted] : names) {
        ScratchFolder folder;
        writeFile(name, "00 04 01 02 FD FF\n");
        const Load result = load();
        EXPECT_EQ(result.ok, accepted) << name;
        if (accepted) {
            EXPECT_EQ(result.printed, "OK: File '" + name + "' is open.\n");
            EXPECT_EQ(image.count, 6);
        } else {
            EXPECT_EQ(result.printed, "Error: The fit file is not found.\n\n") << name;
        }
    }
}

TEST(ImageFile, OnlyTheFirstMatchingEntryIsConsidered) {
    ScratchFolder folder;
    writeFile("ZENTRAVOX_good.led", "00 04 01 02 FD FF");
    writeFile("another.LED", "00 04 01 02 FD FF");
    const Load result = load();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.printed, "Error: The fit file is not found.\n\n");
}

TEST(ImageFile, EntriesAreTakenInNameOrderIgnoringCase) {
    ScratchFolder folder;
    writeFile("zentravox_b.led", "00 04 01 02 FD FF");
    writeFile("ZENTRAVOX_A.led", "00 02 00 00");
    const Load result = load();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.name, "ZENTRAVOX_A.led");
    EXPECT_EQ(image.count, 4);
}

TEST(ImageFile, AnEntryThatIsNotARegularFileFailsToOpenWithoutHanging) {
    {
        ScratchFolder folder;
        std::filesystem::create_directory("ZENTRAVOX.led");
        EXPECT_EQ(load().printed, "Error: File 'ZENTRAVOX.led' is not found.\n\n");
    }
    {
        ScratchFolder folder;
        ASSERT_EQ(mkfifo("ZENTRAVOX.led", 0600), 0);
        EXPECT_EQ(load().printed, "Error: File 'ZENTRAVOX.led' is not found.\n\n");
    }
}

// Files that hold no record at all, as users end up with them: nothing is sent, and no port is opened.
TEST(ImageFile, TextWithNoRecordIsRefusedBeforeAnyPortIsOpened) {
    const std::vector<std::pair<const char*, std::string>> files = {
        {"empty", ""},
        {"line ends only", "\r\n"},
        {"a comment first", "; comment\n00 04"},
        {"a byte-order mark", "\xEF\xBB\xBF" "00 04 01 02 FD FF\r\n"},
        {"UTF-16 with its mark", std::string("\xFF\xFE" "0\0" "0\0" " \0" "0\0" "4\0", 12)},
        {"UTF-16 without a mark", std::string("0\0" "0\0" " \0" "0\0" "4\0", 10)},
        {"a web page", "<!DOCTYPE html>\n<html><body>404 Not Found</body></html>\n"},
        {"Intel HEX", ":0600000000040102FDFFF9\n:00000001FF\n"}};
    for (const auto& [what, text] : files) {
        ScratchFolder folder;
        writeFile("ZENTRAVOX.led", text);
        EXPECT_EQ(runUpdateWith(SimScenario{}),
                  BANNER + "OK: File 'ZENTRAVOX.led' is open.\n" + BAD_IMAGE + KEY_PROMPT)
            << what;
        EXPECT_EQ(simPortCalls(), "") << what;
    }
}

TEST(ImageFile, TrailingGarbageEndsLoadingAfterTheRecordsBeforeIt) {
    ScratchFolder folder;
    writeFile("ZENTRAVOX.led", "00 04 01 02 FD FF\n00 02 00 00\n# built by hand\n");
    const Load result = load();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(image.count, 10);
    EXPECT_TRUE(validate(Bytes(image.bytes.begin(), image.bytes.begin() + 10)).ok);
}

TEST(ImageFile, SixtyFiveThousandFiveHundredThirtyFiveBytesAreTheMostThatLoad) {
    ScratchFolder folder;
    writeImageText("ZENTRAVOX.led", Bytes(65535, 0x5A));
    Load result = load();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(image.count, 65535);

    writeImageText("ZENTRAVOX.led", Bytes(65536, 0x5A));
    image.bytes.fill(0);
    result = load();
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.printed, "OK: File 'ZENTRAVOX.led' is open.\n" + BAD_IMAGE);
    // Nothing wrapped round to overwrite the start, nothing was stored past the limit.
    EXPECT_EQ(image.bytes[0], 0x5A);
    EXPECT_EQ(image.bytes[65534], 0x5A);
    EXPECT_EQ(image.bytes[65535], 0x00);
}

TEST(ImageFile, TheLongestFileNameIsHeldWhole) {
    ScratchFolder folder;
    const std::string name = "ZENTRAVOX_" + std::string(241, 'x') + ".led";
    ASSERT_EQ(name.size(), 255u);
    writeFile(name, "00 02 00 00");
    const Load result = load();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.name, name);
    EXPECT_EQ(result.printed, "OK: File '" + name + "' is open.\n");
}

// A name is the user's, and anything may be in it: what would act on the terminal is shown as an
// escape, in both lines that print it, and the file is still taken as it is named.
TEST(ImageFile, ControlCharactersOfANameAreShownAsEscapes) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"ZENTRAVOX\x1b[2J\x1b[31m.led", "ZENTRAVOX\\x1b[2J\\x1b[31m.led"},
        {"ZENTRAVOX\rTarget update successfully!.led", "ZENTRAVOX\\rTarget update successfully!.led"},
        {"ZENTRAVOX\n\t\b\x7f\x01\x1f.led", "ZENTRAVOX\\n\\t\\x08\\x7f\\x01\\x1f.led"},
        // C1 controls in UTF-8: CSI (U+009B), and the first and last of them.
        {"ZENTRAVOX\xc2\x9b" "2J\xc2\x80\xc2\x9f.led", "ZENTRAVOX\\xc2\\x9b" "2J\\xc2\\x80\\xc2\\x9f.led"}};
    for (const auto& [name, shown] : names) {
        ScratchFolder folder;
        writeFile(name, "00 04 01 02 FD FF\n");
        const Load result = load();
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.name, name);
        EXPECT_EQ(result.printed, "OK: File '" + shown + "' is open.\n");
        EXPECT_EQ(image.count, 6);

        std::filesystem::remove(name);
        std::filesystem::create_directory(name);
        EXPECT_EQ(load().printed, "Error: File '" + shown + "' is not found.\n\n");
    }
}

TEST(ImageFile, OrdinaryNamesPrintAsTheyAre) {
    const std::vector<std::string> names = {
        "ZENTRAVOX_V2 (copy).led", "ZENTRAVOX_\\x1b.led", "ZENTRAVOX_été_€_日本.led",
        // Latin-1 and a Windows code page: é, ÿ, and bytes 0x80-0x9F that are letters there (€, Š).
        "ZENTRAVOX_\xe9\xff.led", "ZENTRAVOX_\x80\x8a\x9f.led", "ZENTRAVOX_\xc2\xa0\xc2\xbf.led",
        "ZENTRAVOX_" + std::string(241, 'x') + ".led"};
    for (const std::string& name : names) {
        ScratchFolder folder;
        writeFile(name, "00 04 01 02 FD FF\n");
        EXPECT_EQ(load().printed, "OK: File '" + name + "' is open.\n");
    }
}

TEST(ImageFile, ANameOfNothingButControlCharactersIsShownWhole) {
    // The longest name, every byte of it escaped: four times as long on the console, and none lost.
    ScratchFolder folder;
    const std::string name = "ZENTRAVOX" + std::string(242, '\x1b') + ".led";
    ASSERT_EQ(name.size(), 255u);
    writeFile(name, "00 04 01 02 FD FF\n");
    std::string shown = "ZENTRAVOX";
    for (int i = 0; i < 242; ++i) shown += "\\x1b";
    EXPECT_EQ(load().printed, "OK: File '" + shown + ".led' is open.\n");
}

}  // namespace
