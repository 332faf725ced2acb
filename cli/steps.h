#pragma once

#include "applyprogress.h"
#include "displaylink.h"

#include <QCommandLineOption>

#include <memory>
#include <optional>

// Steps that several commands share.
namespace cli {

struct Invocation;

// A dump file's text, or "-" for stdin; a file that cannot be read or is far too large
// for a dump is a usage error (exit 2).
QByteArray readInputFile(const QString &path);

// The display link on the invocation's port, opened at its line settings.
std::unique_ptr<DisplayLink> openLink(const Invocation &invocation, Console &console);

// The Modbus settings and the nine blocks, as the display has them now.
DisplaySettings readWholeDisplay(DisplayLink &link);
// The nine blocks alone, into `settings`.
void readBlocks(DisplayLink &link, DisplaySettings &settings);

// Writes the nine blocks, then (writeModbus) the Modbus settings, each acknowledged;
// `progress` says how far it got when one throws.
void writeBlocks(DisplayLink &link, const DisplaySettings &settings, ApplyProgress &progress);
void writeModbus(DisplayLink &link, const CommsSettings &comms, ApplyProgress &progress);

// A differenceText for each block that reads back other than written.
QStringList blockDifferences(const DisplaySettings &wrote, const DisplaySettings &has);

// The key=value words of write and set, read before anything is sent (exit 2 on refusal).
// The keys left out are taken from the display when `missing` is set.
CommsSettings commsFromWords(const QStringList &words, bool *missing);
BlockSettings blockFromWords(const QStringList &words, bool *missing);

// What a "$C" left behind: the settings read back, if they were, and how they differ
// from what was written (empty when they match or were not read).
struct CommsReadBack
{
    std::optional<CommsSettings> settings;
    QString difference;
};

// After a "$C": with `follow`, reopens the port at the display's new line when it differs
// and reads the settings back; without it, reads them back only for `verify` and only when
// the baud rate is unchanged, and otherwise says where the display listens now.
CommsReadBack afterCommsWrite(DisplayLink &link, Console &console, const CommsSettings &written,
                              bool follow, bool verify);

// "wrote X; the display has Y" for a --verify or --follow difference.
QString differenceText(const QString &what, const QString &wrote, const QString &has);

// --modbus checks the display at its new line, which only --follow opens: without it,
// a usage error before anything is sent.
void requireFollowForModbus(const Invocation &invocation);

// --follow and --verify, for the commands that take them.
QCommandLineOption followOption();
QCommandLineOption verifyOption();

} // namespace cli
