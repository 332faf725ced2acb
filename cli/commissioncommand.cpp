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
#include "modbusframe.h"
#include "numbers.h"
#include "portnames.h"
#include "portwatcher.h"
#include "records.h"
#include "seal.h"
#include "steps.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <openssl/crypto.h>

namespace cli {
namespace {

// No valid answer for this long, and the unit has gone.
constexpr int kGoneMs = 1000;
// Between two polls of a line that did not answer.
constexpr int kPollPauseMs = 100;
constexpr int kMaxCount = qm::kMaxAddress;
// Free space the record file's file system must have before a unit is written to: a
// record with both settings and a long reason is under 4 KiB.
constexpr qint64 kRecordRoom = 16 * 1024;
// Units between two seals: a station that dies loses at most this many units' seal.
constexpr int kDefaultSealEvery = 50;

// What one "$M" on the line found.
struct Poll
{
    // Absent: the port's device is not there (unplugged); Failed: it is there but cannot
    // be used just now (a reopen refused).
    enum class Kind { Answer, Silent, Absent, Failed } kind = Kind::Silent;
    CommsSettings comms;
};

// What writing one unit came to.
struct UnitWrite
{
    ApplyProgress progress;
    QString failure; // empty when the unit passed
    int failureCode = kExitOk;
    DisplaySettings asLeft;
    bool asLeftRead = false;
};

// The addresses of a run on several lines without a record file: one book for all of them,
// so that no two lines give one address. With a record file each line reads the others'
// claims from the file, under its lock.
// Another line passed the run's last unit: this one, waiting, ends.
struct RunDone
{
};

// What one line is doing, for its status row on a terminal.
struct LineStatus
{
    mutable std::mutex mutex;
    QString state = QStringLiteral("starting");
    int unit = 0;
    int address = -1;
    QElapsedTimer since; // since the state began

    void set(const QString &newState, int newUnit, int newAddress = -1)
    {
        const std::lock_guard<std::mutex> hold(mutex);
        state = newState;
        unit = newUnit;
        address = newAddress;
        since.start();
    }
    // "COM 3   writing    unit 4   address 13   0:07"
    QString row(const QString &port) const
    {
        const std::lock_guard<std::mutex> hold(mutex);
        const qint64 seconds = since.isValid() ? since.elapsed() / 1000 : 0;
        return QStringLiteral("%1  %2  %3  %4  %5:%6")
            .arg(port, -7)
            .arg(state, -9)
            .arg(unit > 0 ? QStringLiteral("unit %1").arg(unit) : QString(), -8)
            .arg(address >= 0 ? QStringLiteral("address %1").arg(addressText(address)) : QString(),
                 -10)
            .arg(seconds / 60)
            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    }
};

struct SharedBook
{
    std::mutex mutex;
    AddressBook book;
    std::atomic<int> passed{0};  // units passed on all lines, for --count
    std::atomic<int> writing{0}; // units given an address and not yet recorded
    std::atomic<bool> done{false};
};

class Station
{
public:
    // `shared`: this station is one line of several.
    Station(const Invocation &invocation, Console &console, SharedBook *shared = nullptr,
            LineStatus *status = nullptr)
        : m_invocation(invocation), m_console(console),
          m_link(std::make_unique<DisplayLink>(console, invocation.timeoutMs)), m_shared(shared),
          m_status(status)
    {
    }

    // `checkOnly`: reads the options and the record file and returns.
    int run(bool checkOnly = false);
    int runUnits();
    // One line of several: ends without throwing; what ended it is in stopped().
    int runLine();
    int passed() const { return m_passed; }
    int failed() const { return m_failed; }
    const QList<int> &given() const { return m_given; }
    const QString &stopped() const { return m_stopped; }
    // The units' outcome alone: kExitOk when none failed.
    int unitsOutcome() const { return outcome(kExitOk); }

private:
    void readOptions();
    void readRecordFile();
    // Takes in what was appended to the record file since it was last read.
    void readAppended();
    std::optional<int> nextAddress() const;
    // The next address, claimed in the record file so that no other station gives it;
    // nothing when the range has run out.
    std::optional<int> reserveAddress();
    bool isSameUnit(const DisplaySettings &found) const;
    void recordLost(const QString &why, const QString &what);
    // A signed seal after the lines this run wrote since the last one, if any.
    void seal();

    Poll poll(const LineSettings &line, bool leaving = false);
    // While the port's adapter is absent: waits for news of a serial device; false when
    // there is no such news (no udev, a network line) and the caller polls on its own.
    bool awaitDevice();
    LineSettings waitForArrival(CommsSettings &comms);
    // Until no answer came at any of `lines` for kGoneMs, or an answer from a unit that has
    // none of the `identities`, or the port has gone.
    void waitUntilGone(const QList<LineSettings> &lines, const QList<CommsSettings> &identities);
    void commissionUnit(const LineSettings &arrivedAt, const CommsSettings &comms);
    // The unit that answered, read whole; nothing when it is not to be written (not read
    // whole, or the same unit again), having said why and waited for it to go.
    std::optional<DisplaySettings> readArrival(const LineSettings &arrivedAt,
                                               const CommsSettings &comms);
    // Writes `target`, reads it back and checks it over Modbus when asked; the differences
    // and the check go into `record`.
    UnitWrite writeUnit(const DisplaySettings &target, const DisplaySettings &asFound,
                        const LineSettings &arrivedAt, QJsonObject &record);
    void finishRecord(QJsonObject record, bool passed, int address, const QString &summary);
    // The run's exit status: what its units came to, else what ended it.
    int outcome(int endCode) const;

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

