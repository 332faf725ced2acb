// The commissioning station: one display after another on one port, each set up from a
// template with an address of its own, read back, and recorded.
#include "applyprogress.h"
#include "command.h"
#include "commerror.h"
#include "console.h"
#include "detect.h"
#include "dumpfile.h"
#include "exitcodes.h"
#include "interruption.h"
#include "modbuscheck.h"
#include "portnames.h"
#include "records.h"
#include "steps.h"

#include <QElapsedTimer>
#include <QJsonArray>

#include <memory>

namespace cli {
namespace {

// No valid answer for this long, and the unit has gone.
constexpr int kGoneMs = 1000;
// Between two polls of a line that did not answer.
constexpr int kPollPauseMs = 100;
constexpr int kMaxCount = qm::kMaxAddress;

// What one "$M" on the line found.
struct Poll
{
    enum class Kind { Answer, Silent, Absent } kind = Kind::Silent;
    CommsSettings comms;
};

class Station
{
public:
    Station(const Invocation &invocation, Console &console)
        : m_invocation(invocation), m_console(console),
          m_link(std::make_unique<DisplayLink>(console, invocation.timeoutMs))
    {
    }

    int run();

private:
    void readOptions();
    void readRecordFile();
    std::optional<int> nextAddress() const;

    Poll poll(const LineSettings &line);
    LineSettings waitForArrival(CommsSettings &comms);
    // Until no answer came at any of `lines` for kGoneMs, or an answer from a unit that has
    // none of the `identities`, or the port has gone.
    void waitUntilGone(const QList<LineSettings> &lines, const QList<CommsSettings> &identities);
    void commissionUnit(const LineSettings &arrivedAt, const CommsSettings &comms);
    void finishRecord(QJsonObject record, bool passed, int address, const QString &summary);

    void event(const QString &name, QJsonObject object = {});
    // The port as messages name it, also before it was first opened.
    QString portText() const
    {
        if (!m_link->label().isEmpty())
            return m_link->label();
        return m_invocation.port.label();
    }
    QString unitLabel() const { return QStringLiteral("%1: unit %2").arg(portText()).arg(m_unit); }
    QString summary() const;

    const Invocation &m_invocation;
    Console &m_console;
    std::unique_ptr<DisplayLink> m_link;
    QString m_templatePath;
    DisplaySettings m_template;
    int m_firstAddress = 0;
    int m_count = 0; // 0: until stopped
    bool m_anyLine = false;
    bool m_bell = false;
    bool m_modbus = false;
    QString m_operator;
    RecordFile m_records;

