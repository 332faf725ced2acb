#pragma once

#include "display.h"

#include <string>
#include <string_view>

// The display's replies: how long each is, when one is whole, and how it is judged, all
// from the command table (display.h). A reply with fields of the wrong length or framing is
// ignored whole; otherwise its fields are taken left to right and the first field out of
// range ends the judging. `passed` counts the fields that passed, so the caller applies
// exactly that prefix, in order. An acknowledgement carries no fields: any framed reply
// acknowledges the write. A text reply is whatever stands between ">" and the carriage
// return.
namespace qm {

inline constexpr char kReplyStart = '>';
inline constexpr int kCommsReplyLength = 8;
inline constexpr int kBlockReplyLength = 5;

// The length of a reply with fields to `entry` ('>', the fields, CR); 0 when its length is
// not fixed (an acknowledgement, a text).
int replyLength(const CommandRow &entry);
// The same for the command `command` begins with; 0 for one the table does not hold.
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

// How a field's characters are read. Lenient is the window's reading: a character that is
// not a digit counts as 0, and the address is read up to its first non-hex character.
// Strict is quillmark-cli's: such a field does not pass, so a byte garbled on the line
// (a parity error arrives as "?") cannot pass for a value.
enum class FieldReading { Lenient, Strict };

// A judged reply: the values of its fields in the table's order (the first that failed
// included, as read), how many passed, and why the rest did not, for people ("the parity
// \"?\" is not a digit"); `why` is empty when every field passed. For a text reply, `text`
// holds the text.
struct JudgedReply
{
    FieldValues values{};
    int passed = 0;
    int fields = 0;
    std::string why;
    std::string text;
    bool complete() const { return why.empty(); }
};

// Judges `reply` as the reply to the command of `entry`.
JudgedReply judgeReply(const CommandRow &entry, std::string_view reply,
                       FieldReading reading = FieldReading::Lenient);

struct CommsReply : JudgedReply
{
    static constexpr int kFields = 5; // mode, baud, dataBits, parity, address
    CommsSettings settings() const { return commsSettingsOf(values); }
};

struct BlockReply : JudgedReply
{
    static constexpr int kFields = 3; // block, dataType, decimalPoint
    int block() const { return values[0]; }
    BlockSettings settings() const { return blockSettingsOf(values); }
};

CommsReply judgeCommsReply(std::string_view reply, FieldReading reading = FieldReading::Lenient);
BlockReply judgeBlockReply(std::string_view reply, FieldReading reading = FieldReading::Lenient);

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