    // The book every address is chosen from: the run's shared one for several lines without
    // a record file, else this station's.
    AddressBook &book() { return m_shared && !m_records.isOpen() ? m_shared->book : m_book; }
    const AddressBook &book() const
    {
        return m_shared && !m_records.isOpen() ? m_shared->book : m_book;
    }
    std::unique_lock<std::mutex> holdBook() const
    {
        return m_shared ? std::unique_lock<std::mutex>(m_shared->mutex)
                        : std::unique_lock<std::mutex>();
    }

    int passedInRun() const { return m_shared ? m_shared->passed.load() : m_passed; }

    const Invocation m_invocation;
    Console &m_console;
    std::unique_ptr<DisplayLink> m_link;
    SharedBook *m_shared = nullptr;
    LineStatus *m_status = nullptr;
    int m_unitAddress = -1; // the address the unit on the line was given
    bool m_countReached = false;
    void setState(const QString &state, int address = -1)
    {
        if (!m_status)
            return;
        m_status->set(state, m_unit, address);
        m_console.redrawFooter();
    }
    QString m_stopped;
    QString m_absence; // why the port could not be used, the last time it could not
    QString m_templatePath;
    DisplaySettings m_template;
    int m_firstAddress = 0;
    int m_count = 0; // 0: until stopped
    bool m_anyLine = false;
    bool m_bell = false;
    bool m_modbus = false;
    QString m_operator;
    RecordFile m_records;
    QString m_signKey;
    int m_sealEvery = kDefaultSealEvery;
    int m_unsealedUnits = 0;
    bool m_unsealedLines = false;

    int m_lastAddress = qm::kMaxAddress;

    // The addresses spent and passed, from the record file (this run's own lines read back
    // from it) or, without one, from this run's lines.
    AddressBook m_book;
    QList<int> m_given; // addresses given in this run
    int m_unit = 0;
    int m_passed = 0;
    int m_failed = 0;
    int m_exitCode = kExitOk; // the first failed unit's
    bool m_readBackFailed = false;
    bool m_recordLost = false;
    bool m_portAbsentSaid = false;
    bool m_garbageSaid = false;
    QElapsedTimer m_arrival;
    // udev's news of serial devices, while the port is absent.
    std::unique_ptr<SystemPortSource> m_devices;
    bool m_noDeviceNews = false;
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
        const QString text = m_invocation.value(QStringLiteral("count"));
        const std::optional<int> count = qm::readNumber(text.toStdString(), 1, kMaxCount);
        if (!count)
            throw Failure(kExitUsage, QStringLiteral("--count: \"%1\" is not a number of units "
                                                     "from 1 to %2")
                                          .arg(printableText(text))
                                          .arg(kMaxCount));
        m_count = *count;
    }
    m_anyLine = m_invocation.has(QStringLiteral("any-line"));
    m_bell = m_invocation.has(QStringLiteral("bell"));
    m_modbus = m_invocation.has(QStringLiteral("modbus"));
    m_operator = operatorName(m_invocation.value(QStringLiteral("operator")));
    if (m_invocation.has(QStringLiteral("seal-every"))) {
        bool ok = false;
        const QString text = m_invocation.value(QStringLiteral("seal-every"));
        m_sealEvery = text.toInt(&ok);
        if (!ok || m_sealEvery < 1)
            throw Failure(kExitUsage, QStringLiteral("--seal-every: \"%1\" is not a number of "
                                                     "units from 1 up")
                                          .arg(printableText(text)));
    }
    if (m_invocation.has(QStringLiteral("sign")) ||
        m_invocation.has(QStringLiteral("seal-every"))) {
        if (!m_invocation.has(QStringLiteral("record")) ||
            !m_invocation.has(QStringLiteral("sign")))
            throw Failure(kExitUsage, QStringLiteral("commission: --sign KEY seals the records of "
                                                     "--record FILE; --seal-every goes with both; "
                                                     "nothing was sent"));
        m_signKey = m_invocation.value(QStringLiteral("sign"));
        if (const QString why = signerProblem(m_signKey); !why.isEmpty())
            throw Failure(kExitUsage, QStringLiteral("--sign: %1; nothing was sent").arg(why));
    }

