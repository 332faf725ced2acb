#pragma once

#include "portnames.h"
#include "settings.h"

#include <QCommandLineOption>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

// The records of a commissioning station: one JSON object per line (JSON Lines) for
// every unit attempted, appended to a file that several stations may share.
namespace cli {

// The settings as the dump file holds them, and back; nothing for an object the dump
// file would refuse.
QJsonObject settingsObject(const DisplaySettings &settings);
std::optional<DisplaySettings> settingsFromObject(const QJsonObject &object);

// Every key whose value differs, in the dump file's words: {"key", "from", "to"}.
QJsonArray settingsChanges(const DisplaySettings &from, const DisplaySettings &to);
// "address 0A -> 11, block 3 type integer -> long": the changes for people.
QString describeChanges(const QJsonArray &changes);

// time (now, UTC), operator, host and version: what every record starts with.
QJsonObject recordHead(const QString &operatorName);
// --operator, or the login name when it is not given.
QString operatorName(const QString &given);

// The port's facts for a record: "port", "device", "adapter" (by-id name or the adapter's
// serial number, null when unknown).
QJsonObject portFacts(const Port &port, const QString &label);

// The chain: each line Quillmark writes carries "prev", the SHA-256 (hex) of the line before
// it exactly as its bytes stand without the newline (64 zeros on a file's first line), and
// "seq", its number in the chain (1 on the first line that carries "prev"). Lines written
// before the chain existed carry neither; the chain starts after them.
inline constexpr char kChainStart[] =
    "0000000000000000000000000000000000000000000000000000000000000000";
QByteArray lineHash(const QByteArray &line);
QByteArray lineDigest(const QByteArray &line); // the same, 32 bytes

// A record file opened for appending. Each record is one line handed to the kernel in one
// write() on an O_APPEND descriptor, so lines of two stations never interleave; a line is
// written whole or not at all.
class RecordFile
{
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Creates the file when it is missing; why it cannot be appended to, or empty.
    // `regularOnly`: a FIFO, a terminal or a device (/dev/full) is refused as well.
    QString open(const QString &path, bool regularOnly = false);
    bool isOpen() const { return m_fd >= 0; }
    const QString &path() const { return m_path; }
    // Why the line could not be written whole and synced, or empty. A short write is cut
    // back off the file; a file that does not end in a newline gets one first. The line is
    // chained to the file's last one under the file's lock; `complete`, when given, sees it
    // chained (under the lock) and may add to it, or say why it cannot be written.
    using Completion = std::function<QString(QJsonObject &line)>;
    QString append(const QJsonObject &record, const Completion &complete = {});

    // Held by one station at a time (flock on the file), for reading what the others
    // appended and claiming an address before anyone else can, and for chaining a line to
    // the last. Nests: only the outermost unlock() lets it go.
    void lock();
    void unlock();
    // The whole lines appended since the last call (the file from its start at first), some
    // `limit` bytes of them at a time (more for a longer line), empty when none are left;
    // `firstLine` is the number of the first of them.
    QByteArray readAppended(int *firstLine, qint64 limit = 4 << 20);
    // Why `bytes` more may not fit on the file's file system, or empty.
    QString roomFor(qint64 bytes) const;

private:
    // The file's last line that is not empty, of a file `size` bytes long; nothing when it
    // cannot be read.
    std::optional<QByteArray> lastLine(qint64 size) const;

