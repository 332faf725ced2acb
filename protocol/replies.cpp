#include "replies.h"

#include "commands.h"
#include "protocollimits.h"

namespace qm {
namespace {

bool framed(std::string_view reply, std::size_t length)
{
    return reply.size() == length && reply.front() == '>' && reply.back() == kCarriageReturn;
}

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

} // namespace

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
    if (!framed(reply, kCommsReplyLength))
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
    if (!framed(reply, kBlockReplyLength))
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
