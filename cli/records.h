#pragma once

#include "portnames.h"
#include "settings.h"

#include <QCommandLineOption>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

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

// A record file opened for appending. Each record is one line handed to the kernel in one
// write() on an O_APPEND descriptor, so lines of two stations never interleave and a
// crash loses at most the line being written.
class RecordFile
{
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Creates the file when it is missing; why it cannot be appended to, or empty.
    QString open(const QString &path);
    bool isOpen() const { return m_fd >= 0; }
    const QString &path() const { return m_path; }
    // Why the line could not be written whole and synced, or empty.
    QString append(const QJsonObject &record);

private:
    int m_fd = -1;
    QString m_path;
};

// The records of a file, in order. A line that is no JSON object (a station that crashed
// mid-line) is counted in `unreadable` and skipped. A missing file, and one that is not a
// regular file (a FIFO), has no records.
struct RecordsRead
{
    QList<QJsonObject> records;
    int unreadable = 0;
    QString error; // the file exists but cannot be read
};
RecordsRead readRecords(const QString &path);

// One row per record: time, address, outcome, changes (or the reason of a failure).
QString recordsTable(const QList<QJsonObject> &records);
// The same as CSV (RFC 4180), with a header row.
QString recordsCsv(const QList<QJsonObject> &records);

// --record FILE of commission and apply.
QCommandLineOption recordOption();

} // namespace cli
