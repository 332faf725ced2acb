#include "records.h"

#include "dumpfile.h"
#include "portinfo.h"
#include "portnames.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>

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
    const QString changes = describeChanges(record.value(QStringLiteral("changes")).toArray());
    if (record.value(QStringLiteral("outcome")).toString() == QLatin1String("pass"))
        return changes;
    return record.value(QStringLiteral("reason")).toString();
}

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

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
    QStringList parts;
    for (const QJsonValue &change : changes) {
        const QJsonObject object = change.toObject();
        parts << QStringLiteral("%1 %2 -> %3")
                     .arg(printableText(object.value(QStringLiteral("key")).toString()),
                          printableText(valueText(object.value(QStringLiteral("from")))),
                          printableText(valueText(object.value(QStringLiteral("to")))));
    }
    return parts.join(QStringLiteral(", "));
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

void readRecordLines(const QByteArray &text, int firstLine, RecordsRead &into)
{
    int number = firstLine - 1;
    for (const QByteArray &raw : text.split('\n')) {
        ++number;
        QByteArray line = raw.trimmed();
        if (line.isEmpty())
            continue;
        // One bad byte in an operator's name must not cost the unit's record: the JSON
        // parser refuses any ill-formed UTF-8, so such bytes become U+FFFD first.
        if (!line.isValidUtf8())
            line = QString::fromUtf8(line).toUtf8();
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        const bool hasAddress = recordAddress(object).has_value();
        const QString outcome = object.value(QStringLiteral("outcome")).toString();
        if (hasAddress && object.value(QStringLiteral("reserved")).toBool()) {
            into.lines << object;
        } else if (hasAddress &&
                   (outcome == QLatin1String("pass") || outcome == QLatin1String("fail"))) {
            into.lines << object;
            into.records << object;
        } else {
            into.unreadableLines << number;
        }
    }
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
    QFile file(path);
    if (!file.exists())
        return result;
    // A FIFO or a terminal holds no records to read back, and opening one to read would
    // wait for a writer.
    if (!QFileInfo(path).isFile()) {
        result.error = QStringLiteral("not a regular file");
        return result;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return result;
    }
    readRecordLines(file.readAll(), 1, result);
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

QString recordsTable(const QList<QJsonObject> &records)
{
    QString text = QStringLiteral("%1  %2  %3  %4\n")
                       .arg(QStringLiteral("time").leftJustified(24), QStringLiteral("address"),
                            QStringLiteral("outcome"), QStringLiteral("changes"));
    for (const QJsonObject &record : records)
        text += QStringLiteral("%1  %2  %3  %4\n")
                    .arg(printableText(record.value(QStringLiteral("time")).toString())
                             .leftJustified(24),
                         printableText(valueText(record.value(QStringLiteral("address"))))
                             .leftJustified(7),
                         printableText(valueText(record.value(QStringLiteral("outcome"))))
                             .toUpper()
                             .leftJustified(7),
                         printableText(rowText(record)));
    return text;
}

QString recordsCsv(const QList<QJsonObject> &records)
{
    QString text = QStringLiteral("time,operator,port,address,outcome,changes,reason,"
                                  "duration_ms\r\n");
    for (const QJsonObject &record : records) {
        QStringList fields;
        for (const char *key : {"time", "operator", "port", "address", "outcome"})
            fields << csvField(valueText(record.value(QLatin1String(key))));
        fields << csvField(describeChanges(record.value(QStringLiteral("changes")).toArray()))
               << csvField(record.value(QStringLiteral("reason")).toString())
               << csvField(valueText(record.value(QStringLiteral("duration_ms"))));
        text += fields.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
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
