#include "steps.h"

#include "command.h"
#include "console.h"
#include "exitcodes.h"

#include <QFile>

namespace cli {
namespace {

template <typename Settings>
Settings fromWords(const QStringList &words, const QStringList &keys, bool *missing)
{
    Settings settings;
    QStringList given;
    const QString why = assignWords(settings, words, given);
    if (!why.isEmpty())
        throw Failure(kExitUsage, why);
    *missing = given.size() < keys.size();
    return settings;
}

} // namespace

std::unique_ptr<DisplayLink> openLink(const Invocation &invocation, Console &console)
{
    auto link = std::make_unique<DisplayLink>(console, invocation.timeoutMs);
    link->open(invocation.port, invocation.line);
    return link;
}

DisplaySettings readWholeDisplay(DisplayLink &link)
{
    DisplaySettings settings;
    settings.comms = link.readComms();
    readBlocks(link, settings);
    return settings;
}

void readBlocks(DisplayLink &link, DisplaySettings &settings)
{
    for (int number = 1; number <= qm::kBlockCount; ++number)
        settings.blocks[std::size_t(number - 1)] = link.readBlock(number);
}

void writeBlocks(DisplayLink &link, const DisplaySettings &settings, ApplyProgress &progress)
{
    for (int number = 1; number <= qm::kBlockCount; ++number) {
        const int sent = link.commandsSent();
        try {
            link.writeBlock(number, settings.blocks[std::size_t(number - 1)]);
        } catch (...) {
            progress.blockUnanswered = link.commandsSent() > sent;
            throw;
        }
        progress.blocksWritten = number;
    }
}

void writeModbus(DisplayLink &link, const CommsSettings &comms, ApplyProgress &progress)
{
    const int sent = link.commandsSent();
    try {
        link.writeComms(comms);
    } catch (...) {
        progress.modbusSent = link.commandsSent() > sent;
        throw;
    }
    progress.modbusSent = progress.modbusWritten = true;
}

QStringList blockDifferences(const DisplaySettings &wrote, const DisplaySettings &has)
{
    QStringList differences;
    for (int number = 1; number <= qm::kBlockCount; ++number) {
        const BlockSettings &written = wrote.blocks[std::size_t(number - 1)];
        const BlockSettings &read = has.blocks[std::size_t(number - 1)];
        if (read != written)
            differences << differenceText(QStringLiteral("block %1").arg(number),
                                          describeBlock(written), describeBlock(read));
    }
    return differences;
}

CommsSettings commsFromWords(const QStringList &words, bool *missing)
{
    return fromWords<CommsSettings>(words, commsKeys(), missing);
}

BlockSettings blockFromWords(const QStringList &words, bool *missing)
{
    return fromWords<BlockSettings>(words, blockKeys(), missing);
}

QString differenceText(const QString &what, const QString &wrote, const QString &has)
{
    return QStringLiteral("%1 differs: wrote %2; the display has %3").arg(what, wrote, has);
}

CommsReadBack afterCommsWrite(DisplayLink &link, Console &console, const CommsSettings &written,
                              bool follow, bool verify)
{
    const LineSettings next = lineSettingsFor(written);
    // The display takes its new settings once it has answered. The PC's usual line already
    // differs from the display's in parity ("9600,N,8,1" against Even) and reaches it, so
    // only a new baud rate is worth a warning; --follow takes the display's whole line.
    if (follow) {
        if (next != link.line()) {
            console.note(QStringLiteral("%1: reopening at %2, the display's new line")
                             .arg(link.label(), formatLineSettings(next)));
            link.reopen(next);
        }
    } else if (next.baud != link.line().baud) {
        console.note(QStringLiteral("%1: the display now listens at %2 baud; talk to it with "
                                    "--line %3 (--follow does that at once)")
                         .arg(link.label())
                         .arg(next.baud)
                         .arg(formatLineSettings(next)));
        // Shown even with --quiet: silence after --verify would pass for a check.
        if (verify)
            console.warning(QStringLiteral("%1: --verify: the Modbus settings were not read "
                                           "back (the PC is still at %2 baud; --follow reads "
                                           "them at the new line)")
                                .arg(link.label())
                                .arg(link.line().baud));
        return {};
    } else if (!verify) {
        return {};
    }

    CommsReadBack result;
    result.settings = link.readComms();
    if (*result.settings != written)
        result.difference = differenceText(QStringLiteral("the Modbus settings"),
                                           describeComms(written), describeComms(*result.settings));
    return result;
}

void requireFollowForModbus(const Invocation &invocation)
{
    if (invocation.has(QStringLiteral("modbus")) && !invocation.has(QStringLiteral("follow")))
        throw Failure(kExitUsage,
                      QStringLiteral("--modbus needs --follow: the check runs at the display's "
                                     "new line, which --follow opens; nothing was sent"));
}

QCommandLineOption followOption()
{
    return QCommandLineOption(QStringLiteral("follow"),
                              QStringLiteral("after a write that changes the line, reopen the "
                                             "port at the display's new line settings and read "
                                             "them back"));
}

QCommandLineOption verifyOption()
{
    return QCommandLineOption(QStringLiteral("verify"),
                              QStringLiteral("read back what was written and compare"));
}

} // namespace cli
