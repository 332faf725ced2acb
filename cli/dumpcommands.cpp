#include "command.h"
#include "commerror.h"
#include "console.h"
#include "dumpfile.h"
#include "exitcodes.h"
#include "modbuscheck.h"
#include "outputfile.h"
#include "steps.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace cli {
namespace {

const QString kStandardStream = QStringLiteral("-");

// Whether the file was our own stdout, which then holds the dump and nothing else of ours.
bool writeFile(const QString &path, const QByteArray &text)
{
    bool toStandardOutput = false;
    const QString why = writeOutputFile(path, text, &toStandardOutput);
    if (!why.isEmpty())
        throw Failure(kExitOther, QStringLiteral("%1: cannot be written: %2").arg(path, why));
    return toStandardOutput;
}

QByteArray readFile(const QString &path)
{
    // A dump is under a kilobyte; anything far larger is the wrong file.
    constexpr qint64 kLargest = 1 << 20;
    QFile file(path);
    const bool opened = path == kStandardStream ? file.open(stdin, QIODevice::ReadOnly)
                                                : file.open(QIODevice::ReadOnly);
    if (!opened)
        throw Failure(kExitUsage,
                      QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString()));
    const QByteArray text = file.read(kLargest + 1);
    if (text.size() > kLargest)
        throw Failure(kExitUsage, QStringLiteral("%1: larger than %2 bytes, not a dump; nothing "
                                                 "was sent")
                                      .arg(path)
                                      .arg(kLargest));
    return text;
}

int runDump(const Invocation &invocation, Console &console)
{
    const QString path = invocation.args.value(0, kStandardStream);
    const auto link = openLink(invocation, console);
    DisplaySettings settings;
    settings.comms = link->readComms();
    for (int number = 1; number <= qm::kBlockCount; ++number)
        settings.blocks[std::size_t(number - 1)] = link->readBlock(number);

    const QByteArray text = dumpText(settings);
    if (settings.comms.address == 0)
        console.warning(
            QStringLiteral("%1: the display reports address 00 (no address of its "
                           "own); the dump records it, and apply refuses it until "
                           "modbus.address names one from %2 to %3")
                .arg(link->label(), addressText(qm::kMinAddress), addressText(qm::kMaxAddress)));
    if (path == kStandardStream) {
        console.data(QString::fromUtf8(text));
        return kExitOk;
    }
    if (writeFile(path, text))
        return kExitOk;
    if (console.json())
        console.data(QString::fromUtf8(text));
    console.result(QStringLiteral("%1: dumped to %2: %3")
                       .arg(link->label(), path, describeComms(settings.comms)));
    return kExitOk;
}

// How far an apply got, for the message of a failure part-way: which blocks the display
// acknowledged and whether the Modbus settings were sent.
struct ApplyProgress
{
    int blocksWritten = 0;        // blocks 1..n were acknowledged
    bool blockUnanswered = false; // block n + 1 was sent but not acknowledged
    bool blocksVerified = false;
    bool modbusSent = false;
    bool modbusWritten = false; // acknowledged

    static QString range(int first, int last)
    {
        return first == last ? QStringLiteral("block %1").arg(first)
                             : QStringLiteral("blocks %1-%2").arg(first).arg(last);
    }

    QString text() const
    {
        QStringList parts;
        if (blocksWritten == 0)
            parts << QStringLiteral("no block was written");
        else
            parts << range(1, blocksWritten) +
                         (blocksWritten == 1 ? QStringLiteral(" was written")
                                             : QStringLiteral(" were written")) +
                         (blocksVerified ? QStringLiteral(" and verified") : QString());
        int next = blocksWritten + 1;
        if (blockUnanswered)
            parts << QStringLiteral("block %1 was sent but not acknowledged").arg(next++);
        if (next <= qm::kBlockCount)
            parts << range(next, qm::kBlockCount) + (next == qm::kBlockCount
                                                         ? QStringLiteral(" was not sent")
                                                         : QStringLiteral(" were not sent"));
        if (modbusWritten)
            parts << QStringLiteral("the Modbus settings were written but not read back");
        else if (modbusSent)
            parts << QStringLiteral("the Modbus settings were sent without a valid answer (the "
                                    "display may have taken them)");
        else
            parts << QStringLiteral("the Modbus settings were not sent");
        return parts.join(QStringLiteral("; "));
    }

    QJsonObject json() const
    {
        QJsonArray written;
        for (int number = 1; number <= blocksWritten; ++number)
            written.append(number);
        return {{QStringLiteral("blocksWritten"), written},
                {QStringLiteral("blocksVerified"), blocksVerified},
                {QStringLiteral("modbusSent"), modbusSent},
                {QStringLiteral("modbusWritten"), modbusWritten},
                {QStringLiteral("modbusVerified"), false}};
    }
};