    // libmodbus refuses addresses past F7: a unit given one could not pass its check.
    m_lastAddress = m_modbus ? qm::kMaxModbusAddress : qm::kMaxAddress;
    const QString limit =
        m_modbus ? QStringLiteral("with --modbus the last address is %1 (Modbus allows no "
                                  "higher one)")
                       .arg(addressText(m_lastAddress))
                 : QStringLiteral("the last address is %1").arg(addressText(m_lastAddress));
    if (m_firstAddress > m_lastAddress)
        throw Failure(kExitUsage, QStringLiteral("--address %1: %2; nothing was sent")
                                      .arg(addressText(m_firstAddress), limit));
    if (m_count > 0 && m_firstAddress + m_count - 1 > m_lastAddress)
        throw Failure(kExitUsage,
                      QStringLiteral("--address %1 --count %2 runs past %3: %4, so the run "
                                     "would stop after %5 unit(s); nothing was sent")
                          .arg(addressText(m_firstAddress))
                          .arg(m_count)
                          .arg(addressText(m_lastAddress), limit)
                          .arg(m_lastAddress - m_firstAddress + 1));
    if (m_modbus && m_count == 0)
        m_console.note(limit + QStringLiteral("; the run stops there at the latest"));
}

void Station::readRecordFile()
{
    if (!m_invocation.has(QStringLiteral("record")))
        return;
    const QString path = m_invocation.value(QStringLiteral("record"));
    // Opened now, before the port: a station that cannot keep its records does not start.
    const QString why = m_records.open(path, true);
    if (!why.isEmpty())
        throw Failure(kExitOther, QStringLiteral("%1: the record file cannot be written: %2; "
                                                 "nothing was sent")
                                      .arg(path, why));
    readAppended();
    if (const QString room = m_records.roomFor(kRecordRoom); !room.isEmpty())
        throw Failure(kExitOther, QStringLiteral("%1: the record file cannot be written: %2; "
                                                 "nothing was sent")
                                      .arg(path, room));
    // Said once for a run on several lines, before they start.
    if (m_book.passedCount() > 0 && !m_shared)
        m_console.note(QStringLiteral("%1: %2 unit(s) passed before; their addresses, and "
                                      "every address a failed unit was sent, are skipped")
                           .arg(path)
                           .arg(m_book.passedCount()));
}

void Station::readAppended()
{
    // A piece at a time: a year of records is a few hundred megabytes.
    for (;;) {
        int firstLine = 1;
        const QByteArray text = m_records.readAppended(&firstLine);
        if (text.isEmpty())
            return;
        RecordsRead read;
        readRecordLines(text, firstLine, read, LineDepth::Index);
        if (!read.unreadableLines.isEmpty())
            m_console.warning(QStringLiteral("%1: %2: no record, skipped")
                                  .arg(m_records.path(), linesText(read.unreadableLines)));
        m_book.take(read);
    }
}

std::optional<int> Station::nextAddress() const
{
    const auto hold = holdBook();
    int address = m_given.isEmpty() ? m_firstAddress : m_given.constLast() + 1;
    while (address <= m_lastAddress && book().isSpent(address))
        ++address;
    if (address > m_lastAddress)
        return std::nullopt;
    return address;
}

void Station::recordLost(const QString &why, const QString &what)
{
    m_recordLost = true;
    throw Failure(kExitOther, QStringLiteral("%1: the record of unit %2 cannot be written: %3; %4")
                                  .arg(m_records.path())
                                  .arg(m_unit)
                                  .arg(why, what));
}

std::optional<int> Station::reserveAddress()
{
    // Under the lock, what another station claimed meanwhile is read before choosing.
    struct Locked
    {
        RecordFile &file;
        explicit Locked(RecordFile &records) : file(records) { file.lock(); }
        ~Locked() { file.unlock(); }
    } locked(m_records);
    readAppended();
    // The lines' shared book is held from choosing to claiming.
    const auto hold = holdBook();
    // Units being written on other lines may be the last ones --count asks for.
    m_countReached = m_shared && m_count > 0 && m_shared->passed + m_shared->writing >= m_count;
    if (m_countReached)
        return std::nullopt;
    std::optional<int> address;
    {
        int next = m_given.isEmpty() ? m_firstAddress : m_given.constLast() + 1;
        while (next <= m_lastAddress && book().isSpent(next))
            ++next;
        if (next <= m_lastAddress)
            address = next;
    }
    if (!address)
        return std::nullopt;
    QJsonObject reservation = recordHead(m_operator);
    reservation.insert(QStringLiteral("port"), portText());
    reservation.insert(QStringLiteral("address"), addressText(*address));
    reservation.insert(QStringLiteral("reserved"), true);
    if (m_records.isOpen()) {
        // Nothing is written to a unit whose record could not be kept.
        QString why = m_records.roomFor(kRecordRoom);
        if (why.isEmpty())
            why = m_records.append(reservation);
        if (!why.isEmpty())
            recordLost(why, QStringLiteral("nothing was written to it"));
        m_unsealedLines = true;
        readAppended();
    } else {
        RecordsRead own;
        own.lines << reservation;
        book().take(own);
    }
    m_given << *address;
    if (m_shared)
        ++m_shared->writing;
    return address;
}

// The template with an address that a unit passed with: a state no unit fresh from the
// factory has, unless the template is the factory's own state.
bool Station::isSameUnit(const DisplaySettings &found) const
{
    DisplaySettings passedAs = m_template;
    passedAs.comms.address = found.comms.address;
    const auto hold = holdBook();
    return found == passedAs && book().isPassed(found.comms.address);
}

void Station::event(const QString &name, QJsonObject object)
{
    if (!m_console.json())
        return;
    object.insert(QStringLiteral("event"), name);
    // Several lines' events come in one stream: each says its line.
    if (!object.contains(QStringLiteral("port")))
        object.insert(QStringLiteral("port"), portText());
    m_console.event(object);
}

// A port whose device is missing (a USB adapter per unit, unplugged) answers nothing; a
// port that cannot be used for another reason (permission, another program's) ends the run.
// `leaving`: a unit is on the line, and a port that fails to reopen is no sign of its going.
Poll Station::poll(const LineSettings &line, bool leaving)
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
        Poll::Kind kind = Poll::Kind::Failed;
        switch (error.kind()) {
        case CommError::Kind::NoSuchPort:
        case CommError::Kind::NoDevice:
            kind = Poll::Kind::Absent;
            break;
        case CommError::Kind::Lost:
        case CommError::Kind::NotOpen:
        case CommError::Kind::Io:
            break;
        case CommError::Kind::BadSettings:
            if (leaving)
                break;
            throw;
        default:
            throw;
        }
        if (m_link->comm().portOpen())
            m_link->comm().setPortOpen(false);
        if (!m_portAbsentSaid) {
            setState(QStringLiteral("no port"));
            m_console.note(error.description() + QStringLiteral("; waiting for the port"));
        }
        m_absence = error.description();
        m_portAbsentSaid = true;
        return {kind, {}};
    }
}

