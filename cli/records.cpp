#include "records.h"

#include "dumpfile.h"
#include "portinfo.h"
#include "portnames.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>

#include <algorithm>

#include <openssl/sha.h>

#ifndef QUILLMARK_VERSION
#define QUILLMARK_VERSION "unknown"
#endif

namespace cli {
namespace {

QString valueText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toInteger());
    if (value.isNull() || value.isUndefined())
        return QStringLiteral("-");
    return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact))
        .mid(1)
        .chopped(1);
}

void addChanges(QJsonArray &changes, const QString &prefix, const QJsonObject &from,
                const QJsonObject &to, const QStringList &keys)
{
    for (const QString &key : keys) {
        if (from.value(key) != to.value(key))
            changes.append(QJsonObject{{QStringLiteral("key"), prefix + key},
                                       {QStringLiteral("from"), from.value(key)},
                                       {QStringLiteral("to"), to.value(key)}});
    }
}

// What a row says about the unit: its changes when it passed, why it failed otherwise.
QString rowText(const QJsonObject &record)
{
    if (record.value(QStringLiteral("outcome")).toString() == QLatin1String("pass"))
        return describeChanges(record.value(QStringLiteral("changes")).toArray());
    return record.value(QStringLiteral("reason")).toString();
}

QString csvField(QString text)
{
    // A spreadsheet runs a cell that starts so as a formula: an operator named
    // "=cmd|' /C calc'!A0" must stay a name.
    // A lone "-" (no value) is text to every spreadsheet.
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    if (!text.isEmpty() && formulaStarts.contains(text.front()) && text != QLatin1String("-"))
        text.prepend(QLatin1Char('\''));
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// The members that hold a display's whole settings: most of a record's bytes, and read by
// no report, check or resume.
const QByteArrayView kSettingsKeys[] = {"as_found", "as_left", "modbus"};
// Text (or null) that no report, check or resume reads either: its type is checked where it
// stands, and it is left out.
const QByteArrayView kUnreadTextKeys[] = {"version", "device", "adapter"};

template <std::size_t N> bool isOneOf(QByteArrayView name, const QByteArrayView (&keys)[N])
{
    return std::find(std::begin(keys), std::end(keys), name) != std::end(keys);
}

const QByteArrayView kTextKeys[] = {"time",    "operator", "host",    "port", "device",
                                    "adapter", "reason",   "version", "prev"};

// Whether a member has a type a record allows, told from its first bytes; a full read tells
// it from the parsed value (the same rules).
bool valueFits(QByteArrayView name, QByteArrayView value)
{
    const char first = value.front();
    const bool null = value == QByteArrayView("null");
    if (isOneOf(name, kTextKeys))
        return first == '"' || null;
    if (name == QByteArrayView("seq") || name == QByteArrayView("duration_ms"))
        return first == '-' || (first >= '0' && first <= '9');
    if (name == QByteArrayView("changes"))
        return first == '[';
    if (name == QByteArrayView("as_found") || name == QByteArrayView("as_left"))
        return first == '{' || null;
    return true;
}

// The line as one JSON object with each member of kSettingsKeys that is an object (and, at
// LineDepth::Index, "changes" when it is an array) put as `true`, a stand-in no record has
// there; nothing when the line is no JSON object at its top level. Nested values are skipped
// by their strings and brackets, not built.
std::optional<QByteArray> summaryText(const QByteArray &line, LineDepth depth)
{
    const char *p = line.constData();
    const char *const end = p + line.size();
    const auto space = [&p, end] {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
            ++p;
    };
    const auto skipString = [&p, end] {
        for (++p; p < end; ++p) {
            if (*p == '\\')
                ++p;
            else if (*p == '"')
                return ++p, true;
        }
        return false;
    };
    const auto skipValue = [&] {
        const char *const start = p;
        if (p < end && *p == '"')
            return skipString();
        if (p < end && (*p == '{' || *p == '[')) {
            int depth = 0;
            while (p < end) {
                if (*p == '"') {
                    if (!skipString())
                        return false;
                    continue;
                }
                if (*p == '{' || *p == '[')
                    ++depth;
                else if ((*p == '}' || *p == ']') && --depth == 0)
                    return ++p, true;
                ++p;
            }
            return false;
        }
        while (p < end && *p != ',' && *p != '}' && *p != ' ' && *p != '\t')
            ++p;
        return p > start;
    };
    QByteArray summary;
    summary.reserve(512);
    summary += '{';
    space();
    if (p == end || *p != '{')
        return std::nullopt;
    ++p;
    space();
    bool more = p < end && *p != '}';
    if (!more)
        ++p;
    while (more) {
        space();
        const char *const keyStart = p;
        if (p == end || *p != '"' || !skipString())
            return std::nullopt;
        const QByteArray key = QByteArray::fromRawData(keyStart, p - keyStart);
        space();
        if (p == end || *p != ':')
            return std::nullopt;
        ++p;
        space();
        const char *const valueStart = p;
        if (!skipValue())
            return std::nullopt;
        const QByteArrayView name = QByteArrayView(key).sliced(1, key.size() - 2);
        // The opening bracket of a value that is left out.
        char stub = isOneOf(name, kSettingsKeys) ? '{' : '\0';
        if (depth == LineDepth::Index && name == QByteArrayView("changes"))
            stub = '[';
        if (!valueFits(name, QByteArrayView(valueStart, p - valueStart)))
            return std::nullopt;
        if (!isOneOf(name, kUnreadTextKeys)) {
            if (summary.size() > 1)
                summary += ',';
            summary += key;
            summary += ':';
            if (stub && *valueStart == stub)
                summary += "true";
            else
                summary.append(valueStart, p - valueStart);
        }
        space();
        if (p < end && *p == ',') {
            ++p;
        } else if (p < end && *p == '}') {
            ++p;
            more = false;
        } else {
            return std::nullopt;
        }
    }
    space();
    if (p != end)
        return std::nullopt;
    return summary + '}';
}

} // namespace

