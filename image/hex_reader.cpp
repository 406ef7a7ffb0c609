#include "image/hex_reader.h"

namespace {

int peekChar(HexReader& reader, int ahead) {
    while (reader.buffered <= ahead) reader.lookahead[reader.buffered++] = std::getc(reader.file);
    return reader.lookahead[ahead];
}

void skipChar(HexReader& reader) {
    peekChar(reader, 0);
    reader.lookahead[0] = reader.lookahead[1];
    --reader.buffered;
}

bool isBlank(int c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

int digitValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

HexReader makeHexReader(std::FILE* file) { return HexReader{file, {EOF, EOF}, 0}; }

bool readHexValue(HexReader& reader, std::uint8_t& value) {
    while (isBlank(peekChar(reader, 0))) skipChar(reader);

    int places = 2;
    bool negative = false;
    const int first = peekChar(reader, 0);
    if (first == '+' || first == '-') {
        negative = first == '-';
        skipChar(reader);
        --places;
    }
    bool prefixed = false;
    if (peekChar(reader, 0) == '0' && (peekChar(reader, 1) == 'x' || peekChar(reader, 1) == 'X')) {
        skipChar(reader);
        skipChar(reader);
        prefixed = true;
    }

    int number = 0;
    int digits = 0;
    while (digits < places && digitValue(peekChar(reader, 0)) >= 0) {
        number = number * 16 + digitValue(peekChar(reader, 0));
        skipChar(reader);
        ++digits;
    }
    if (digits == 0 && !prefixed) return false;
    value = static_cast<std::uint8_t>(negative ? -number : number);
    return true;
}