    int m_fd = -1;
    int m_lockDepth = 0;
    int m_readFd = -1;
    QString m_path;
    qint64 m_readOffset = 0;
    int m_nextLine = 1;
};

// The records of a file, in order. A line that is no record (a station that crashed
// mid-line, an address that is not two hexadecimal digits, an outcome other than "pass" or
// "fail") is named in `unreadableLines` and skipped. A reservation line ("reserved": true)
// is no unit's record: it claims an address for a unit being written.
struct RecordsRead
{
    QList<QJsonObject> records;
    QList<QJsonObject> lines; // the records and the reservations, in order
    QList<int> unreadableLines;
    QString error; // the file exists but cannot be read, or is no regular file
};
RecordsRead readRecords(const QString &path);
enum class LineKind { Record, Reservation, Seal, NotRecord };
// Full: every member as the line has it. Summary: the settings (as_found, as_left, modbus)
// read as empty objects, for a report, which never looks into them: a year of records is
// read in a fraction of the time (their insides are skipped by their brackets and strings,
// not checked). Index: the changes too, for a check or a resume.
enum class LineDepth { Full, Summary, Index };
// What one line of a record file is; `object` gets the line's JSON object.
LineKind readRecordLine(QByteArray line, QJsonObject *object, LineDepth depth = LineDepth::Full);
// Hands each line of the file at `path` (without its newline) to `take` with its number,
// a piece of the file at a time; why the file cannot be read, or empty.
QString forEachLine(const QString &path, const std::function<void(int, const QByteArray &)> &take);
// The same for lines of a file, the first of them numbered `firstLine`.
void readRecordLines(const QByteArray &text, int firstLine, RecordsRead &into,
                     LineDepth depth = LineDepth::Full);
// "line 3", "lines 3, 7"
QString linesText(const QList<int> &lines);

// The address of a record or reservation, or nothing when it has none that a unit can have.
std::optional<int> recordAddress(const QJsonObject &record);

// Which addresses a record file has used up. An address is spent once a "$C" carrying it
// was sent, whatever came of it: by a unit that passed, by a failed unit whose record says
// that "$C" was sent (or does not say that it was not), or by a reservation no record has
// followed yet (a station at work on the unit, or one that stopped before recording it).
class AddressBook
{
public:
    // Takes the lines in the order of the file.
    void take(const RecordsRead &read);
    bool isSpent(int address) const
    {
        return m_spent.contains(address) || m_reserved.contains(address);
    }
    bool isPassed(int address) const { return m_passed.contains(address); }
    int passedCount() const { return int(m_passed.size()); }

private:
    QSet<int> m_spent;
    QSet<int> m_passed;
    QSet<int> m_reserved;
};

// What a report shows of one record, as UTF-8: its cells before a table or a CSV lays them
// out. A row read by scanLineFacts points into the line it was read from.
struct RecordRow
{
    // Nothing when null or missing: the table leaves those blank, the CSV says "-".
    std::optional<QByteArray> time;
    std::optional<QByteArray> operatorName;
    std::optional<QByteArray> port;
    QByteArray address;
    QByteArray outcome;
    QByteArray reason;   // empty when null or missing
    QByteArray changes;  // describeChanges
    QByteArray duration; // "-" when missing
};
RecordRow recordRow(const QJsonObject &record);

// One row per record: time, address, outcome, changes (or the reason of a failure).
QString recordsTable(const QList<QJsonObject> &records);
QString recordsTableHeader();
void appendTableRow(QByteArray &out, const RecordRow &row);
// The same as CSV (RFC 4180), with a header row. No cell starts the way a spreadsheet's
// formula does.
QString recordsCsv(const QList<QJsonObject> &records);
QString recordsCsvHeader();
void appendCsvRow(QByteArray &out, const RecordRow &row);

// What a report or a check reads of one line: its kind, its link in the chain and, at
// LineDepth::Summary, a record's row.
struct LineFacts
{
    LineKind kind = LineKind::NotRecord;
    std::optional<QByteArray> prev; // "prev", when it is text
    qint64 seq = 0;
    RecordRow row;
    QJsonObject seal; // a seal's members, for its check
};
// What readRecordLine makes of `line` at `depth` (Summary or Index), as facts.
LineFacts readLineFacts(const QByteArray &line, LineDepth depth);
// The facts of a line readRecordLine has read as `object` and judged to be of `kind`.
LineFacts lineFacts(const QJsonObject &object, LineKind kind);
// The same straight from the line's bytes, without a QJsonObject: a year of records is read
// in a fraction of the time. Nothing for a line it does not fully understand (a seal, a
// number with a fraction, an escape in a member's name, a line that is no JSON...), which
// readLineFacts then reads whole.
std::optional<LineFacts> scanLineFacts(const QByteArray &line, LineDepth depth);

// --record FILE of commission and apply.
QCommandLineOption recordOption();

} // namespace cli
