#include "replies.h"

#include "commands.h"
#include "protocollimits.h"

#include <array>

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

// Where a reply's field stands, what it may hold, and where the judged value goes.
template <typename Reply> struct FieldRule
{
    const char *name;
    std::size_t first;
    std::size_t width; // 1: a digit; 2: the address, two hexadecimal digits
    int low;
    int high;
    int Reply::*value;
};

constexpr std::array<FieldRule<CommsReply>, CommsReply::kFields> kCommsFields = {{
    {"the mode", 1, 1, 0, kModeCount - 1, &CommsReply::mode},
    {"the baud rate", 2, 1, 0, kBaudCount - 1, &CommsReply::baud},
    {"the data bits", 3, 1, kMinDataBits, kMaxDataBits, &CommsReply::dataBits},
    {"the parity", 4, 1, 0, kParityCount - 1, &CommsReply::parity},
    {"the address", 5, 2, 0, kMaxAddress, &CommsReply::address},
}};

constexpr std::array<FieldRule<BlockReply>, BlockReply::kFields> kBlockFields = {{
    {"the block", 1, 1, 0, kBlockCount - 1, &BlockReply::block},
    {"the data type", 2, 1, 0, kDataTypeCount - 1, &BlockReply::dataType},
    {"the decimal point", 3, 1, 0, kDecimalPointCount - 1, &BlockReply::decimalPoint},
}};

template <typename Reply, std::size_t N>
Reply judgeFields(std::string_view reply, int length, const std::array<FieldRule<Reply>, N> &rules,
                  FieldReading reading)
{
    Reply r;
    if (!framedReply(reply, length))
        return r;
    for (const FieldRule<Reply> &rule : rules) {
        const std::string_view field = reply.substr(rule.first, rule.width);
        r.*rule.value = rule.width == 1 ? digitField(field[0], reading) : hexField(field, reading);
        if (!inRange(r.*rule.value, rule.low, rule.high))
            return r;
        ++r.passed;
    }
    return r;
}

template <typename Reply, std::size_t N>
std::string replyProblem(std::string_view reply, int passed, int length,
                         const std::array<FieldRule<Reply>, N> &rules)
{
    if (passed == int(N))
        return {};
    if (!framedReply(reply, length))
        return framingProblem(reply, length);
    const FieldRule<Reply> &rule = rules[std::size_t(passed)];
    return fieldProblem(rule.name, reply.substr(rule.first, rule.width), rule.width == 2);
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
    return replyProblem(reply, judgeCommsReply(reply, FieldReading::Strict).passed,
                        kCommsReplyLength, kCommsFields);
}

std::string blockReplyProblem(std::string_view reply)
{
    return replyProblem(reply, judgeBlockReply(reply, FieldReading::Strict).passed,
                        kBlockReplyLength, kBlockFields);
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
    return judgeFields<CommsReply>(reply, kCommsReplyLength, kCommsFields, reading);
}

BlockReply judgeBlockReply(std::string_view reply, FieldReading reading)
{
    return judgeFields<BlockReply>(reply, kBlockReplyLength, kBlockFields, reading);
}

} // namespace qm
