// The image file's hex text: which bytes a text gives, under the reading rules of the image format
// (separators, two places a value, signs, the 0x prefix, where reading stops). Texts of plain digits
// and blanks are also checked against the C library's own "%2X", which agrees with the rules there.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "image/hex_reader.h"
#include "support/scenario.h"

namespace {

Bytes bytesOf(const std::string& text) {
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (text.empty()) file = std::fopen("/dev/null", "rb");
    HexReader reader = makeHexReader(file);
    Bytes bytes;
    std::uint8_t value = 0;
    while (readHexValue(reader, value)) bytes.push_back(value);
    std::fclose(file);
    return bytes;
}

Bytes bytesByScanf(const std::string& text) {
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    Bytes bytes;
    unsigned value = 0;
    while (std::fscanf(file, "%2X", &value) == 1) bytes.push_back(static_cast<std::uint8_t>(value));
    std::fclose(file);
    return bytes;
}

TEST(HexText, ValuesAreTwoPlacesWithOrWithoutSeparators) {
    EXPECT_EQ(bytesOf("0A1B"), (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(bytesOf("0A 1B"), (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(bytesOf("A\n1B"), (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(bytesOf("ABC"), (Bytes{0xAB, 0x0C}));
    EXPECT_EQ(bytesOf("12345"), (Bytes{0x12, 0x34, 0x05}));
    EXPECT_EQ(bytesOf("ab Cd eF"), (Bytes{0xAB, 0xCD, 0xEF}));
}

TEST(HexText, EveryBlankAndControlSeparatorIsSkippedWithoutTakingAPlace) {
    EXPECT_EQ(bytesOf(" \t\n\v\f\r1\r\n2 3"), (Bytes{0x01, 0x02, 0x03}));
    EXPECT_EQ(bytesOf("\t\tFF"), (Bytes{0xFF}));
}

TEST(HexText, ASignTakesOnePlaceAndNegativesKeepTheirLowEightBits) {
    EXPECT_EQ(bytesOf("-F"), (Bytes{0xF1}));
    EXPECT_EQ(bytesOf("+F"), (Bytes{0x0F}));
    EXPECT_EQ(bytesOf("-FF"), (Bytes{0xF1, 0x0F}));
    EXPECT_EQ(bytesOf("-1 +2"), (Bytes{0xFF, 0x02}));
    EXPECT_EQ(bytesOf("-0"), (Bytes{0x00}));
}

TEST(HexText, AZeroXPrefixTakesNoPlace) {
    EXPECT_EQ(bytesOf("0x1F"), (Bytes{0x1F}));
    EXPECT_EQ(bytesOf("0XAB"), (Bytes{0xAB}));
    EXPECT_EQ(bytesOf("0xABC"), (Bytes{0xAB, 0x0C}));
    EXPECT_EQ(bytesOf("0x0A 0x0B"), (Bytes{0x0A, 0x0B}));
    EXPECT_EQ(bytesOf("-0x1F"), (Bytes{0xFF, 0x0F}));
    EXPECT_EQ(bytesOf("0xg"), (Bytes{0x00}));
}

TEST(HexText, ReadingStopsQuietlyAtTheFirstCharacterThatCannotBeginAValue) {
    EXPECT_EQ(bytesOf("0A zz 1B"), (Bytes{0x0A}));
    EXPECT_EQ(bytesOf("0A;1B"), (Bytes{0x0A}));
    EXPECT_EQ(bytesOf("0A - 1B"), (Bytes{0x0A}));
    EXPECT_EQ(bytesOf("+"), Bytes{});
    EXPECT_EQ(bytesOf("G0"), Bytes{});
}

TEST(HexText, EndOfFileEndsReading) {
    EXPECT_EQ(bytesOf(""), Bytes{});
    EXPECT_EQ(bytesOf(" \r\n\t"), Bytes{});
    EXPECT_EQ(bytesOf("0A\r\n"), (Bytes{0x0A}));
}

TEST(HexText, PlainDigitsAndBlanksReadAsTheCLibraryReadsThem) {
    std::mt19937 random(20261207);
    const std::string alphabet = "0123456789abcdefABCDEF \t\r\n";
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
        if (text.empty()) continue;
        ASSERT_EQ(bytesOf(text), bytesByScanf(text)) << "text: '" << text << "'";
    }
}

}  // namespace