    // Addresses held by units that passed, here or in the record file, and what those
    // units were left with: a unit that shows one of these again was not taken away.
    QList<int> m_held;
    QList<DisplaySettings> m_passedAsLeft;
    QList<int> m_given; // addresses given in this run
    int m_unit = 0;
    int m_passed = 0;
    int m_failed = 0;
    int m_exitCode = kExitOk;
    bool m_portAbsentSaid = false;
    bool m_garbageSaid = false;
    QElapsedTimer m_arrival;
};

void Station::readOptions()
{
    m_templatePath = m_invocation.args.at(0);
    QString why;
    const auto parsed = parseDump(readInputFile(m_templatePath), &why);
    if (!parsed)
        throw Failure(kExitUsage,
                      QStringLiteral("%1: %2; nothing was sent").arg(m_templatePath, why));
    m_template = *parsed;

    if (!m_invocation.has(QStringLiteral("address")))
        throw Failure(kExitUsage, QStringLiteral("commission: --address FIRST is missing (the "
                                                 "first unit's address, 01 to FA)"));
    CommsSettings first;
    why = assignComms(first, QStringLiteral("address"),
                      m_invocation.value(QStringLiteral("address")));
    if (!why.isEmpty())
        throw Failure(kExitUsage, QStringLiteral("--") + why);
    m_firstAddress = first.address;

    if (m_invocation.has(QStringLiteral("count"))) {
        bool ok = false;
        const QString text = m_invocation.value(QStringLiteral("count"));
        m_count = text.toInt(&ok);
        if (!ok || m_count < 1 || m_count > kMaxCount)
            throw Failure(kExitUsage, QStringLiteral("--count: \"%1\" is not a number of units "
                                                     "from 1 to %2")
                                          .arg(printableText(text))
                                          .arg(kMaxCount));
    }
    m_anyLine = m_invocation.has(QStringLiteral("any-line"));
    m_bell = m_invocation.has(QStringLiteral("bell"));
    m_modbus = m_invocation.has(QStringLiteral("modbus"));
    m_operator = operatorName(m_invocation.value(QStringLiteral("operator")));
}

void Station::readRecordFile()
{
    if (!m_invocation.has(QStringLiteral("record")))
        return;
    const QString path = m_invocation.value(QStringLiteral("record"));
    const RecordsRead read = readRecords(path);
    if (!read.error.isEmpty())
        throw Failure(kExitOther, QStringLiteral("%1: the record file cannot be read: %2; "
                                                 "nothing was sent")
                                      .arg(path, read.error));
    // Opened now, before the port: a station that cannot keep its records does not start.
    const QString why = m_records.open(path);
    if (!why.isEmpty())
        throw Failure(kExitOther, QStringLiteral("%1: the record file cannot be written: %2; "
                                                 "nothing was sent")
                                      .arg(path, why));
    if (read.unreadable > 0)
        m_console.warning(QStringLiteral("%1: %2 line(s) are no record and were skipped")
                              .arg(path)
                              .arg(read.unreadable));
    for (const QJsonObject &record : read.records) {
        if (record.value(QStringLiteral("outcome")).toString() != QLatin1String("pass"))
            continue;
        bool ok = false;
        const int address = record.value(QStringLiteral("address")).toString().toInt(&ok, 16);
        if (ok && !m_held.contains(address))
            m_held << address;
        if (const auto asLeft =
                settingsFromObject(record.value(QStringLiteral("as_left")).toObject()))
            m_passedAsLeft << *asLeft;
    }
    if (!m_held.isEmpty())
        m_console.note(QStringLiteral("%1: %2 unit(s) passed before; their addresses are "
                                      "skipped")
                           .arg(path)
                           .arg(m_held.size()));
}

std::optional<int> Station::nextAddress() const
{
    int address = m_given.isEmpty() ? m_firstAddress : m_given.constLast() + 1;
    while (address <= qm::kMaxAddress && m_held.contains(address))
        ++address;
    if (address > qm::kMaxAddress)
        return std::nullopt;
    return address;
}

void Station::event(const QString &name, QJsonObject object)
{
    if (!m_console.json())
        return;
    object.insert(QStringLiteral("event"), name);
    m_console.event(object);
}

// A port whose device is missing (a USB adapter per unit, unplugged) answers nothing; a
// port that cannot be used for another reason (permission, another program's) ends the run.
Poll Station::poll(const LineSettings &line)
{
    try {
        if (!m_link->comm().portOpen())
            m_link->open(m_invocation.port, line);
        else if (m_link->line() != line)
            m_link->reopen(line);
        m_portAbsentSaid = false;
        const CommsSettings comms = m_link->readComms();
        m_garbageSaid = false;
        return {Poll::Kind::Answer, comms};
    } catch (const Failure &failure) {
        if (failure.code() != kExitNoReply)
            throw;
        // Something answers, but not validly: said once until a valid answer comes.
        if (failure.details().contains(QStringLiteral("received")) && !m_garbageSaid) {
            m_console.warning(failure.message() + QStringLiteral("; not taken for a unit"));
            m_garbageSaid = true;
        } else {
            m_console.trace(failure.message());
        }
        return {};
    } catch (const CommError &error) {
        switch (error.kind()) {
        case CommError::Kind::NoSuchPort:
        case CommError::Kind::NoDevice:
        case CommError::Kind::Lost:
        case CommError::Kind::NotOpen:
        case CommError::Kind::Io:
            break;
        default:
            throw;
        }
        if (m_link->comm().portOpen())
            m_link->comm().setPortOpen(false);
        if (!m_portAbsentSaid)
            m_console.note(error.description() + QStringLiteral("; waiting for the port"));
        m_portAbsentSaid = true;
        return {Poll::Kind::Absent, {}};
    }
}

LineSettings Station::waitForArrival(CommsSettings &comms)
{
    // With --any-line every setting a display runs is tried in turn after the usual one, so
    // that a unit at any of them is found within one sweep.
    QList<LineSettings> lines = {m_invocation.line};
    if (m_anyLine) {
        for (const LineSettings &line : detectTries()) {
            if (!lines.contains(line))
                lines << line;
        }
    }
    m_console.note(
        QStringLiteral("%1: waiting for a display at %2%3")
            .arg(portText(), formatLineSettings(m_invocation.line),
                 m_anyLine ? QStringLiteral(" and every other line setting") : QString()));
    event(QStringLiteral("waiting"), {{QStringLiteral("port"), portText()}});
    for (qsizetype next = 0;; next = (next + 1) % lines.size()) {
        throwIfInterrupted(portText(), QStringLiteral("while waiting for a display"));
        const Poll found = poll(lines[next]);
        if (found.kind == Poll::Kind::Answer) {
            comms = found.comms;
            return lines[next];
        }
        if (next + 1 == lines.size() || found.kind == Poll::Kind::Absent)
            waitForInterruption(kPollPauseMs);
    }
}

void Station::waitUntilGone(const QList<LineSettings> &lines,
                            const QList<CommsSettings> &identities)
{
    m_console.note(
        QStringLiteral("%1: waiting for the unit to be taken away (nothing more is written to "
                       "it)")
            .arg(unitLabel()));
    QElapsedTimer silent;
    silent.start();
    for (qsizetype next = 0;; next = (next + 1) % lines.size()) {
        throwIfInterrupted(unitLabel(), QStringLiteral("while waiting for the unit to leave"));
        const Poll found = poll(lines[next]);
        // Another unit's answer says that this one was taken away and the next put in.
        if (found.kind == Poll::Kind::Absent ||
            (found.kind == Poll::Kind::Answer && !identities.contains(found.comms)))
            break;
        if (found.kind == Poll::Kind::Answer)
            silent.restart();
        else if (silent.elapsed() >= kGoneMs)
            break;
        waitForInterruption(kPollPauseMs);
    }
    m_console.note(QStringLiteral("%1: gone").arg(unitLabel()));
    event(QStringLiteral("left"), {{QStringLiteral("unit"), m_unit}});
}

void Station::finishRecord(QJsonObject record, bool passed, int address, const QString &summary)
{
    record.insert(QStringLiteral("duration_ms"), qint64(m_arrival.elapsed()));
    if (m_records.isOpen()) {
        const QString why = m_records.append(record);
        if (!why.isEmpty())
            throw Failure(kExitOther, QStringLiteral("%1: the record of unit %2 cannot be "
                                                     "written: %3; %4")
                                          .arg(m_records.path())
                                          .arg(m_unit)
                                          .arg(why, summary));
    }
    if (passed) {
        ++m_passed;
        m_held << address;
    } else {
        ++m_failed;
    }
    const QString line =
        QStringLiteral("%1: address %2: %3").arg(unitLabel(), addressText(address), summary);
    if (m_console.json()) {
        QJsonObject object = record;
        object.insert(QStringLiteral("unit"), m_unit);
        event(passed ? QStringLiteral("passed") : QStringLiteral("failed"), object);
    } else if (passed) {
        m_console.result(line);
    } else {
        m_console.error(line);
    }
    if (m_bell)
        m_console.bell(passed ? 1 : 2);
}

void Station::commissionUnit(const LineSettings &arrivedAt, const CommsSettings &comms)
{
    ++m_unit;
    m_console.note(QStringLiteral("%1 answered at %2: %3")
                       .arg(unitLabel(), formatLineSettings(arrivedAt), describeComms(comms)));

    DisplaySettings asFound;
    asFound.comms = comms;
    try {
        readBlocks(*m_link, asFound);
    } catch (const Failure &failure) {
        if (failure.code() != kExitNoReply)
            throw;
        m_console.error(QStringLiteral("%1: not read whole, nothing was written to it: %2")
                            .arg(unitLabel(), failure.message()));
        waitUntilGone({arrivedAt}, {comms});
        return;
    } catch (const CommError &error) {
        m_console.error(QStringLiteral("%1: not read whole, nothing was written to it: %2")
                            .arg(unitLabel(), error.description()));
        return;
    }
    event(QStringLiteral("arrived"), {{QStringLiteral("unit"), m_unit},
                                      {QStringLiteral("line"), formatLineSettings(arrivedAt)},
                                      {QStringLiteral("as_found"), settingsObject(asFound)}});

    if (m_passedAsLeft.contains(asFound)) {
        m_console.warning(QStringLiteral("%1: the same unit again (it has the settings a unit "
                                         "that passed was left with, address %2); nothing is "
                                         "written to it")
                              .arg(unitLabel(), addressText(comms.address)));
        event(QStringLiteral("same"), {{QStringLiteral("unit"), m_unit},
                                       {QStringLiteral("address"), addressText(comms.address)}});
        waitUntilGone({arrivedAt}, {comms});
        return;
    }

    const std::optional<int> address = nextAddress();
    if (!address)
        throw Failure(kExitOther,
                      QStringLiteral("%1: no address is left after %2 (the last is FA); "
                                     "nothing was written to it")
                          .arg(unitLabel(), addressText(m_given.isEmpty() ? m_firstAddress
                                                                          : m_given.constLast())));
    m_given << *address;
    DisplaySettings target = m_template;
    target.comms.address = *address;

    QJsonObject record = recordHead(m_operator);
    const QJsonObject facts = portFacts(m_invocation.port, m_link->label());
    for (auto it = facts.begin(); it != facts.end(); ++it)
        record.insert(it.key(), it.value());
    record.insert(QStringLiteral("address"), addressText(*address));
    record.insert(QStringLiteral("as_found"), settingsObject(asFound));
    record.insert(QStringLiteral("as_left"), QJsonValue());
    record.insert(QStringLiteral("changes"), QJsonArray());
    record.insert(QStringLiteral("modbus"), QJsonValue());

    m_console.note(QStringLiteral("%1: writing the template with address %2")
                       .arg(unitLabel(), addressText(*address)));
    event(QStringLiteral("writing"),
          {{QStringLiteral("unit"), m_unit}, {QStringLiteral("address"), addressText(*address)}});

    // From the first write on, a signal lets the exchange on the wire finish; the unit is
    // then recorded with what it got.
    m_link->setFinishExchanges(true);
    ApplyProgress progress;
    LineSettings leftAt = arrivedAt;
    QString failure;
    int failureCode = kExitOk;
    DisplaySettings asLeft;
    try {
        writeBlocks(*m_link, target, progress);
        writeModbus(*m_link, target.comms, progress);
        leftAt = lineFor(target.comms);
        event(QStringLiteral("written"), {{QStringLiteral("unit"), m_unit}});
        if (leftAt != m_link->line())
            m_link->reopen(leftAt);
        asLeft = readWholeDisplay(*m_link);
        progress.blocksVerified = true;
    } catch (const Failure &caught) {
        failureCode = caught.code();
        failure = failureCode >= kExitHangUp
                      ? QStringLiteral("interrupted by %1; %2")
                            .arg(signalName(interruption()), progress.text())
                      : caught.message() + QStringLiteral("; ") + progress.text();
    } catch (const CommError &error) {
        failureCode = kExitPort;
        failure = error.description() + QStringLiteral("; ") + progress.text();
    }
    m_link->setFinishExchanges(false);

    QStringList differences;
    if (failure.isEmpty()) {
        record.insert(QStringLiteral("as_left"), settingsObject(asLeft));
        record.insert(QStringLiteral("changes"), settingsChanges(asFound, asLeft));
        if (asLeft.comms != target.comms)
            differences << differenceText(QStringLiteral("the Modbus settings"),
                                          describeComms(target.comms), describeComms(asLeft.comms));
        differences << blockDifferences(target, asLeft);
        if (!differences.isEmpty()) {
            failureCode = kExitDifferent;
            failure = QStringLiteral("read back: ") + differences.join(QStringLiteral("; "));
        }
    }
    // A check at settings that did not take would prove nothing about them.
    if (m_modbus && failure.isEmpty()) {
        const FollowCheck check = modbusAfterWrite(*m_link, m_console, target.comms);
        record.insert(QStringLiteral("modbus"), check.json);
        if (!check.failure.isEmpty()) {
            failureCode = kExitNoReply;
            failure = check.failure;
        }
    }

    const bool passed = failure.isEmpty();
    record.insert(QStringLiteral("outcome"),
                  passed ? QStringLiteral("pass") : QStringLiteral("fail"));
    if (!passed)
        record.insert(QStringLiteral("reason"), failure);
    if (passed)
        m_passedAsLeft << asLeft;
    else if (m_exitCode == kExitOk || failureCode == kExitDifferent)
        m_exitCode = failureCode;
    finishRecord(record, passed, *address,
                 passed ? describeChanges(record.value(QStringLiteral("changes")).toArray()) +
                              QStringLiteral(": PASS")
                        : QStringLiteral("FAIL: ") + failure);

    if (failureCode >= kExitHangUp)
        throw Failure(ExitCode(failureCode), QStringLiteral("%1: stopped by %2 while it was "
                                                            "being written")
                                                 .arg(unitLabel(), signalName(interruption())));
    if (m_count > 0 && m_passed >= m_count)
        return;
    // A unit whose Modbus settings were sent may listen at the new line already; one that
    // failed may also still answer with what it had, at its old line.
    QList<LineSettings> lines = {progress.modbusSent ? lineFor(target.comms) : arrivedAt};
    QList<CommsSettings> identities = {passed ? asLeft.comms : target.comms};
    if (!passed) {
        if (!lines.contains(arrivedAt))
            lines << arrivedAt;
        identities << asFound.comms;
    }
    waitUntilGone(lines, identities);
}

QString Station::summary() const
{
    QStringList given;
    for (int address : m_given)
        given << addressText(address);
    return QStringLiteral("%1 unit(s) passed, %2 failed; addresses given: %3")
        .arg(m_passed)
        .arg(m_failed)
        .arg(given.isEmpty() ? QStringLiteral("none") : given.join(QStringLiteral(", ")));
}

int Station::run()
{
    readOptions();
    readRecordFile();
    try {
        while (m_count == 0 || m_passed < m_count) {
            if (!nextAddress()) {
                m_console.warning(QStringLiteral("no address is left for a further unit (the "
                                                 "last is FA); the run ends"));
                break;
            }
            CommsSettings comms;
            const LineSettings line = waitForArrival(comms);
            m_arrival.start();
            commissionUnit(line, comms);
        }
    } catch (const Failure &failure) {
        m_console.note(summary());
        event(QStringLiteral("summary"), {{QStringLiteral("passed"), m_passed},
                                          {QStringLiteral("failed"), m_failed},
                                          {QStringLiteral("stopped"), failure.message()}});
        throw;
    }
    m_console.result(summary());
    QJsonArray given;
    for (int address : m_given)
        given.append(addressText(address));
    event(QStringLiteral("summary"), {{QStringLiteral("passed"), m_passed},
                                      {QStringLiteral("failed"), m_failed},
                                      {QStringLiteral("addresses"), given}});
    return m_exitCode;
}

int runCommission(const Invocation &invocation, Console &console)
{
    return Station(invocation, console).run();
}

QCommandLineOption valueOption(const QString &name, const QString &value,
                               const QString &description)
{
    return QCommandLineOption(name, description, value);
}

} // namespace

Command commissionCommand()
{
    return {QStringLiteral("commission"),
            QStringLiteral("TEMPLATE --address FIRST [--count N] [--record FILE] [--operator "
                           "NAME] [--any-line] [--bell] [--modbus]"),
            {QStringLiteral("a commissioning station: waits for one display"),
             QStringLiteral("after another, writes the template with the next"),
             QStringLiteral("address, reads it back, records the unit, and waits"),
             QStringLiteral("for it to be taken away")},
            {valueOption(QStringLiteral("address"), QStringLiteral("HH"),
                         QStringLiteral("commission: the first unit's address, 01 to FA; each "
                                        "further unit gets the next one up")),
             valueOption(QStringLiteral("count"), QStringLiteral("N"),
                         QStringLiteral("commission: end after N units passed")),
             recordOption(),
             valueOption(QStringLiteral("operator"), QStringLiteral("NAME"),
                         QStringLiteral("commission: the operator in the records (default: the "
                                        "login name)")),
             QCommandLineOption(QStringLiteral("any-line"),
                                QStringLiteral("commission: also look for a unit at every other "
                                               "line setting")),
             QCommandLineOption(QStringLiteral("bell"),
                                QStringLiteral("commission: ring the terminal bell for each "
                                               "unit, twice when it failed")),
             modbusOption()},
            1,
            1,
            runCommission};
}

} // namespace cli
