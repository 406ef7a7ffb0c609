// Reading the image file's hexadecimal text, one byte value at a time.
//
// A value is read as a two-place hexadecimal field: white space before it (blank, 0x09-0x0D) is
// skipped and takes no place; a + or - sign takes one place (-F gives 0xF1, the low 8 bits of -15);
// a 0x or 0X prefix takes none; a third digit is left for the next value. The text 0A1B gives 0A, 1B;
// ABC gives AB, 0C. Reading ends, without error, at the end of the file or at the first character
// that cannot begin a value. "0x" followed by no hexadecimal digit reads as the value 0.
#pragma once

#include <cstdint>
#include <cstdio>

struct HexReader {
    std::FILE* file;
    int lookahead[2];     // characters read ahead of the current one, EOF included
    int buffered;
};

HexReader makeHexReader(std::FILE* file);

// The next value's low 8 bits; false at the end of the values.
bool readHexValue(HexReader& reader, std::uint8_t& value);