QByteArray lineDigest(const QByteArray &line)
{
    QByteArray digest(SHA256_DIGEST_LENGTH, Qt::Uninitialized);
    ::SHA256(reinterpret_cast<const unsigned char *>(line.constData()), size_t(line.size()),
             reinterpret_cast<unsigned char *>(digest.data()));
    return digest;
}

QByteArray lineHash(const QByteArray &line)
{
    return lineDigest(line).toHex();
}

QJsonObject settingsObject(const DisplaySettings &settings)
{
    return QJsonDocument::fromJson(dumpText(settings)).object();
}

std::optional<DisplaySettings> settingsFromObject(const QJsonObject &object)
{
    QString why;
    return parseDump(QJsonDocument(object).toJson(QJsonDocument::Compact), &why);
}

QJsonArray settingsChanges(const DisplaySettings &from, const DisplaySettings &to)
{
    QJsonArray changes;
    addChanges(changes, QStringLiteral("modbus."), commsJson(from.comms), commsJson(to.comms),
               {QStringLiteral("mode"), QStringLiteral("baud"), QStringLiteral("bits"),
                QStringLiteral("parity"), QStringLiteral("address")});
    for (int number = 1; number <= qm::kBlockCount; ++number) {
        const auto index = std::size_t(number - 1);
        addChanges(changes, QStringLiteral("block%1.").arg(number),
                   blockJson(number, from.blocks[index]), blockJson(number, to.blocks[index]),
                   {QStringLiteral("type"), QStringLiteral("point")});
    }
    return changes;
}

QString describeChanges(const QJsonArray &changes)
{
    if (changes.isEmpty())
        return QStringLiteral("no change");
    QString text;
    for (const QJsonValue &change : changes) {
        const QJsonObject object = change.toObject();
        if (!text.isEmpty())
            text += QLatin1String(", ");
        text += printableText(object.value(QLatin1String("key")).toString());
        text += QLatin1Char(' ');
        text += printableText(valueText(object.value(QLatin1String("from"))));
        text += QLatin1String(" -> ");
        text += printableText(valueText(object.value(QLatin1String("to"))));
    }
    return text;
}

QString operatorName(const QString &given)
{
    if (!given.isEmpty())
        return given;
    for (const char *variable : {"LOGNAME", "USER"}) {
        const QString name = qEnvironmentVariable(variable);
        if (!name.isEmpty())
            return name;
    }
    return QString();
}

