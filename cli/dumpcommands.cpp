#include "command.h"
#include "console.h"
#include "dumpfile.h"
#include "exitcodes.h"
#include "modbuscheck.h"
#include "steps.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace cli {
namespace {

const QString kStandardStream = QStringLiteral("-");

void writeFile(const QString &path, const QByteArray &text)
{
    // All or nothing: a dump cut short by a full disk must not replace a good one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        throw Failure(kExitOther,
                      QStringLiteral("%1: cannot be written: %2").arg(path, file.errorString()));
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
    if (path == kStandardStream) {
        console.data(QString::fromUtf8(text));
        return kExitOk;
    }
    writeFile(path, text);
    if (console.json())
        console.data(QString::fromUtf8(text));
    console.result(QStringLiteral("%1: dumped to %2: %3")
                       .arg(link->label(), path, describeComms(settings.comms)));
    return kExitOk;
}

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
    // Blocks first: the Modbus settings may move the display to another line.
    console.note(QStringLiteral("%1: writing %2 blocks").arg(link->label()).arg(qm::kBlockCount));
    for (int number = 1; number <= qm::kBlockCount; ++number)
        link->writeBlock(number, settings->blocks[std::size_t(number - 1)]);

    QStringList differences;
    if (verify) {
        for (int number = 1; number <= qm::kBlockCount; ++number) {
            const BlockSettings &wrote = settings->blocks[std::size_t(number - 1)];
            const BlockSettings has = link->readBlock(number);
            if (has != wrote)
                differences << differenceText(QStringLiteral("block %1").arg(number),
                                              describeBlock(wrote), describeBlock(has));
        }
    }

    console.note(QStringLiteral("%1: writing the Modbus settings").arg(link->label()));
    link->writeComms(settings->comms);
    const CommsReadBack readBack = afterCommsWrite(*link, console, settings->comms, follow, verify);
    if (!readBack.difference.isEmpty())
        differences << readBack.difference;
    // A check at settings that did not take would prove nothing about them.
    FollowCheck check;
    if (modbus && differences.isEmpty())
        check = modbusAfterWrite(*link, console, settings->comms);

    if (console.json()) {
        QJsonObject document = {
            {QStringLiteral("port"), link->label()},
            {QStringLiteral("file"), path},
            {QStringLiteral("line"), formatLineSettings(link->line())},
            {QStringLiteral("verified"), verify},
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
    console.result(QStringLiteral("%1: applied %2: %3 blocks, then %4%5")
                       .arg(link->label(), path)
                       .arg(qm::kBlockCount)
                       .arg(describeComms(settings->comms),
                            verify ? QStringLiteral("; verified") : QString()));
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
