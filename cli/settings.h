#pragma once

#include "protocollimits.h"
#include "replies.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

struct LineSettings;

// The display's settings as the command line and the dump file talk about them: protocol
// codes inside, words a person can edit outside ("rtu", "even", "float", point 2 for 0.01).
namespace cli {

struct CommsSettings
{
    int mode = 1;     // 0 ASCII, 1 RTU
    int baudCode = 3; // index into qm::kBaudRates
    int dataBits = 8; // 7 or 8
    int parity = 1;   // 0 None, 1 Even, 2 Odd
    int address = 0x0A;
};

struct BlockSettings
{
    int dataType = 0;     // 0 Integer, 1 Long, 2 Float
    int decimalPoint = 0; // digits after the point, 0..5
};

bool operator==(const CommsSettings &a, const CommsSettings &b);
bool operator==(const BlockSettings &a, const BlockSettings &b);
inline bool operator!=(const CommsSettings &a, const CommsSettings &b)
{
    return !(a == b);
}
inline bool operator!=(const BlockSettings &a, const BlockSettings &b)
{
    return !(a == b);
}

struct DisplaySettings
{
    CommsSettings comms;
    std::array<BlockSettings, qm::kBlockCount> blocks{};
};

inline bool operator==(const DisplaySettings &a, const DisplaySettings &b)
{
    return a.comms == b.comms && a.blocks == b.blocks;
}

// "RTU, 9600 baud, 8 data bits, Even parity, address 0A"
QString describeComms(const CommsSettings &comms);
// "Long, 0.01"
QString describeBlock(const BlockSettings &block);
// "0A"
QString addressText(int address);

// Text from a file or the command line as messages show it: control characters escaped
// ("\x1B", "\r"), so that a value cannot move the cursor or rewrite the terminal.
QString printableText(const QString &text);

// The settings a complete "$M" reply reports.
CommsSettings commsSettingsOf(const qm::CommsReply &reply);

// The PC line that talks to a display with these settings, e.g. "4800,E,8,1".
LineSettings lineFor(const CommsSettings &comms);

// The keys of the Modbus settings and of a block, in the order messages and files list them:
// mode, baud, bits, parity, address; type, point.
const QStringList &commsKeys();
const QStringList &blockKeys();

// Reading one key=value word of `write` or `set`. Keys: mode, baud, bits, parity, address
// for the Modbus settings; type, point for a block. Each returns the reason for a refusal,
// naming the key, or an empty string.
QString assignComms(CommsSettings &comms, const QString &key, const QString &value);
QString assignBlock(BlockSettings &block, const QString &key, const QString &value);

// Applies "key=value" words onto `settings`; `given` collects the keys seen. Refuses a
// word without "=", an unknown or repeated key and a bad value.
QString assignWords(CommsSettings &settings, const QStringList &words, QStringList &given);
QString assignWords(BlockSettings &settings, const QStringList &words, QStringList &given);

// Refuses what the display cannot store (parity none with 7 data bits, address 00).
QString checkWritable(const CommsSettings &comms);

// A block number as the user gives it, "1".."9"; the protocol's code is one less.
std::optional<int> parseBlockNumber(const QString &text);

// The JSON objects of read and get and of the dump file, in the same words.
QJsonObject commsJson(const CommsSettings &comms);
QJsonObject blockJson(int blockNumber, const BlockSettings &block);

} // namespace cli
