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

RecordsRead readRecords(const QString &path)
{
    RecordsRead result;
    QFile file(path);
    // A FIFO or a terminal as the record file holds no earlier records, and opening one to
    // read would wait for a writer.
    if (!file.exists() || !QFileInfo(path).isFile())
        return result;
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        return result;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            result.records << document.object();
        else
            ++result.unreadable;
    }
    return result;
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
