#include "applyprogress.h"
#include "command.h"
#include "commerror.h"
#include "console.h"
#include "dumpfile.h"
#include "exitcodes.h"
#include "modbuscheck.h"
#include "outputfile.h"
#include "records.h"
#include "seal.h"
#include "steps.h"

#include <QElapsedTimer>
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

int runDump(const Invocation &invocation, Console &console)
{
    const QString path = invocation.args.value(0, kStandardStream);
    const auto link = openLink(invocation, console);
    const DisplaySettings settings = readWholeDisplay(*link);

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

// apply --record: the unit's record, from what the display was before the write to what it
// became, appended as one line once the apply ends; a record that cannot be written fails
// the command.
class ApplyRecord
{
public:
    explicit ApplyRecord(const Invocation &invocation)
        : m_on(invocation.has(QStringLiteral("record"))),
          m_signKey(invocation.value(QStringLiteral("sign")))
    {
        if (invocation.has(QStringLiteral("sign"))) {
            if (!m_on)
                throw Failure(kExitUsage, QStringLiteral("apply: --sign seals the records of "
                                                         "--record FILE, and there is none"));
            if (const QString why = signerProblem(m_signKey); !why.isEmpty())
                throw Failure(kExitUsage, QStringLiteral("--sign: %1; nothing was sent").arg(why));
        }
        if (!m_on)
            return;
        const QString path = invocation.value(QStringLiteral("record"));
        if (const QString why = m_file.open(path); !why.isEmpty())
            throw Failure(kExitOther, QStringLiteral("%1: the record file cannot be written: "
                                                     "%2; nothing was sent")
                                          .arg(path, why));
    }

    bool on() const { return m_on; }

    // Reads the display as found, before anything is sent.
    void start(const Invocation &invocation, DisplayLink &link, const DisplaySettings &wanted)
    {
        m_clock.start();
        if (!m_on)
            return;
        m_record = recordHead(operatorName(QString()));
        const QJsonObject facts = portFacts(invocation.port, link.label());
        for (auto it = facts.begin(); it != facts.end(); ++it)
            m_record.insert(it.key(), it.value());
        m_record.insert(QStringLiteral("address"), addressText(wanted.comms.address));
        m_record.insert(QStringLiteral("as_found"), settingsObject(readWholeDisplay(link)));
        m_record.insert(QStringLiteral("as_left"), QJsonValue());
        m_record.insert(QStringLiteral("changes"), QJsonArray());
        m_record.insert(QStringLiteral("modbus"), QJsonValue());
    }

    // The display as left and the Modbus check's outcome, once the write went through.
    void finish(DisplaySettings asLeft, const CommsReadBack &readBack,
                const QStringList &differences, const FollowCheck *check)
    {
        if (!m_on)
            return;
        if (readBack.settings) {
            asLeft.comms = *readBack.settings;
            const auto asFound =
                settingsFromObject(m_record.value(QStringLiteral("as_found")).toObject());
            m_record.insert(QStringLiteral("as_left"), settingsObject(asLeft));
            if (asFound)
                m_record.insert(QStringLiteral("changes"), settingsChanges(*asFound, asLeft));
        }
        if (check)
            m_record.insert(QStringLiteral("modbus"), check->json);
        QString failure = differences.join(QStringLiteral("; "));
        if (failure.isEmpty() && !readBack.settings)
            failure = QStringLiteral("the Modbus settings were not read back");
        if (failure.isEmpty() && check)
            failure = check->failure;
        write(failure);
    }

    // Appends the record: passed when `failure` is empty.
    void write(const QString &failure)
    {
        if (!m_on)
            return;
        m_record.insert(QStringLiteral("outcome"),
                        failure.isEmpty() ? QStringLiteral("pass") : QStringLiteral("fail"));
        if (!failure.isEmpty())
            m_record.insert(QStringLiteral("reason"), failure);
        m_record.insert(QStringLiteral("duration_ms"), m_clock.elapsed());
        if (const QString why = m_file.append(m_record); !why.isEmpty())
            throw Failure(
                kExitOther,
                QStringLiteral("%1: the record cannot be written: %2").arg(m_file.path(), why));
        if (m_signKey.isEmpty())
            return;
        if (const QString why = appendSeal(m_file, m_signKey); !why.isEmpty())
            throw Failure(kExitOther, QStringLiteral("%1: the record was written, its seal "
                                                     "not: %2")
                                          .arg(m_file.path(), why));
    }

private:
    bool m_on;
    QString m_signKey; // --sign: each record is sealed with it
    RecordFile m_file;
    QJsonObject m_record;
    QElapsedTimer m_clock;
};

int runApply(const Invocation &invocation, Console &console)
{
    const QString path = invocation.args.at(0);
    QString why;
    const auto settings = parseDump(readInputFile(path), &why);
    if (!settings)
        throw Failure(kExitUsage, QStringLiteral("%1: %2; nothing was sent").arg(path, why));
    const bool verify = invocation.has(QStringLiteral("verify"));
    const bool follow = invocation.has(QStringLiteral("follow"));
    const bool modbus = invocation.has(QStringLiteral("modbus"));
    requireFollowForModbus(invocation);
    if (const QString why = modbus ? modbusAddressProblem(settings->comms.address) : QString();
        !why.isEmpty())
        throw Failure(kExitUsage, QStringLiteral("%1: %2; nothing was sent").arg(path, why));

    // --record needs what the display was and what it became: it reads the display first,
    // and back at its new line after the write, as --verify --follow do.
    ApplyRecord record(invocation);
    const bool readBackAll = verify || record.on();
    const bool followLine = follow || record.on();

    const auto link = openLink(invocation, console);
    record.start(invocation, *link, *settings);
    DisplaySettings asLeft;
    ApplyProgress progress;
    QStringList differences;
    CommsReadBack readBack;
    try {
        // Blocks first: the Modbus settings may move the display to another line.
        console.note(
            QStringLiteral("%1: writing %2 blocks").arg(link->label()).arg(qm::kBlockCount));
        writeBlocks(*link, *settings, progress);
        if (readBackAll) {
            readBlocks(*link, asLeft);
            differences << blockDifferences(*settings, asLeft);
            progress.blocksVerified = true;
        }

        console.note(QStringLiteral("%1: writing the Modbus settings").arg(link->label()));
        writeModbus(*link, settings->comms, progress);
        readBack = afterCommsWrite(*link, console, settings->comms, followLine, readBackAll);
    } catch (const Failure &failure) {
        if (failure.code() == kExitUsage)
            throw;
        const QString message = failure.message() + QStringLiteral("; ") + progress.text();
        record.write(message);
        throw Failure(failure.code(), message, progress.json());
    } catch (const CommError &error) {
        const QString message = error.description() + QStringLiteral("; ") + progress.text();
        record.write(message);
        throw Failure(kExitPort, message, progress.json());
    }
    if (!readBack.difference.isEmpty())
        differences << readBack.difference;
    const bool modbusVerified = bool(readBack.settings);
    // A check at settings that did not take would prove nothing about them.
    FollowCheck check;
    if (modbus && differences.isEmpty())
        check = modbusAfterWrite(*link, settings->comms);
    record.finish(asLeft, readBack, differences,
                  modbus && differences.isEmpty() ? &check : nullptr);

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
            QStringLiteral("FILE [--verify] [--follow [--modbus]] [--record FILE [--sign KEY]]"),
            {QStringLiteral("write a dump to the display: blocks first, the"),
             QStringLiteral("Modbus settings last; --verify reads back and"),
             QStringLiteral("compares (the Modbus settings only on the same"),
             QStringLiteral("baud rate, or with --follow)")},
            {verifyOption(), followOption(), modbusOption(), recordOption(), signOption()},
            1,
            1,
            runApply};
}

} // namespace cli