int runApply(const Invocation &invocation, Console &console)
{
    const QString path = invocation.args.at(0);
    QString why;
    const auto settings = parseDump(readFile(path), &why);
    if (!settings)
        throw Failure(kExitUsage, QStringLiteral("%1: %2; nothing was sent").arg(path, why));
    const bool verify = invocation.has(QStringLiteral("verify"));
    const bool follow = invocation.has(QStringLiteral("follow"));
    const bool modbus = invocation.has(QStringLiteral("modbus"));
    requireFollowForModbus(invocation);
    if (const QString why = modbus ? modbusAddressProblem(settings->comms.address) : QString();
        !why.isEmpty())
        throw Failure(kExitUsage, QStringLiteral("%1: %2; nothing was sent").arg(path, why));

    const auto link = openLink(invocation, console);
    ApplyProgress progress;
    QStringList differences;
    CommsReadBack readBack;
    try {
        // Blocks first: the Modbus settings may move the display to another line.
        console.note(
            QStringLiteral("%1: writing %2 blocks").arg(link->label()).arg(qm::kBlockCount));
        for (int number = 1; number <= qm::kBlockCount; ++number) {
            const int sent = link->commandsSent();
            try {
                link->writeBlock(number, settings->blocks[std::size_t(number - 1)]);
            } catch (...) {
                progress.blockUnanswered = link->commandsSent() > sent;
                throw;
            }
            progress.blocksWritten = number;
        }

        if (verify) {
            for (int number = 1; number <= qm::kBlockCount; ++number) {
                const BlockSettings &wrote = settings->blocks[std::size_t(number - 1)];
                const BlockSettings has = link->readBlock(number);
                if (has != wrote)
                    differences << differenceText(QStringLiteral("block %1").arg(number),
                                                  describeBlock(wrote), describeBlock(has));
            }
            progress.blocksVerified = true;
        }

        console.note(QStringLiteral("%1: writing the Modbus settings").arg(link->label()));
        const int sent = link->commandsSent();
        try {
            link->writeComms(settings->comms);
        } catch (...) {
            progress.modbusSent = link->commandsSent() > sent;
            throw;
        }
        progress.modbusSent = true;
        progress.modbusWritten = true;
        readBack = afterCommsWrite(*link, console, settings->comms, follow, verify);
    } catch (const Failure &failure) {
        if (failure.code() == kExitUsage)
            throw;
        throw Failure(failure.code(), failure.message() + QStringLiteral("; ") + progress.text(),
                      progress.json());
    } catch (const CommError &error) {
        throw Failure(kExitPort, error.description() + QStringLiteral("; ") + progress.text(),
                      progress.json());
    }
    if (!readBack.difference.isEmpty())
        differences << readBack.difference;
    const bool modbusVerified = bool(readBack.settings);
    // A check at settings that did not take would prove nothing about them.
    FollowCheck check;
    if (modbus && differences.isEmpty())
        check = modbusAfterWrite(*link, console, settings->comms);

    if (console.json()) {
        QJsonObject document = {
            {QStringLiteral("port"), link->label()},
            {QStringLiteral("file"), path},
            {QStringLiteral("line"), formatLineSettings(link->line())},
            {QStringLiteral("blocksVerified"), verify},
            {QStringLiteral("modbusVerified"), modbusVerified},
            {QStringLiteral("verified"), verify && modbusVerified},
            {QStringLiteral("differences"), QJsonArray::fromStringList(differences)}};
        if (modbus && differences.isEmpty())
            document.insert(QStringLiteral("modbusCheck"), check.json);
        if (!check.failure.isEmpty()) {
            document.insert(QStringLiteral("error"), check.failure);
            document.insert(QStringLiteral("exit"), int(kExitNoReply));
        }
        console.document(document);
    }
    if (!differences.isEmpty()) {
        for (const QString &difference : differences)
            console.error(link->label() + QStringLiteral(": ") + difference);
        return kExitDifferent;
    }
    if (!check.failure.isEmpty()) {
        console.error(check.failure);
        return kExitNoReply;
    }
    QString checked;
    if (verify)
        checked = modbusVerified ? QStringLiteral("; verified")
                                 : QStringLiteral("; blocks verified, the Modbus settings not "
                                                  "read back");
    console.result(QStringLiteral("%1: applied %2: %3 blocks, then %4%5")
                       .arg(link->label(), path)
                       .arg(qm::kBlockCount)
                       .arg(describeComms(settings->comms), checked));
    if (!check.result.isEmpty())
        console.result(check.result);
    return kExitOk;
}

} // namespace

Command dumpCommand()
{
    return {QStringLiteral("dump"),
            QStringLiteral("[FILE]"),
            {QStringLiteral("save the Modbus settings and all nine blocks as"),
             QStringLiteral("JSON in FILE (default: print them)")},
            {},
            0,
            1,
            runDump};
}

Command applyCommand()
{
    return {QStringLiteral("apply"),
            QStringLiteral("FILE [--verify] [--follow [--modbus]]"),
            {QStringLiteral("write a dump to the display: blocks first, the"),
             QStringLiteral("Modbus settings last; --verify reads back and"),
             QStringLiteral("compares (the Modbus settings only on the same"),
             QStringLiteral("baud rate, or with --follow)")},
            {verifyOption(), followOption(), modbusOption()},
            1,
            1,
            runApply};
}

} // namespace cli
