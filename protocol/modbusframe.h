#pragma once

#include <optional>
#include <string>
#include <string_view>

// The Modbus side of the display, as far as the check of its address and line needs it:
// one request (read holding registers), the judging of its answer, and Modbus ASCII
// framing, which libmodbus does not speak. A message is the address, the function and
// the data, one char a byte; the frame around it is RTU's CRC or ASCII's LRC.
namespace qm {

inline constexpr int kReadHoldingRegisters = 0x03;
// Modbus slave addresses run from 1 to 247; 248 to 255 are reserved, 0 is broadcast.
inline constexpr int kMaxModbusAddress = 247;
// Exception codes run from 01 (illegal function) to 0B (gateway target failed to respond).
inline constexpr int kLastModbusException = 0x0B;

// The two's complement of the sum of the message's bytes.
unsigned char modbusLrc(std::string_view message);

// ":" then every byte of the message and its LRC as two upper-case hexadecimal digits,
// then CR LF.
std::string modbusAsciiFrame(std::string_view message);

// The message followed by its CRC, low byte first: one RTU frame.
std::string modbusRtuFrame(std::string_view message);

// The message of one whole ASCII frame (":" to CR LF), or nothing with `why` set.
std::optional<std::string> parseModbusAsciiFrame(std::string_view frame, std::string *why);

// The request for `count` holding registers from register `first` (0-based) at `address`.
std::string readHoldingRegistersMessage(int address, int first, int count);

// What came back to a read of one holding register at `address`.
struct RegisterAnswer
{
    enum class Kind { Value, Exception, OtherAddress, Invalid };
    Kind kind = Kind::Invalid;
    int address = 0;   // the address the answer came from
    int value = 0;     // Kind::Value
    int exception = 0; // Kind::Exception: the exception code
    std::string why;   // Kind::Invalid
};
RegisterAnswer judgeRegisterAnswer(std::string_view message, int address);

} // namespace qm
