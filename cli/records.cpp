#include "records.h"

#include "dumpfile.h"
#include "linescanner.h"
#include "portinfo.h"
#include "portnames.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>

#include <algorithm>
#include <array>
#include <cstring>

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
    // A whole number as it is; a fraction, or one past qint64, as JSON writes it below.
    if (value.isDouble() && value.toDouble() == double(value.toInteger()))
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

// The members that hold a display's whole settings: most of a record's bytes, and read by
// no report, check or resume.
const QByteArrayView kSettingsKeys[] = {"as_found", "as_left", "modbus"};
// Text (or null) that no report, check or resume reads either: its type is checked where it
// stands, and it is left out.
const QByteArrayView kUnreadTextKeys[] = {"version", "device", "adapter"};

// Names are compared a few million times over a year of records: length and first byte
// tell most apart.
bool sameName(QByteArrayView name, QByteArrayView key)
{
    return name.size() == key.size() &&
           (name.isEmpty() || (name.front() == key.front() &&
                               std::memcmp(name.data(), key.data(), size_t(name.size())) == 0));
}

template <std::size_t N> bool isOneOf(QByteArrayView name, const QByteArrayView (&keys)[N])
{
    return std::any_of(std::begin(keys), std::end(keys),
                       [name](QByteArrayView key) { return sameName(name, key); });
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
    if (sameName(name, "seq") || sameName(name, "duration_ms"))
        return first == '-' || (first >= '0' && first <= '9');
    if (sameName(name, "changes"))
        return first == '[';
    if (sameName(name, "as_found") || sameName(name, "as_left"))
        return first == '{' || null;
    return true;
}

// A string's end, its escapes stepped over and not checked; false when it has none.
bool skipLooseString(const char *&p, const char *end)
{
    for (++p; p < end; ++p) {
        if (*p == '\\')
            ++p;
        else if (*p == '"')
            return ++p, true;
    }
    return false;
}

