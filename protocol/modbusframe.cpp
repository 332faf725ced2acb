#include "modbusframe.h"

namespace qm {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int byteAt(std::string_view message, std::size_t index)
{
    return static_cast<unsigned char>(message[index]);
}

std::string hexByte(int value)
{
    return {kHexDigits[(value >> 4) & 0xF], kHexDigits[value & 0xF]};
}

} // namespace

unsigned char modbusLrc(std::string_view message)
{
    unsigned sum = 0;
    for (char c : message)
        sum += static_cast<unsigned char>(c);
    return static_cast<unsigned char>(-sum & 0xFF);
}

std::string modbusAsciiFrame(std::string_view message)
{
    std::string frame = ":";
    for (char c : message)
        frame += hexByte(static_cast<unsigned char>(c));
    frame += hexByte(modbusLrc(message));
    frame += "\r\n";
    return frame;
}

std::string modbusRtuFrame(std::string_view message)
{
    unsigned crc = 0xFFFF;
    for (char c : message) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    std::string frame(message);
    frame += static_cast<char>(crc & 0xFF);
    frame += static_cast<char>(crc >> 8);
    return frame;
}

std::optional<std::string> parseModbusAsciiFrame(std::string_view frame, std::string *why)
{
    auto refuse = [why](std::string text) -> std::optional<std::string> {
        if (why)
            *why = std::move(text);
        return std::nullopt;
    };
    if (frame.size() < 3 || frame.front() != ':' || frame.substr(frame.size() - 2) != "\r\n")
        return refuse("it does not run from \":\" to CR LF");
    const std::string_view digits = frame.substr(1, frame.size() - 3);
    // Address, function and LRC at least, two digits each.
    if (digits.size() < 6 || digits.size() % 2 != 0)
        return refuse(std::to_string(digits.size()) +
                      " hexadecimal digits where a frame has an even number, at least 6");
    std::string bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = hexValue(digits[i]);
        const int low = hexValue(digits[i + 1]);
        if (high < 0 || low < 0)
            return refuse("\"" + std::string(digits.substr(i, 2)) +
                          "\" is not two upper-case hexadecimal digits");
        bytes += static_cast<char>(high * 16 + low);
    }
    const std::string message = bytes.substr(0, bytes.size() - 1);
    const int lrc = static_cast<unsigned char>(bytes.back());
    if (modbusLrc(message) != lrc)
        return refuse("LRC " + hexByte(lrc) + " where the message sums to " +
                      hexByte(modbusLrc(message)));
    return message;
}

std::string readHoldingRegistersMessage(int address, int first, int count)
{
    return {static_cast<char>(address),
            static_cast<char>(kReadHoldingRegisters),
            static_cast<char>((first >> 8) & 0xFF),
            static_cast<char>(first & 0xFF),
            static_cast<char>((count >> 8) & 0xFF),
            static_cast<char>(count & 0xFF)};
}

RegisterAnswer judgeRegisterAnswer(std::string_view message, int address)
{
    RegisterAnswer answer;
    if (message.size() < 2) {
        answer.why = "shorter than an address and a function";
        return answer;
    }
    answer.address = byteAt(message, 0);
    if (answer.address != address) {
        answer.kind = RegisterAnswer::Kind::OtherAddress;
        return answer;
    }
    const int function = byteAt(message, 1);
    if (function == (kReadHoldingRegisters | 0x80) && message.size() == 3) {
        const int code = byteAt(message, 2);
        if (code < 1 || code > kLastModbusException) {
            answer.why = "exception code " + hexByte(code) + ", which Modbus does not define";
            return answer;
        }
        answer.kind = RegisterAnswer::Kind::Exception;
        answer.exception = code;
        return answer;
    }
    if (function != kReadHoldingRegisters) {
        answer.why = "function " + hexByte(function) + " answers another request";
        return answer;
    }
    if (message.size() != 5 || byteAt(message, 2) != 2) {
        answer.why = std::to_string(message.size()) +
                     " bytes where the answer for one register has 5 (a byte count of 2)";
        return answer;
    }
    answer.kind = RegisterAnswer::Kind::Value;
    answer.value = byteAt(message, 3) * 256 + byteAt(message, 4);
    return answer;
}

} // namespace qm