bool Station::awaitDevice()
{
    const Port &port = m_invocation.port;
    if (m_noDeviceNews || isNetworkAddress(port.isNumber() ? portDevice(port.number) : port.device))
        return false;
    if (!m_devices) {
        // Without udev the device list is read once a second, slower than our own poll.
        if (!SystemPortSource::udevRunning()) {
            m_noDeviceNews = true;
            return false;
        }
        m_devices = std::make_unique<SystemPortSource>(SystemPortSource::Mode::Udev);
        if (m_devices->mode() != SystemPortSource::Mode::Udev) {
            m_devices.reset();
            m_noDeviceNews = true;
            return false;
        }
        // A device that came before the monitor started is no news to it: one more poll.
        return true;
    }
    // Any device may be the port's (its link or by-id name leads to it only once it is
    // there), and so may a new link to a device that was there: each is worth one poll.
    QEventLoop loop;
    QObject::connect(m_devices.get(), &PortEventSource::deviceAdded, &loop, &QEventLoop::quit);
    QObject::connect(m_devices.get(), &SystemPortSource::linkFolderChanged, &loop,
                     &QEventLoop::quit);
    std::unique_ptr<QSocketNotifier> interrupted;
    if (interruptionDescriptor() >= 0) {
        interrupted =
            std::make_unique<QSocketNotifier>(interruptionDescriptor(), QSocketNotifier::Read);
        QObject::connect(interrupted.get(), &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    }
    // The other lines ending the run set a flag only.
    QTimer ended;
    QObject::connect(&ended, &QTimer::timeout, &loop, [this, &loop] {
        if (interruption() != 0 || (m_shared && m_shared->done))
            loop.quit();
    });
    ended.start(kPollPauseMs);
    loop.exec();
    return true;
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
    setState(m_portAbsentSaid ? QStringLiteral("no port") : QStringLiteral("waiting"));
    for (qsizetype next = 0;; next = (next + 1) % lines.size()) {
        throwIfInterrupted(portText(), QStringLiteral("while waiting for a display"));
        if (m_shared && m_shared->done)
            throw RunDone();
        const Poll found = poll(lines[next]);
        if (found.kind != Poll::Kind::Absent)
            m_devices.reset();
        if (found.kind == Poll::Kind::Answer) {
            comms = found.comms;
            return lines[next];
        }
        if (found.kind == Poll::Kind::Absent && awaitDevice())
            continue;
        if (next + 1 == lines.size() || found.kind == Poll::Kind::Absent ||
            found.kind == Poll::Kind::Failed)
            waitForInterruption(kPollPauseMs);
    }
}

void Station::waitUntilGone(const QList<LineSettings> &lines,
                            const QList<CommsSettings> &identities)
{
    setState(QStringLiteral("leaving"), m_unitAddress);
    m_console.note(
        QStringLiteral("%1: waiting for the unit to be taken away (nothing more is written to "
                       "it)")
            .arg(unitLabel()));
    QElapsedTimer silent;
    silent.start();
    for (qsizetype next = 0;; next = (next + 1) % lines.size()) {
        throwIfInterrupted(unitLabel(), QStringLiteral("while waiting for the unit to leave"));
        const Poll found = poll(lines[next], true);
        // Another unit's answer says that this one was taken away and the next put in; a
        // port that fails to reopen says nothing about the unit.
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
    passed ? ++m_passed : ++m_failed;
    if (m_shared)
        --m_shared->writing;
    if (m_shared && passed && ++m_shared->passed >= m_count && m_count > 0)
        m_shared->done = true;
    if (m_records.isOpen()) {
        const QString why = m_records.append(record);
        if (!why.isEmpty())
            recordLost(why, QStringLiteral("address %1: %2").arg(addressText(address), summary));
        readAppended();
    } else {
        const auto hold = holdBook();
        RecordsRead own;
        own.lines << record;
        book().take(own);
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
    if (m_records.isOpen() && !m_signKey.isEmpty() && ++m_unsealedUnits >= m_sealEvery)
        seal();
}

void Station::seal()
{
    if (m_signKey.isEmpty() || !m_unsealedLines)
        return;
    const QString why = appendSeal(m_records, m_signKey);
    // A signer that failed once is not asked again at the run's end.
    m_unsealedLines = false;
    m_unsealedUnits = 0;
    if (!why.isEmpty()) {
        m_recordLost = true;
        throw Failure(
            kExitOther,
            QStringLiteral("%1: the records are not sealed: %2").arg(m_records.path(), why));
    }
    m_console.note(QStringLiteral("%1: sealed, signed with %2").arg(m_records.path(), m_signKey));
    readAppended();
}

std::optional<DisplaySettings> Station::readArrival(const LineSettings &arrivedAt,
                                                    const CommsSettings &comms)
{
    setState(QStringLiteral("as found"));
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
        return std::nullopt;
    } catch (const CommError &error) {
        m_console.error(QStringLiteral("%1: not read whole, nothing was written to it: %2")
                            .arg(unitLabel(), error.description()));
        return std::nullopt;
    }
    event(QStringLiteral("arrived"), {{QStringLiteral("unit"), m_unit},
                                      {QStringLiteral("line"), formatLineSettings(arrivedAt)},
                                      {QStringLiteral("as_found"), settingsObject(asFound)}});

    if (isSameUnit(asFound)) {
        m_console.warning(QStringLiteral("%1: the same unit again (it has the template with "
                                         "address %2, which a unit passed with); nothing is "
                                         "written to it")
                              .arg(unitLabel(), addressText(comms.address)));
        event(QStringLiteral("same"), {{QStringLiteral("unit"), m_unit},
                                       {QStringLiteral("address"), addressText(comms.address)}});
        waitUntilGone({arrivedAt}, {comms});
        return std::nullopt;
    }
    return asFound;
}

UnitWrite Station::writeUnit(const DisplaySettings &target, const DisplaySettings &asFound,
                             const LineSettings &arrivedAt, QJsonObject &record)
{
    // From the first write on, a signal lets the exchange on the wire finish; the unit is
    // then recorded with what it got.
    m_link->setFinishExchanges(true);
    UnitWrite unit;
    ApplyProgress &progress = unit.progress;
    LineSettings leftAt = arrivedAt;
    auto failed = [&](const Failure &caught) {
        unit.failureCode = caught.code();
        unit.failure = unit.failureCode >= kExitHangUp
                           ? QStringLiteral("interrupted by %1; %2")
                                 .arg(signalName(interruption()), progress.text())
                           : caught.message() + QStringLiteral("; ") + progress.text();
    };
    try {
        writeBlocks(*m_link, target, progress);
        writeModbus(*m_link, target.comms, progress);
        leftAt = lineSettingsFor(target.comms);
        event(QStringLiteral("written"), {{QStringLiteral("unit"), m_unit}});
        setState(QStringLiteral("as left"), target.comms.address);
        if (leftAt != m_link->line())
            m_link->reopen(leftAt);
        unit.asLeft = readWholeDisplay(*m_link);
        unit.asLeftRead = true;
        progress.blocksVerified = true;
    } catch (const Failure &caught) {
        failed(caught);
    } catch (const CommError &error) {
        unit.failureCode = kExitPort;
        unit.failure = error.description() + QStringLiteral("; ") + progress.text();
    }

    QStringList differences;
    if (unit.failure.isEmpty()) {
        record.insert(QStringLiteral("as_left"), settingsObject(unit.asLeft));
        record.insert(QStringLiteral("changes"), settingsChanges(asFound, unit.asLeft));
        if (unit.asLeft.comms != target.comms)
            differences << differenceText(QStringLiteral("the Modbus settings"),
                                          describeComms(target.comms),
                                          describeComms(unit.asLeft.comms));
        differences << blockDifferences(target, unit.asLeft);
        if (!differences.isEmpty()) {
            unit.failureCode = kExitDifferent;
            unit.failure = QStringLiteral("read back: ") + differences.join(QStringLiteral("; "));
        }
    }
    // A check at settings that did not take would prove nothing about them.
    // Whatever the check meets (an answer libmodbus cannot class, a port lost, a signal) is
    // this unit's failure, recorded with it.
    if (m_modbus && unit.failure.isEmpty()) {
        try {
            const FollowCheck check = modbusAfterWrite(*m_link, target.comms);
            record.insert(QStringLiteral("modbus"), check.json);
            if (!check.failure.isEmpty()) {
                unit.failureCode = kExitNoReply;
                unit.failure = check.failure;
            }
        } catch (const Failure &caught) {
            failed(caught);
        } catch (const CommError &error) {
            unit.failureCode = kExitPort;
            unit.failure = error.description() + QStringLiteral("; ") + progress.text();
        }
    }
    m_link->setFinishExchanges(false);
    return unit;
}

void Station::commissionUnit(const LineSettings &arrivedAt, const CommsSettings &comms)
{
    ++m_unit;
    m_unitAddress = -1;
    const std::optional<DisplaySettings> found = readArrival(arrivedAt, comms);
    if (!found)
        return;
    const DisplaySettings &asFound = *found;

    const std::optional<int> address = reserveAddress();
    if (!address && m_countReached) {
        m_console.warning(QStringLiteral("%1: the units being written on the other lines "
                                         "complete --count %2; nothing is written to it")
                              .arg(unitLabel())
                              .arg(m_count));
        waitUntilGone({arrivedAt}, {comms});
        return;
    }
    if (!address)
        throw Failure(kExitOther, QStringLiteral("%1: no address is left (the last is %2, and "
                                                 "every one from %3 is spent); nothing was "
                                                 "written to it")
                                      .arg(unitLabel(), addressText(m_lastAddress),
                                           addressText(m_firstAddress)));
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

    m_unitAddress = *address;
    setState(QStringLiteral("writing"), *address);
    m_console.note(QStringLiteral("%1: writing the template with address %2")
                       .arg(unitLabel(), addressText(*address)));
    event(QStringLiteral("writing"),
          {{QStringLiteral("unit"), m_unit}, {QStringLiteral("address"), addressText(*address)}});

    const UnitWrite unit = writeUnit(target, asFound, arrivedAt, record);
    const QString &failure = unit.failure;
    const int failureCode = unit.failureCode;
    const ApplyProgress &progress = unit.progress;
    const DisplaySettings &asLeft = unit.asLeft;

    const bool passed = failure.isEmpty();
    record.insert(QStringLiteral("outcome"),
                  passed ? QStringLiteral("pass") : QStringLiteral("fail"));
    // A "$C" that was sent may have taken, acknowledged or not: its address is spent.
    record.insert(QStringLiteral("address_sent"), progress.modbusSent);
    if (!passed)
        record.insert(QStringLiteral("reason"), failure);
    if (failureCode == kExitDifferent)
        m_readBackFailed = true;
    else if (!passed && m_exitCode == kExitOk)
        m_exitCode = failureCode;
    finishRecord(record, passed, *address,
                 passed ? describeChanges(record.value(QStringLiteral("changes")).toArray()) +
                              QStringLiteral(": PASS")
                        : QStringLiteral("FAIL: ") + failure);

    if (failureCode >= kExitHangUp)
        throw Failure(ExitCode(failureCode), QStringLiteral("%1: stopped by %2 while it was "
                                                            "being written")
                                                 .arg(unitLabel(), signalName(interruption())));
    if ((m_count > 0 && passedInRun() >= m_count) || !nextAddress())
        return;
    // A unit whose Modbus settings were sent may listen at the new line already; one that
    // failed may also still answer with what it had, at its old line.
    QList<LineSettings> lines = {progress.modbusSent ? lineSettingsFor(target.comms) : arrivedAt};
    QList<CommsSettings> identities = {passed ? asLeft.comms : target.comms};
    if (!passed) {
        if (!lines.contains(arrivedAt))
            lines << arrivedAt;
        identities << asFound.comms;
        // A unit that kept some of its settings answers with what it was read back with.
        if (unit.asLeftRead && !identities.contains(asLeft.comms))
            identities << asLeft.comms;
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

int Station::outcome(int endCode) const
{
    if (m_recordLost)
        return kExitOther;
    if (m_readBackFailed)
        return kExitDifferent;
    if (m_exitCode != kExitOk)
        return m_exitCode;
    return endCode;
}

int Station::run(bool checkOnly)
{
    readOptions();
    readRecordFile();
    if (checkOnly)
        return kExitOk;
    return runUnits();
}

int Station::runLine()
{
    try {
        readOptions();
        readRecordFile();
        const int code = runUnits();
        setState(m_stopped.isEmpty() ? QStringLiteral("done") : QStringLiteral("stopped"));
        return code;
    } catch (const Failure &failure) {
        m_stopped = failure.message();
        setState(QStringLiteral("stopped"));
        m_console.error(m_stopped);
        return failure.code();
    } catch (const CommError &error) {
        m_stopped = error.description();
        setState(QStringLiteral("stopped"));
        m_console.error(m_stopped);
        return kExitPort;
    }
}

int Station::runUnits()
{
    // A signal while waiting is the run's ordinary end; one that interrupted a unit has had
    // it recorded as failed. Either way the exit status is what the units came to.
    int endCode = kExitOk;
    QString stopped;
    std::exception_ptr ending;
    try {
        while (m_count == 0 || passedInRun() < m_count) {
            if (m_shared && m_shared->done)
                break;
            if (!nextAddress()) {
                endCode = kExitOther;
                stopped = QStringLiteral("no address is left for a further unit (the last is "
                                         "%1); the run ends")
                              .arg(addressText(m_lastAddress));
                if (m_count > 0)
                    stopped += QStringLiteral(" after %1 of %2 unit(s) passed")
                                   .arg(passedInRun())
                                   .arg(m_count);
                break;
            }
            CommsSettings comms;
            const LineSettings line = waitForArrival(comms);
            m_arrival.start();
            commissionUnit(line, comms);
        }
    } catch (const Failure &failure) {
        stopped = failure.message();
        endCode = failure.code() >= kExitHangUp ? kExitOk : failure.code();
        ending = std::current_exception();
    } catch (const CommError &error) {
        stopped = error.description();
        endCode = kExitPort;
        ending = std::current_exception();
    } catch (const RunDone &) {
        // The others finished the run while this line's port was gone: said in its summary.
        if (m_portAbsentSaid)
            stopped = m_absence + QStringLiteral("; it did not come back before the run ended");
    }
    // The monitor's notifiers belong to this line's thread, which ends before the station
    // is destroyed.
    m_devices.reset();
    // What this run wrote is sealed however the run ended.
    try {
        seal();
    } catch (const Failure &failure) {
        if (endCode != kExitOk)
            m_console.error(stopped);
        else if (!stopped.isEmpty())
            m_console.note(stopped);
        stopped = failure.message();
        endCode = failure.code();
        ending = std::current_exception();
    }
    const int code = outcome(endCode);
    if (m_shared) {
        // One line of several: what ended it is said here, the summary by the run.
        m_stopped = stopped;
        if (endCode != kExitOk)
            m_console.error(stopped);
        else if (!stopped.isEmpty())
            m_console.note(stopped);
        return code;
    }
    QJsonArray given;
    for (int address : m_given)
        given.append(addressText(address));
    QJsonObject summaryEvent = {{QStringLiteral("passed"), m_passed},
                                {QStringLiteral("failed"), m_failed},
                                {QStringLiteral("addresses"), given},
                                {QStringLiteral("exit"), code}};
    if (!stopped.isEmpty())
        summaryEvent.insert(QStringLiteral("stopped"), stopped);
    event(QStringLiteral("summary"), summaryEvent);
    m_console.result(summary());
    // What ended the run is also its outcome: reported as any command's failure, with the
    // advice that goes with it.
    if (ending && endCode != kExitOk && code == endCode)
        std::rethrow_exception(ending);
    if (endCode != kExitOk)
        m_console.error(stopped);
    else if (!stopped.isEmpty())
        m_console.note(stopped);
    return code;
}

// Each line is a station of its own in a thread of its own. A station's steps wait on the
// line (an exchange's reply, a unit's leaving) in the plain order they are written in;
// a thread per line keeps those steps as they are, where one event loop for every line
// would need each step turned inside out into a state machine. What the lines share is
// small and guarded: the address counter (the record file's lock, or SharedBook's mutex)
// and the console (one message at a time).
int runLines(const Invocation &invocation, Console &console, const QList<Port> &ports)
{
    // The template, the options and the record file are checked once, before any line
    // starts.
    {
        Station check(invocation, console);
        check.run(true);
    }
    SharedBook shared;
    struct Line
    {
        Invocation invocation;
        std::unique_ptr<Station> station;
        LineStatus status;
        int code = kExitOk;
        QThread *thread = nullptr;
    };
    std::vector<Line> lines(std::size_t(ports.size()));
    for (qsizetype i = 0; i < ports.size(); ++i) {
        Line &line = lines[std::size_t(i)];
        line.invocation = invocation;
        line.invocation.port = ports[i];
        line.thread = QThread::create([&line, &console, &shared] {
            line.station =
                std::make_unique<Station>(line.invocation, console, &shared, &line.status);
            line.code = line.station->runLine();
            // The record chain's hashing gave libcrypto state of this thread's own; freed
            // here, before the thread ends, rather than left to libcrypto's exit hooks.
            OPENSSL_thread_stop();
        });
        line.thread->start();
    }
    // On a terminal a row per line, kept up to date below the results; in a log or a pipe
    // the lines' own messages, each prefixed with its port.
    const bool rows = !console.json() && console.setFooter([&lines] {
        QStringList text;
        for (const Line &line : lines)
            text << line.status.row(line.invocation.port.name());
        return text;
    });
    for (Line &line : lines) {
        // Once a second the rows' times go on; without rows nothing wakes before the end.
        while (!line.thread->wait(rows ? QDeadlineTimer(1000) : QDeadlineTimer::Forever))
            console.redrawFooter();
        delete line.thread;
    }
    console.setFooter({});

    // The units' outcome across the lines, else the first line's trouble.
    int code = kExitOk;
    int passed = 0;
    int failed = 0;
    QJsonArray perLine;
    for (const Line &line : lines) {
        const Station &station = *line.station;
        passed += station.passed();
        failed += station.failed();
        // A lost record outweighs a read-back difference, which outweighs the first other
        // failure, as on one line.
        const int units = station.unitsOutcome();
        if (units == kExitOther || (units == kExitDifferent && code != kExitOther) ||
            (units != kExitOk && code == kExitOk))
            code = units;
        QStringList given;
        QJsonArray givenJson;
        for (int address : station.given()) {
            given << addressText(address);
            givenJson.append(addressText(address));
        }
        const QString label = line.invocation.port.name();
        const QString stopped = station.stopped();
        console.result(
            QStringLiteral("%1: %2 unit(s) passed, %3 failed; addresses given: %4%5")
                .arg(label)
                .arg(station.passed())
                .arg(station.failed())
                .arg(given.isEmpty() ? QStringLiteral("none") : given.join(QStringLiteral(", ")),
                     stopped.isEmpty() ? QString() : QStringLiteral("; stopped: ") + stopped));
        QJsonObject object = {{QStringLiteral("port"), label},
                              {QStringLiteral("passed"), station.passed()},
                              {QStringLiteral("failed"), station.failed()},
                              {QStringLiteral("addresses"), givenJson},
                              {QStringLiteral("exit"), line.code}};
        if (!stopped.isEmpty())
            object.insert(QStringLiteral("stopped"), stopped);
        perLine.append(object);
    }
    if (code == kExitOk) {
        for (const Line &line : lines) {
            if (line.code != kExitOk && line.code < kExitHangUp) {
                code = line.code;
                break;
            }
        }
    }
    if (console.json())
        console.event({{QStringLiteral("event"), QStringLiteral("summary")},
                       {QStringLiteral("passed"), passed},
                       {QStringLiteral("failed"), failed},
                       {QStringLiteral("lines"), perLine},
                       {QStringLiteral("exit"), code}});
    console.result(QStringLiteral("%1 line(s): %2 unit(s) passed, %3 failed")
                       .arg(lines.size())
                       .arg(passed)
                       .arg(failed));
    return code;
}

int runCommission(const Invocation &invocation, Console &console)
{
    if (invocation.has(QStringLiteral("ports"))) {
        if (invocation.portGiven)
            throw Failure(kExitUsage, QStringLiteral("commission: --port and --ports exclude "
                                                     "each other; nothing was sent"));
        QList<Port> ports;
        try {
            ports = parsePortList(invocation.value(QStringLiteral("ports")));
        } catch (const Failure &failure) {
            throw Failure(failure.code(), failure.message() + QStringLiteral("; nothing was sent"));
        }
        return runLines(invocation, console, ports);
    }
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
            QStringLiteral(
                "TEMPLATE --address FIRST [--ports LIST] [--count N] [--record FILE [--sign KEY "
                "[--seal-every N]]] [--operator NAME] [--any-line] [--bell] "
                "[--modbus]"),
            {QStringLiteral("a commissioning station: waits for one display"),
             QStringLiteral("after another, writes the template with the next"),
             QStringLiteral("address, reads it back, records the unit, and waits"),
             QStringLiteral("for it to be taken away")},
            {valueOption(QStringLiteral("address"), QStringLiteral("HH"),
                         QStringLiteral("commission: the first unit's address, 01 to FA (F7 "
                                        "with --modbus); each further unit gets the next one "
                                        "up that is not spent (see the README)")),
             valueOption(QStringLiteral("count"), QStringLiteral("N"),
                         QStringLiteral("commission: end after N units passed")),
             recordOption(), signOption(),
             valueOption(QStringLiteral("seal-every"), QStringLiteral("N"),
                         QStringLiteral("commission --sign: also seal after every N units "
                                        "(default 50)")),
             valueOption(QStringLiteral("operator"), QStringLiteral("NAME"),
                         QStringLiteral("commission: the operator in the records (default: the "
                                        "login name)")),
             valueOption(QStringLiteral("ports"), QStringLiteral("LIST"),
                         QStringLiteral("commission: a station on each of these ports at once "
                                        "(e.g. 1-4,tcp://10.0.0.7:4001: numbers, ranges and "
                                        "network addresses, each once), one address counter "
                                        "for all of them; instead of --port")),
             QCommandLineOption(QStringLiteral("any-line"),
                                QStringLiteral("commission: also look for a unit at every other "
                                               "line setting")),
             QCommandLineOption(QStringLiteral("bell"),
                                QStringLiteral("commission: ring the terminal bell for each "
                                               "unit, twice when it failed")),
             modbusOption()},
            1,
            1,
            runCommission,
            true};
}

} // namespace cli
