#pragma once

#include "display.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// The display's settings as the command line and the dump file talk about them: protocol
// codes inside, words a person can edit outside ("rtu", "even", "float", point 2 for 0.01).
namespace cli {

// The display's settings are protocol/'s types; this namespace reads and shows them.
using qm::BlockSettings;
using qm::CommsSettings;
using qm::DisplaySettings;

// "RTU, 9600 baud, 8 data bits, Even parity, address 0A"
QString describeComms(const CommsSettings &comms);
// "Long, 0.01"
QString describeBlock(const BlockSettings &block);
// "0A"
QString addressText(int address);

// Text from a file or the command line as messages show it: control characters escaped
// ("\x1B", "\r"), so that a value cannot move the cursor or rewrite the terminal.
QString printableText(const QString &text);

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

// Refuses what the display cannot store: parity none with 7 data bits. (Address 00 never
// gets this far: assignComms and the dump file's reader refuse it.)
QString checkWritable(const CommsSettings &comms);

// A block number as the user gives it, "1".."9"; the protocol's code is one less.
std::optional<int> parseBlockNumber(const QString &text);

// The JSON objects of read and get and of the dump file, in the same words.
QJsonObject commsJson(const CommsSettings &comms);
QJsonObject blockJson(int blockNumber, const BlockSettings &block);

} // namespace cli
