#include "replies.h"

#include "commands.h"
#include "protocollimits.h"

namespace qm {
namespace {

bool inRange(int value, int low, int high)
{
    return value >= low && value <= high;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A one-character field as `reading` takes it; -1 (out of every range) when it is refused.
int digitField(char c, FieldReading reading)
{
    return reading == FieldReading::Strict && !isDigit(c) ? -1 : readDigitField(c);
}

int hexField(std::string_view field, FieldReading reading)
{
    if (reading == FieldReading::Strict) {
        for (char c : field) {
            if (hexValue(c) < 0)
                return -1;
        }
    }
    return readHexField(field);
}

std::string framingProblem(std::string_view reply, int length)
{
    if (int(reply.size()) != length)
        return std::to_string(reply.size()) + " bytes where the reply has " +
               std::to_string(length);
    return "it does not start with \">\" and end with \\r";
}

// A field that did not pass: not a digit at all (a byte garbled on the line) or a digit
// the display cannot mean.
std::string fieldProblem(const char *name, std::string_view field, bool hex)
{
    for (char c : field) {
        if (hex ? hexValue(c) < 0 : !isDigit(c))
            return std::string(name) + " \"" + printable(field) + "\" is not " +
                   (hex ? "two hexadecimal digits" : "a digit");
    }
    return std::string(name) + " is out of range";
}

} // namespace

int replyLength(std::string_view command)
{
    if (command.substr(0, 2) == "$M")
        return kCommsReplyLength;
    if (command.substr(0, 2) == "$N")
        return kBlockReplyLength;
    return 0;
}

bool replyEnded(std::string_view received, int length)
{
    return received.find(kCarriageReturn) != std::string_view::npos ||
           (length > 0 && int(received.size()) > length);
}

std::size_t replySize(std::string_view received)
{
    const std::size_t end = received.find(kCarriageReturn);
    return end == std::string_view::npos ? received.size() : end + 1;
}

bool framedReply(std::string_view reply, int length)
{
    return !reply.empty() && (length == 0 || int(reply.size()) == length) &&
           reply.front() == kReplyStart && reply.back() == kCarriageReturn;
}

bool acknowledges(std::string_view reply)
{
    return framedReply(reply, 0);
}

std::string commsReplyProblem(std::string_view reply)
{
    static const char *const fields[] = {"the mode", "the baud rate", "the data bits", "the parity",
                                         "the address"};
    const CommsReply judged = judgeCommsReply(reply, FieldReading::Strict);
    if (judged.complete())
        return {};
    if (!framedReply(reply, kCommsReplyLength))
        return framingProblem(reply, kCommsReplyLength);
    const bool address = judged.passed == 4;
    return fieldProblem(fields[judged.passed], reply.substr(judged.passed + 1, address ? 2 : 1),
                        address);
}

std::string blockReplyProblem(std::string_view reply)
{
    static const char *const fields[] = {"the block", "the data type", "the decimal point"};
    const BlockReply judged = judgeBlockReply(reply, FieldReading::Strict);
    if (judged.complete())
        return {};
    if (!framedReply(reply, kBlockReplyLength))
        return framingProblem(reply, kBlockReplyLength);
    return fieldProblem(fields[judged.passed], reply.substr(judged.passed + 1, 1), false);
}

std::string acknowledgementProblem(std::string_view reply)
{
    return acknowledges(reply) ? std::string() : framingProblem(reply, int(reply.size()));
}

std::string printable(std::string_view bytes)
{
    constexpr const char *kHex = "0123456789ABCDEF";
    std::string text;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            text += "\\x";
            text += kHex[byte >> 4];
            text += kHex[byte & 0xF];
        }
    }
    return text;
}

int readDigitField(char c)
{
    return (c >= '0' && c <= '9') ? c - '0' : 0;
}

int readHexField(std::string_view field)
{
    std::size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t' || field[i] == '\n'))
        ++i;
    // Saturate so that a long run of digits cannot overflow; any such value is out of range.
    constexpr int kCeiling = 0xFFFFFF;
    int value = 0;
    for (; i < field.size() && hexValue(field[i]) >= 0; ++i)
        value = value > kCeiling ? value : value * 16 + hexValue(field[i]);
    return value;
}

CommsReply judgeCommsReply(std::string_view reply, FieldReading reading)
{
    CommsReply r;
    if (!framedReply(reply, kCommsReplyLength))
        return r;

    r.mode = digitField(reply[1], reading);
    if (!inRange(r.mode, 0, kModeCount - 1))
        return r;
    r.passed = 1;

    r.baud = digitField(reply[2], reading);
    if (!inRange(r.baud, 0, kBaudCount - 1))
        return r;
    r.passed = 2;

    r.dataBits = digitField(reply[3], reading);
    if (!inRange(r.dataBits, kMinDataBits, kMaxDataBits))
        return r;
    r.passed = 3;

    r.parity = digitField(reply[4], reading);
    if (!inRange(r.parity, 0, kParityCount - 1))
        return r;
    r.passed = 4;

    r.address = hexField(reply.substr(5, 2), reading);
    if (!inRange(r.address, 0, kMaxAddress))
        return r;
    r.passed = 5;
    return r;
}

BlockReply judgeBlockReply(std::string_view reply, FieldReading reading)
{
    BlockReply r;
    if (!framedReply(reply, kBlockReplyLength))
        return r;

    r.block = digitField(reply[1], reading);
    if (!inRange(r.block, 0, kBlockCount - 1))
        return r;
    r.passed = 1;

    r.dataType = digitField(reply[2], reading);
    if (!inRange(r.dataType, 0, kDataTypeCount - 1))
        return r;
    r.passed = 2;

    r.decimalPoint = digitField(reply[3], reading);
    if (!inRange(r.decimalPoint, 0, kDecimalPointCount - 1))
        return r;
    r.passed = 3;
    return r;
}

} // namespace qm
