#include "dumpfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

namespace cli {
namespace {

const QStringList kTopKeys = {QStringLiteral("version"), QStringLiteral("modbus"),
                              QStringLiteral("blocks")};
const QStringList kCommsKeys = {QStringLiteral("mode"), QStringLiteral("baud"),
                                QStringLiteral("bits"), QStringLiteral("parity"),
                                QStringLiteral("address")};
const QStringList kBlockKeys = {QStringLiteral("block"), QStringLiteral("type"),
                                QStringLiteral("point")};
const QStringList kNumberKeys = {QStringLiteral("baud"), QStringLiteral("bits"),
                                 QStringLiteral("point"), QStringLiteral("block")};

QByteArray member(const QString &key, const QJsonValue &value)
{
    const QByteArray text = value.isString() ? '"' + value.toString().toUtf8() + '"'
                                             : QByteArray::number(value.toInt());
    return '"' + key.toUtf8() + "\": " + text;
}

QByteArray inlineObject(const QJsonObject &object, const QStringList &order)
{
    QByteArrayList members;
    for (const QString &key : order)
        members << member(key, object.value(key));
    return '{' + members.join(", ") + '}';
}

// Why `object` is refused: a key it lacks or one it should not have; empty when neither.
QString checkKeys(const QJsonObject &object, const QStringList &keys, const QString &where)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!keys.contains(it.key()))
            return QStringLiteral("%1%2: unknown key; expected %3")
                .arg(where, it.key(), keys.join(QStringLiteral(", ")));
    }
    for (const QString &key : keys) {
        if (!object.contains(key))
            return QStringLiteral("%1%2: missing").arg(where, key);
    }
    return {};
}

// The value as the text a key=value word would carry, after checking its JSON type.
std::optional<QString> valueText(const QString &key, const QJsonValue &value, QString *error,
                                 const QString &where)
{
    if (kNumberKeys.contains(key)) {
        const double number = value.toDouble(-1);
        if (!value.isDouble() || number != std::floor(number) || number < 0 || number > 1e6) {
            *error = QStringLiteral("%1%2: must be a whole number").arg(where, key);
            return std::nullopt;
        }
        return QString::number(qint64(number));
    }
    if (!value.isString()) {
        *error = QStringLiteral("%1%2: must be a string").arg(where, key);
        return std::nullopt;
    }
    return value.toString();
}

std::optional<DisplaySettings> refused(QString *error, const QString &why)
{
    *error = why;
    return std::nullopt;
}

} // namespace

QByteArray dumpText(const DisplaySettings &settings)
{
    QByteArray text = "{\n  \"version\": " + QByteArray::number(kDumpVersion) + ",\n";
    text += "  \"modbus\": " + inlineObject(commsJson(settings.comms), kCommsKeys) + ",\n";
    text += "  \"blocks\": [\n";
    for (int i = 0; i < qm::kBlockCount; ++i) {
        text +=
            "    " + inlineObject(blockJson(i + 1, settings.blocks[std::size_t(i)]), kBlockKeys);
        text += i + 1 < qm::kBlockCount ? ",\n" : "\n";
    }
    text += "  ]\n}\n";
    return text;
}

std::optional<DisplaySettings> parseDump(const QByteArray &text, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return refused(error, QStringLiteral("not valid JSON: %1 at byte %2")
                                  .arg(parseError.errorString())
                                  .arg(parseError.offset));
    if (!document.isObject())
        return refused(error, QStringLiteral("not a JSON object"));
    const QJsonObject top = document.object();
    QString why = checkKeys(top, kTopKeys, QString());
    if (!why.isEmpty())
        return refused(error, why);

    const QJsonValue version = top.value(QStringLiteral("version"));
    if (!version.isDouble())
        return refused(error, QStringLiteral("version: must be a number"));
    if (version.toDouble() != kDumpVersion)
        return refused(error, QStringLiteral("version: %1 is not a version this program reads "
                                             "(%2)")
                                  .arg(version.toDouble())
                                  .arg(kDumpVersion));

    DisplaySettings settings;
    const QJsonValue modbus = top.value(QStringLiteral("modbus"));
    if (!modbus.isObject())
        return refused(error, QStringLiteral("modbus: must be an object"));
    why = checkKeys(modbus.toObject(), kCommsKeys, QStringLiteral("modbus."));
    if (!why.isEmpty())
        return refused(error, why);
    for (const QString &key : kCommsKeys) {
        const auto value =
            valueText(key, modbus.toObject().value(key), error, QStringLiteral("modbus."));
        if (!value)
            return std::nullopt;
        why = assignComms(settings.comms, key, *value);
        if (!why.isEmpty())
            return refused(error, QStringLiteral("modbus.") + why);
    }
    why = checkWritable(settings.comms);
    if (!why.isEmpty())
        return refused(error, QStringLiteral("modbus: ") + why);

    const QJsonValue blocks = top.value(QStringLiteral("blocks"));
    if (!blocks.isArray() || blocks.toArray().size() != qm::kBlockCount)
        return refused(error,
                       QStringLiteral("blocks: must be a list of %1 blocks").arg(qm::kBlockCount));
    std::array<bool, qm::kBlockCount> seen{};
    for (qsizetype i = 0; i < blocks.toArray().size(); ++i) {
        const QString where = QStringLiteral("blocks[%1].").arg(i);
        const QJsonValue entry = blocks.toArray().at(i);
        if (!entry.isObject())
            return refused(error, QStringLiteral("blocks[%1]: must be an object").arg(i));
        const QJsonObject object = entry.toObject();
        why = checkKeys(object, kBlockKeys, where);
        if (!why.isEmpty())
            return refused(error, why);
        const auto number =
            valueText(QStringLiteral("block"), object.value(QStringLiteral("block")), error, where);
        if (!number)
            return std::nullopt;
        const auto block = parseBlockNumber(*number);
        if (!block)
            return refused(error, QStringLiteral("%1block: %2 is not a block number from 1 to %3")
                                      .arg(where, *number)
                                      .arg(qm::kBlockCount));
        if (seen[std::size_t(*block - 1)])
            return refused(
                error, QStringLiteral("%1block: block %2 is listed twice").arg(where).arg(*block));
        seen[std::size_t(*block - 1)] = true;
        BlockSettings &target = settings.blocks[std::size_t(*block - 1)];
        for (const QString &key : {QStringLiteral("type"), QStringLiteral("point")}) {
            const auto value = valueText(key, object.value(key), error, where);
            if (!value)
                return std::nullopt;
            why = assignBlock(target, key, *value);
            if (!why.isEmpty())
                return refused(error, where + why);
        }
    }
    return settings;
}

} // namespace cli
