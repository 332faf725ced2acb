#pragma once

#include "protocollimits.h"

#include <array>
#include <string_view>

// The display as data: its settings as plain values, and the table of the commands it
// answers. Builders (commands.h) and judging (replies.h) read the table; the CLI, detect,
// the records and the window hold these types.
namespace qm {

// The display's Modbus settings. Each field holds its protocol code, except the data bits,
// which are the number of bits, and the address, which is its value. The defaults are what
// the display leaves the factory with.
struct CommsSettings
{
    int mode = 1;     // 0 ASCII, 1 RTU
    int baudCode = 3; // index into kBaudRates
    int dataBits = 8; // 7 or 8
    int parity = 1;   // 0 None, 1 Even, 2 Odd
    int address = 0x0A;
};

// One block's data type and decimal point.
struct BlockSettings
{
    int dataType = 0;     // 0 Integer, 1 Long, 2 Float
    int decimalPoint = 0; // digits after the point, 0..5
};

struct DisplaySettings
{
    CommsSettings comms;
    std::array<BlockSettings, kBlockCount> blocks{};
};

constexpr bool operator==(const CommsSettings &a, const CommsSettings &b)
{
    return a.mode == b.mode && a.baudCode == b.baudCode && a.dataBits == b.dataBits &&
           a.parity == b.parity && a.address == b.address;
}
constexpr bool operator!=(const CommsSettings &a, const CommsSettings &b)
{
    return !(a == b);
}
constexpr bool operator==(const BlockSettings &a, const BlockSettings &b)
{
    return a.dataType == b.dataType && a.decimalPoint == b.decimalPoint;
}
constexpr bool operator!=(const BlockSettings &a, const BlockSettings &b)
{
    return !(a == b);
}
inline bool operator==(const DisplaySettings &a, const DisplaySettings &b)
{
    return a.comms == b.comms && a.blocks == b.blocks;
}

// One field of a command or a reply: a decimal digit, or two hexadecimal digits.
struct Field
{
    const char *name = ""; // "the mode", as messages name it
    int width = 1;         // 1: a decimal digit; 2: two hexadecimal digits
    int low = 0;           // the values it may hold
    int high = 0;
    int listFirst = 0; // the value of the first entry of the window's list for it
};

inline constexpr int kMaxFields = 5;

struct Fields
{
    std::array<Field, kMaxFields> at{};
    int count = 0;
};

// What a command's reply carries: fields, a bare acknowledgement (">\r"), or text.
enum class ReplyKind { Fields, Acknowledgement, Text };

enum class Command { ReadComms, WriteComms, ReadBlock, WriteBlock };

struct CommandRow
{
    Command command;
    char letter; // sent after "$"
    Fields request;
    ReplyKind reply;
    Fields replyFields; // ReplyKind::Fields only
};

namespace field {
inline constexpr Field kMode{"the mode", 1, 0, kModeCount - 1, 0};
inline constexpr Field kBaud{"the baud rate", 1, 0, kBaudCount - 1, 0};
inline constexpr Field kDataBits{"the data bits", 1, kMinDataBits, kMaxDataBits, kMinDataBits};
inline constexpr Field kParity{"the parity", 1, 0, kParityCount - 1, 0};
// A reply may report address 0, which no list entry shows; a write takes 1..250.
inline constexpr Field kAddress{"the address", 2, 0, kMaxAddress, kMinAddress};
inline constexpr Field kBlock{"the block", 1, 0, kBlockCount - 1, 0};
inline constexpr Field kDataType{"the data type", 1, 0, kDataTypeCount - 1, 0};
inline constexpr Field kDecimalPoint{"the decimal point", 1, 0, kDecimalPointCount - 1, 0};
} // namespace field

inline constexpr Fields kCommsFields{
    {field::kMode, field::kBaud, field::kDataBits, field::kParity, field::kAddress}, 5};
inline constexpr Fields kBlockFields{{field::kBlock, field::kDataType, field::kDecimalPoint}, 3};

// Every command the display answers, one row each.
inline constexpr std::array<CommandRow, 4> kCommands = {{
    {Command::ReadComms, 'M', {}, ReplyKind::Fields, kCommsFields},
    {Command::WriteComms, 'C', kCommsFields, ReplyKind::Acknowledgement, {}},
    {Command::ReadBlock, 'N', {{field::kBlock}, 1}, ReplyKind::Fields, kBlockFields},
    {Command::WriteBlock, 'D', kBlockFields, ReplyKind::Acknowledgement, {}},
}};

constexpr const CommandRow &commandRow(Command command)
{
    return kCommands[std::size_t(command)];
}

// The row of the command `bytes` begin with ("$M..."), or nullptr.
const CommandRow *commandOf(std::string_view bytes);

// The values of a command's or a reply's fields, in the table's order.
using FieldValues = std::array<int, kMaxFields>;

FieldValues valuesOf(const CommsSettings &comms);
CommsSettings commsSettingsOf(const FieldValues &values);
// A block's values after its block code.
BlockSettings blockSettingsOf(const FieldValues &values, int first = 1);

} // namespace qm