// A value's end: an object or an array by its brackets and strings, anything else by the
// next comma, brace or blank. Nothing inside is checked.
bool skipLooseValue(const char *&p, const char *end)
{
    const char *const start = p;
    if (p < end && *p == '"')
        return skipLooseString(p, end);
    if (p < end && (*p == '{' || *p == '[')) {
        // Most of a line is settings skipped here: bytes that are no bracket or quote are
        // passed a table look-up at a time.
        static constexpr auto kMarks = [] {
            std::array<bool, 256> marks{};
            for (const char c : {'"', '{', '[', '}', ']'})
                marks[uchar(c)] = true;
            return marks;
        }();
        int depth = 0;
        while (p < end) {
            while (p < end && !kMarks[uchar(*p)])
                ++p;
            if (p == end)
                break;
            if (*p == '"') {
                if (!skipLooseString(p, end))
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
}

// The line as one JSON object with each member of kSettingsKeys that is an object (and, at
// LineDepth::Index, "changes" when it is an array) put as `true`, a stand-in no record has
// there; nothing when the line is no JSON object at its top level. Nested values are skipped
// by their strings and brackets, not built.
std::optional<QByteArray> summaryText(const QByteArray &line, LineDepth depth)
{
    const char *p = line.constData();
    const char *const end = p + line.size();
    const auto space = [&p, end] { skipJsonSpace(p, end); };
    const auto skipString = [&p, end] { return skipLooseString(p, end); };
    const auto skipValue = [&p, end] { return skipLooseValue(p, end); };
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

// printableText for UTF-8: control characters (C0, DEL and C1) as escapes.
void appendPrintable(QByteArray &out, QByteArrayView text)
{
    const auto plain = [](QByteArrayView text, qsizetype i) {
        const uchar c = uchar(text[i]);
        return c >= 0x20 && c != 0x7f &&
               !(c == 0xc2 && i + 1 < text.size() && uchar(text[i + 1]) < 0xa0);
    };
    qsizetype i = 0;
    while (i < text.size() && plain(text, i))
        ++i;
    if (i == text.size()) {
        out += text;
        return;
    }
    out += text.first(i);
    for (; i < text.size(); ++i) {
        const uchar c = uchar(text[i]);
        if (plain(text, i)) {
            out += char(c);
            continue;
        }
        // A C1 control is U+0080 to U+009F: 0xC2 and its second byte.
        const uchar code = c == 0xc2 ? uchar(text[++i]) : c;
        if (code == '\r')
            out += "\\r";
        else if (code == '\n')
            out += "\\n";
        else if (code == '\t')
            out += "\\t";
        else
            out += "\\x" + QByteArray::number(code, 16).toUpper().rightJustified(2, '0');
    }
}

// describeChanges straight from a "changes" array's bytes.
bool scanChanges(LineScanner &scan, QByteArray &text)
{
    if (!scan.take('['))
        return false;
    scan.space();
    if (scan.take(']')) {
        text = QByteArrayLiteral("no change");
        return true;
    }
    do {
        scan.space();
        // An entry that is no object reads as an empty one: no key, no values.
        QByteArray key;
        QByteArray from = QByteArrayLiteral("-");
        QByteArray to = from;
        if (scan.take('{')) {
            unsigned seen = 0;
            scan.space();
            if (!scan.take('}')) {
                do {
                    scan.space();
                    QByteArray name;
                    if (!scan.string(&name))
                        return false;
                    scan.space();
                    if (!scan.take(':'))
                        return false;
                    scan.space();
                    const unsigned bit = name == "key"    ? 1
                                         : name == "from" ? 2
                                         : name == "to"   ? 4
                                                          : 0;
                    // Which of two equal names counts is the parser's business.
                    if (seen & bit)
                        return false;
                    seen |= bit;
                    if (bit == 1 && scan.next('"')) {
                        if (!scan.string(&key))
                            return false;
                    } else if (bit == 2 || bit == 4) {
                        if (!scan.shownValue(bit == 2 ? &from : &to))
                            return false;
                    } else if (!scan.value()) {
                        return false;
                    }
                    scan.space();
                } while (scan.take(','));
                if (!scan.take('}'))
                    return false;
            }
        } else if (!scan.value()) {
            return false;
        }
        if (!text.isEmpty())
            text += ", ";
        appendPrintable(text, key);
        text += ' ';
        appendPrintable(text, from);
        text += " -> ";
        appendPrintable(text, to);
        scan.space();
    } while (scan.take(','));
    return scan.take(']');
}

// A top-level member that a report or a check reads.
enum Member : unsigned {
    kTime = 1 << 0,
    kOperator = 1 << 1,
    kPort = 1 << 2,
    kAddress = 1 << 3,
    kOutcome = 1 << 4,
    kReason = 1 << 5,
    kDuration = 1 << 6,
    kChanges = 1 << 7,
    kPrev = 1 << 8,
    kSeq = 1 << 9,
    kReserved = 1 << 10,
};

unsigned memberOf(QByteArrayView name)
{
    static const std::pair<QByteArrayView, unsigned> members[] = {{"time", kTime},
                                                                  {"operator", kOperator},
                                                                  {"port", kPort},
                                                                  {"address", kAddress},
                                                                  {"outcome", kOutcome},
                                                                  {"reason", kReason},
                                                                  {"duration_ms", kDuration},
                                                                  {"changes", kChanges},
                                                                  {"prev", kPrev},
                                                                  {"seq", kSeq},
                                                                  {"reserved", kReserved}};
    for (const auto &[each, member] : members)
        if (sameName(name, each))
            return member;
    return 0;
}

// A text member: a string, or nothing for null.
bool scanText(LineScanner &scan, std::optional<QByteArray> &text)
{
    if (scan.literal("null")) {
        text.reset();
        return true;
    }
    text.emplace();
    return scan.string(&*text);
}

// Pads what `out` has from `start` on to `width` UTF-16 units, as QString::leftJustified.
void justify(QByteArray &out, qsizetype start, qsizetype width)
{
    qsizetype units = 0;
    for (qsizetype i = start; i < out.size(); ++i) {
        const uchar c = uchar(out.at(i));
        units += (c & 0xc0) != 0x80 ? 1 : 0;
        units += c >= 0xf0 ? 1 : 0; // a surrogate pair in UTF-16
    }
    if (units < width)
        out.append(width - units, ' ');
}

// QString::toUpper for what `out` has from `start` on.
void upper(QByteArray &out, qsizetype start)
{
    const QByteArrayView text = QByteArrayView(out).sliced(start);
    if (std::all_of(text.begin(), text.end(), [](char c) { return uchar(c) < 0x80; })) {
        for (qsizetype i = start; i < out.size(); ++i)
            if (out.at(i) >= 'a' && out.at(i) <= 'z')
                out[i] = char(out.at(i) - 'a' + 'A');
        return;
    }
    const QByteArray shouted = QString::fromUtf8(text).toUpper().toUtf8();
    out.truncate(start);
    out += shouted;
}

void appendCsvCell(QByteArray &out, QByteArrayView text)
{
    // A spreadsheet runs a cell that starts so as a formula: an operator named
    // "=cmd|' /C calc'!A0" must stay a name.
    // A lone "-" (no value) is text to every spreadsheet.
    const bool formula = !text.isEmpty() && QByteArrayView("=+-@\t\r").contains(text.front()) &&
                         text != QByteArrayView("-");
    const bool quoted = std::any_of(text.begin(), text.end(), [](char c) {
        return c == ',' || c == '"' || c == '\n' || c == '\r';
    });
    if (quoted)
        out += '"';
    if (formula)
        out += '\'';
    if (quoted) {
        for (const char c : text) {
            if (c == '"')
                out += '"';
            out += c;
        }
        out += '"';
    } else {
        out += text;
    }
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
            {QStringLiteral("adapter"), adapter},
            // The by-path name stays with the USB socket: it says which bench position
            // the unit sat in, whichever adapter is plugged there.
            {QStringLiteral("path"), info.byPath.isEmpty() ? QJsonValue() : info.byPath}};
}

namespace {

std::optional<int> addressOf(const QString &text)
{
    CommsSettings comms;
    if (!assignComms(comms, QStringLiteral("address"), text).isEmpty())
        return std::nullopt;
    return comms.address;
}

} // namespace

std::optional<int> recordAddress(const QJsonObject &record)
{
    const QJsonValue value = record.value(QStringLiteral("address"));
    // The file's own word for an address: two hexadecimal digits as text. A number is
    // refused rather than guessed at (17 could mean 11 or 17).
    if (!value.isString())
        return std::nullopt;
    return addressOf(value.toString());
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
    // A summary's were checked as it was read (valueFits), but only under the names as the
    // line spells them: "ti\u006de" is "time" too.
    for (const QByteArrayView key : kTextKeys)
        if (!isA(key, {QJsonValue::String, QJsonValue::Null}))
            return LineKind::NotRecord;
    if (!isA("seq", {QJsonValue::Double}) || !isA("duration_ms", {QJsonValue::Double}) ||
        !isA("changes", {QJsonValue::Array}) ||
        !isA("as_found", {QJsonValue::Object, QJsonValue::Null}) ||
        !isA("as_left", {QJsonValue::Object, QJsonValue::Null}))
        return LineKind::NotRecord;
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

QString recordsTable(const QList<QJsonObject> &records)
{
    QByteArray text;
    for (const QJsonObject &record : records)
        appendTableRow(text, recordRow(record));
    return recordsTableHeader() + QString::fromUtf8(text);
}

QString recordsCsvHeader()
{
    return QStringLiteral("time,operator,port,address,outcome,changes,reason,duration_ms\r\n");
}

QString recordsCsv(const QList<QJsonObject> &records)
{
    QByteArray text;
    for (const QJsonObject &record : records)
        appendCsvRow(text, recordRow(record));
    return recordsCsvHeader() + QString::fromUtf8(text);
}

RecordRow recordRow(const QJsonObject &record)
{
    const auto shown = [&record](const char *key) {
        return valueText(record.value(QLatin1String(key))).toUtf8();
    };
    const auto text = [&record, &shown](const char *key) -> std::optional<QByteArray> {
        const QJsonValue value = record.value(QLatin1String(key));
        if (value.isNull() || value.isUndefined())
            return std::nullopt;
        return shown(key);
    };
    RecordRow row;
    row.time = text("time");
    row.operatorName = text("operator");
    row.port = text("port");
    row.address = shown("address");
    row.outcome = shown("outcome");
    row.reason = record.value(QStringLiteral("reason")).toString().toUtf8();
    row.changes = describeChanges(record.value(QStringLiteral("changes")).toArray()).toUtf8();
    row.duration = shown("duration_ms");
    return row;
}

void appendTableRow(QByteArray &out, const RecordRow &row)
{
    qsizetype start = out.size();
    appendPrintable(out, row.time ? QByteArrayView(*row.time) : QByteArrayView());
    justify(out, start, 24);
    out += "  ";
    start = out.size();
    appendPrintable(out, row.address);
    justify(out, start, 7);
    out += "  ";
    start = out.size();
    appendPrintable(out, row.outcome);
    upper(out, start);
    justify(out, start, 7);
    out += "  ";
    // A unit that passed is shown by its changes, one that failed by why.
    appendPrintable(out, row.outcome == "pass" ? row.changes : row.reason);
    out += '\n';
}

void appendCsvRow(QByteArray &out, const RecordRow &row)
{
    const auto orNone = [](const std::optional<QByteArray> &text) {
        return text ? QByteArrayView(*text) : QByteArrayView("-");
    };
    for (const QByteArrayView cell :
         {orNone(row.time), orNone(row.operatorName), orNone(row.port), QByteArrayView(row.address),
          QByteArrayView(row.outcome), QByteArrayView(row.changes), QByteArrayView(row.reason)}) {
        appendCsvCell(out, cell);
        out += ',';
    }
    appendCsvCell(out, row.duration);
    out += "\r\n";
}

std::optional<LineFacts> scanLineFacts(const QByteArray &raw, LineDepth depth)
{
    const QByteArrayView line = QByteArrayView(raw).trimmed();
    if (!line.isValidUtf8())
        return std::nullopt;
    LineScanner scan(line.begin(), line.end());
    LineFacts facts;
    RecordRow &row = facts.row;
    bool addressIsText = false;
    bool reserved = false;
    unsigned seen = 0;
    if (!scan.take('{'))
        return std::nullopt;
    scan.space();
    if (!scan.take('}')) {
        do {
            scan.space();
            const char *const nameStart = scan.position();
            QByteArray name;
            // A name with an escape may spell a member's name another way.
            if (!scan.string(&name) || scan.position() - nameStart != name.size() + 2)
                return std::nullopt;
            scan.space();
            if (!scan.take(':'))
                return std::nullopt;
            scan.space();
            // The value's end as summaryText finds it; what is read in it must end there.
            const char *const valueStart = scan.position();
            const char *valueEnd = valueStart;
            if (!skipLooseValue(valueEnd, line.end()) ||
                !valueFits(name, QByteArrayView(valueStart, valueEnd - valueStart)) ||
                sameName(name, "seal"))
                return std::nullopt;
            const bool stubbed =
                (isOneOf(name, kSettingsKeys) && *valueStart == '{') ||
                (depth == LineDepth::Index && sameName(name, "changes") && *valueStart == '[');
            if (!stubbed && !isOneOf(name, kUnreadTextKeys)) {
                const unsigned member = memberOf(name);
                // Which of two equal names counts is the parser's business.
                if (seen & member)
                    return std::nullopt;
                seen |= member;
                bool read = true;
                switch (member) {
                case kTime:
                    read = scanText(scan, row.time);
                    break;
                case kOperator:
                    read = scanText(scan, row.operatorName);
                    break;
                case kPort:
                    read = scanText(scan, row.port);
                    break;
                case kReason:
                    read = scan.literal("null") || scan.string(&row.reason);
                    break;
                case kPrev:
                    read = scanText(scan, facts.prev);
                    break;
                case kAddress:
                    addressIsText = scan.next('"');
                    read = addressIsText ? scan.string(&row.address) : scan.value();
                    break;
                case kOutcome:
                    read = scan.next('"') ? scan.string(&row.outcome) : scan.value();
                    break;
                case kDuration:
                    read = scan.integer(&row.duration);
                    break;
                case kSeq:
                    read = scan.integer(nullptr, &facts.seq);
                    break;
                case kChanges:
                    read = scanChanges(scan, row.changes);
                    break;
                case kReserved:
                    reserved = scan.literal("true");
                    read = reserved || scan.value();
                    break;
                default:
                    read = scan.value();
                    break;
                }
                if (!read || !scan.understood() || scan.position() != valueEnd)
                    return std::nullopt;
            }
            scan.moveTo(valueEnd);
            scan.space();
        } while (scan.take(','));
        if (!scan.take('}'))
            return std::nullopt;
    }
    scan.space();
    if (!scan.atEnd())
        return std::nullopt;
    if (!(seen & kChanges))
        row.changes = QByteArrayLiteral("no change");
    if (!(seen & kDuration))
        row.duration = QByteArrayLiteral("-");
    if (!addressIsText || row.address.size() != 2 || !addressOf(QString::fromLatin1(row.address)))
        facts.kind = LineKind::NotRecord;
    else if (reserved)
        facts.kind = LineKind::Reservation;
    else if (row.outcome == "pass" || row.outcome == "fail")
        facts.kind = LineKind::Record;
    return facts;
}

LineFacts readLineFacts(const QByteArray &line, LineDepth depth)
{
    if (std::optional<LineFacts> facts = scanLineFacts(line, depth))
        return *std::move(facts);
    QJsonObject object;
    const LineKind kind = readRecordLine(line, &object, depth);
    return lineFacts(object, kind);
}

LineFacts lineFacts(const QJsonObject &object, LineKind kind)
{
    LineFacts facts;
    facts.kind = kind;
    const QJsonValue prev = object.value(QStringLiteral("prev"));
    if (prev.isString())
        facts.prev = prev.toString().toUtf8();
    facts.seq = object.value(QStringLiteral("seq")).toInteger();
    if (facts.kind == LineKind::Record)
        facts.row = recordRow(object);
    if (facts.kind == LineKind::Seal)
        facts.seal = object;
    return facts;
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