QJsonObject recordHead(const QString &operatorName)
{
    return {{QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
            {QStringLiteral("operator"),
             operatorName.isEmpty() ? QJsonValue() : QJsonValue(operatorName)},
            {QStringLiteral("host"), QSysInfo::machineHostName()},
            {QStringLiteral("version"), QStringLiteral(QUILLMARK_VERSION)}};
}

QJsonObject portFacts(const Port &port, const QString &label)
{
    const PortInfo info =
        port.isNumber() ? gatherPortInfo({port.number}).value(0) : deviceInfo(port.device);
    QJsonValue adapter;
    if (!info.byId.isEmpty())
        adapter = info.byId;
    else if (!info.serialNumber.isEmpty())
        adapter = info.serialNumber;
    return {{QStringLiteral("port"), label},
            {QStringLiteral("device"), info.device.isEmpty() ? QJsonValue() : info.device},
            {QStringLiteral("adapter"), adapter}};
}

std::optional<int> recordAddress(const QJsonObject &record)
{
    const QJsonValue value = record.value(QStringLiteral("address"));
    CommsSettings comms;
    // The file's own word for an address: two hexadecimal digits as text. A number is
    // refused rather than guessed at (17 could mean 11 or 17).
    if (!value.isString() ||
        !assignComms(comms, QStringLiteral("address"), value.toString()).isEmpty())
        return std::nullopt;
    return comms.address;
}

LineKind readRecordLine(QByteArray line, QJsonObject *object, LineDepth depth)
{
    line = line.trimmed();
    // One bad byte in an operator's name must not cost the unit's record: the JSON
    // parser refuses any ill-formed UTF-8, so such bytes become U+FFFD first.
    if (!line.isValidUtf8())
        line = QString::fromUtf8(line).toUtf8();
    if (depth != LineDepth::Full) {
        const std::optional<QByteArray> summary = summaryText(line, depth);
        if (!summary)
            return LineKind::NotRecord;
        line = *summary;
    }
    QJsonParseError error;
    *object = QJsonDocument::fromJson(line, &error).object();
    if (error.error != QJsonParseError::NoError)
        return LineKind::NotRecord;
    if (depth != LineDepth::Full) {
        for (const QByteArrayView key : kSettingsKeys) {
            const QString name = QString::fromLatin1(key);
            if (object->value(name).isBool())
                object->insert(name, QJsonObject());
        }
        if (object->value(QStringLiteral("changes")).isBool())
            object->insert(QStringLiteral("changes"), QJsonArray());
    }
    const auto isA = [object](QByteArrayView key, std::initializer_list<QJsonValue::Type> types) {
        const QJsonValue::Type type = object->value(QLatin1String(key.data(), key.size())).type();
        return type == QJsonValue::Undefined ||
               std::find(types.begin(), types.end(), type) != types.end();
    };
    // A field of the wrong type is no record: a report would print it as something else.
    // (A summary's were checked as it was read: valueFits.)
    if (depth == LineDepth::Full) {
        for (const QByteArrayView key : kTextKeys)
            if (!isA(key, {QJsonValue::String, QJsonValue::Null}))
                return LineKind::NotRecord;
        if (!isA("seq", {QJsonValue::Double}) || !isA("duration_ms", {QJsonValue::Double}) ||
            !isA("changes", {QJsonValue::Array}) ||
            !isA("as_found", {QJsonValue::Object, QJsonValue::Null}) ||
            !isA("as_left", {QJsonValue::Object, QJsonValue::Null}))
            return LineKind::NotRecord;
    }
    if (object->value(QStringLiteral("seal")).toBool())
        return object->value(QStringLiteral("count")).isDouble() &&
                       object->value(QStringLiteral("last")).isString() &&
                       object->value(QStringLiteral("signature")).isString()
                   ? LineKind::Seal
                   : LineKind::NotRecord;
    if (!recordAddress(*object))
        return LineKind::NotRecord;
    if (object->value(QStringLiteral("reserved")).toBool())
        return LineKind::Reservation;
    const QJsonValue outcome = object->value(QStringLiteral("outcome"));
    if (outcome == QLatin1String("pass") || outcome == QLatin1String("fail"))
        return LineKind::Record;
    return LineKind::NotRecord;
}

void readRecordLines(const QByteArray &text, int firstLine, RecordsRead &into, LineDepth depth)
{
    int number = firstLine - 1;
    for (const QByteArray &raw : text.split('\n')) {
        ++number;
        if (raw.trimmed().isEmpty())
            continue;
        QJsonObject object;
        switch (readRecordLine(raw, &object, depth)) {
        case LineKind::Record:
            into.records << object;
            into.lines << object;
            break;
        case LineKind::Reservation:
            into.lines << object;
            break;
        case LineKind::Seal:
            break;
        case LineKind::NotRecord:
            into.unreadableLines << number;
            break;
        }
    }
}

QString forEachLine(const QString &path, const std::function<void(int, const QByteArray &)> &take)
{
    QFile file(path);
    // A FIFO or a terminal holds no records to read back, and opening one to read would
    // wait for a writer.
    if (!QFileInfo(path).isFile())
        return QStringLiteral("not a regular file");
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    // A piece at a time: a year of records is a few hundred megabytes.
    QByteArray pending;
    int number = 0;
    for (;;) {
        const QByteArray piece = file.read(1 << 20);
        if (piece.isEmpty()) {
            if (file.error() != QFileDevice::NoError)
                return file.errorString();
            break;
        }
        pending += piece;
        qsizetype start = 0;
        // Each line is handed over in place, not copied.
        for (qsizetype end = pending.indexOf('\n'); end >= 0;
             start = end + 1, end = pending.indexOf('\n', start))
            take(++number, QByteArray::fromRawData(pending.constData() + start, end - start));
        pending.remove(0, start);
    }
    if (!pending.isEmpty())
        take(++number, pending);
    return {};
}

QString linesText(const QList<int> &lines)
{
    QStringList numbers;
    for (int line : lines)
        numbers << QString::number(line);
    return (lines.size() == 1 ? QStringLiteral("line ") : QStringLiteral("lines ")) +
           numbers.join(QStringLiteral(", "));
}

RecordsRead readRecords(const QString &path)
{
    RecordsRead result;
    if (!QFile::exists(path))
        return result;
    result.error = forEachLine(path, [&result](int number, const QByteArray &line) {
        readRecordLines(line, number, result);
    });
    return result;
}

void AddressBook::take(const RecordsRead &read)
{
    for (const QJsonObject &line : read.lines) {
        const int address = *recordAddress(line);
        if (line.value(QStringLiteral("reserved")).toBool()) {
            m_reserved.insert(address);
            continue;
        }
        m_reserved.remove(address);
        if (line.value(QStringLiteral("outcome")).toString() == QLatin1String("pass")) {
            m_passed.insert(address);
            m_spent.insert(address);
        } else if (line.value(QStringLiteral("address_sent")).toBool(true)) {
            m_spent.insert(address);
        }
    }
}

QString recordsTableHeader()
{
    return QStringLiteral("%1  %2  %3  %4\n")
        .arg(QStringLiteral("time").leftJustified(24), QStringLiteral("address"),
             QStringLiteral("outcome"), QStringLiteral("changes"));
}

QString recordsTableRow(const QJsonObject &record)
{
    return QStringLiteral("%1  %2  %3  %4\n")
        .arg(printableText(record.value(QStringLiteral("time")).toString()).leftJustified(24),
             printableText(valueText(record.value(QStringLiteral("address")))).leftJustified(7),
             printableText(valueText(record.value(QStringLiteral("outcome"))))
                 .toUpper()
                 .leftJustified(7),
             printableText(rowText(record)));
}

QString recordsTable(const QList<QJsonObject> &records)
{
    QString text = recordsTableHeader();
    for (const QJsonObject &record : records)
        text += recordsTableRow(record);
    return text;
}

QString recordsCsvHeader()
{
    return QStringLiteral("time,operator,port,address,outcome,changes,reason,duration_ms\r\n");
}

QString recordsCsvRow(const QJsonObject &record)
{
    QStringList fields;
    for (const char *key : {"time", "operator", "port", "address", "outcome"})
        fields << csvField(valueText(record.value(QLatin1String(key))));
    fields << csvField(describeChanges(record.value(QStringLiteral("changes")).toArray()))
           << csvField(record.value(QStringLiteral("reason")).toString())
           << csvField(valueText(record.value(QStringLiteral("duration_ms"))));
    return fields.join(QLatin1Char(',')) + QStringLiteral("\r\n");
}

QString recordsCsv(const QList<QJsonObject> &records)
{
    QString text = recordsCsvHeader();
    for (const QJsonObject &record : records)
        text += recordsCsvRow(record);
    return text;
}

QCommandLineOption recordOption()
{
    return QCommandLineOption(QStringLiteral("record"),
                              QStringLiteral("commission, apply: append one JSON line per unit "
                                             "(time, operator, as found, as left, outcome) to "
                                             "FILE"),
                              QStringLiteral("FILE"));
}

} // namespace cli
