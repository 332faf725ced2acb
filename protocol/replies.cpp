#include "replies.h"

#include "commands.h"

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

// The field's value as `reading` takes it; -1 (out of every range) when it is refused.
int fieldValue(const Field &field, std::string_view text, FieldReading reading)
{
    return field.width == 1 ? digitField(text[0], reading) : hexField(text, reading);
}

JudgedReply judgeFields(const Fields &fields, std::string_view reply, FieldReading reading)
{
    JudgedReply r;
    r.fields = fields.count;
    const int length = 2 + [&] {
        int width = 0;
        for (int i = 0; i < fields.count; ++i)
            width += fields.at[std::size_t(i)].width;
        return width;
    }();
    if (!framedReply(reply, length)) {
        r.why = framingProblem(reply, length);
        return r;
    }
    std::size_t at = 1;
    for (int i = 0; i < fields.count; ++i) {
        const Field &field = fields.at[std::size_t(i)];
        const std::string_view text = reply.substr(at, std::size_t(field.width));
        int &value = r.values[std::size_t(i)];
        value = fieldValue(field, text, reading);
        if (!inRange(value, field.low, field.high)) {
            r.why = fieldProblem(field.name, text, field.width == 2);
            return r;
        }
        ++r.passed;
        at += std::size_t(field.width);
    }
    return r;
}

} // namespace

int replyLength(const CommandRow &entry)
{
    if (entry.reply != ReplyKind::Fields)
        return 0;
    int length = 2;
    for (int i = 0; i < entry.replyFields.count; ++i)
        length += entry.replyFields.at[std::size_t(i)].width;
    return length;
}

int replyLength(std::string_view command)
{
    const CommandRow *entry = commandOf(command);
    return entry ? replyLength(*entry) : 0;
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

std::string acknowledgementProblem(std::string_view reply)
{
    return judgeReply(commandRow(Command::WriteComms), reply).why;
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

JudgedReply judgeReply(const CommandRow &entry, std::string_view reply, FieldReading reading)
{
    if (entry.reply == ReplyKind::Fields)
        return judgeFields(entry.replyFields, reply, reading);
    JudgedReply r;
    if (!framedReply(reply, 0)) {
        r.why = framingProblem(reply, int(reply.size()));
        return r;
    }
    if (entry.reply == ReplyKind::Text)
        r.text = std::string(reply.substr(1, reply.size() - 2));
    return r;
}

CommsReply judgeCommsReply(std::string_view reply, FieldReading reading)
{
    CommsReply r;
    static_cast<JudgedReply &>(r) = judgeReply(commandRow(Command::ReadComms), reply, reading);
    return r;
}

BlockReply judgeBlockReply(std::string_view reply, FieldReading reading)
{
    BlockReply r;
    static_cast<JudgedReply &>(r) = judgeReply(commandRow(Command::ReadBlock), reply, reading);
    return r;
}

} // namespace qm
