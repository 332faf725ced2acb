#pragma once

#include <string>
#include <string_view>

// The display's replies: how long each is, when one is whole, and how it is judged. A reply
// to "$M" or "$N" of the wrong length or framing is ignored whole; otherwise its fields are
// taken left to right and the first field out of range ends the judging. `passed` counts
// the fields that passed, so the caller applies exactly that prefix, in order. A reply to
// "$C" or "$D" carries no fields: any framed reply acknowledges the write.
namespace qm {

inline constexpr char kReplyStart = '>';
inline constexpr int kCommsReplyLength = 8;
inline constexpr int kBlockReplyLength = 5;

// The length of the reply to `command` ("$M..." 8, "$N..." 5); 0 for a write ("$C", "$D"),
// whose reply is any framed one.
int replyLength(std::string_view command);

// Whether the bytes received so far hold the whole reply: a carriage return ends every
// reply; a reply with a length (see replyLength) that is already longer can only be wrong.
bool replyEnded(std::string_view received, int length);

// The reply within `received`: up to and including its carriage return. Bytes after it are
// not part of the reply. All of `received` when no carriage return came.
std::size_t replySize(std::string_view received);

// Starts with ">" and ends with a carriage return; of exactly `length` bytes unless it is 0.
bool framedReply(std::string_view reply, int length);

// Whether `reply` acknowledges a "$C" or "$D".
bool acknowledges(std::string_view reply);

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

// Why a reply does not pass the strict reading, for people ("the parity \"?\" is not a
// digit"); empty when it passes whole.
std::string commsReplyProblem(std::string_view reply);
std::string blockReplyProblem(std::string_view reply);
// Why a write was not acknowledged; empty when it was.
std::string acknowledgementProblem(std::string_view reply);

// Bytes as traces and messages show them: printable ASCII as is, \r, \n, \t, \\ and \xHH.
std::string printable(std::string_view bytes);

// A one-character field: its digit's value, 0 for any other character.
int readDigitField(char c);

// The two-character address: hexadecimal, leading blanks, tabs and line feeds
// skipped, reading stops at the first non-hex character, 0 when there is no digit.
int readHexField(std::string_view field);

} // namespace qm
