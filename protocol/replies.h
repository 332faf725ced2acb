#pragma once

#include <string_view>

// Judging of the display's replies to "$M" and "$N". A reply of the wrong length or
// framing is ignored whole; otherwise its fields are taken left to right and the
// first field out of range ends the judging. `passed` counts the fields that passed,
// so the caller applies exactly that prefix, in order.
namespace qm {

inline constexpr int kCommsReplyLength = 8;
inline constexpr int kBlockReplyLength = 5;

struct CommsReply
{
    static constexpr int kFields = 5;
    int passed = 0;   // 0..5: mode, baud, dataBits, parity, address
    int mode = 0;     // 0 ASCII, 1 RTU
    int baud = 0;     // 0..3: 1200, 2400, 4800, 9600
    int dataBits = 0; // 7 or 8 (the number of bits, not a list position)
    int parity = 0;   // 0 None, 1 Even, 2 Odd
    int address = 0;  // 0..250
    bool complete() const { return passed == kFields; }
};

struct BlockReply
{
    static constexpr int kFields = 3;
    int passed = 0;       // 0..3: block, dataType, decimalPoint
    int block = 0;        // 0..8
    int dataType = 0;     // 0 Integer, 1 Long, 2 Float
    int decimalPoint = 0; // 0..5 digits after the point
    bool complete() const { return passed == kFields; }
};

// How a field's characters are read. Lenient is the window's reading: a character that is
// not a digit counts as 0, and the address is read up to its first non-hex character.
// Strict is quillmark-cli's: such a field does not pass, so a byte garbled on the line
// (a parity error arrives as "?") cannot pass for a value.
enum class FieldReading { Lenient, Strict };

CommsReply judgeCommsReply(std::string_view reply, FieldReading reading = FieldReading::Lenient);
BlockReply judgeBlockReply(std::string_view reply, FieldReading reading = FieldReading::Lenient);

// A one-character field: its digit's value, 0 for any other character.
int readDigitField(char c);

// The two-character address: hexadecimal, leading blanks, tabs and line feeds
// skipped, reading stops at the first non-hex character, 0 when there is no digit.
int readHexField(std::string_view field);

} // namespace qm
