#include "dumpfile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSet>

#include <cmath>

namespace cli {
namespace {

const QStringList kTopKeys = {QStringLiteral("version"), QStringLiteral("modbus"),
                              QStringLiteral("blocks")};
const QStringList kCommsKeys = commsKeys();
const QStringList kBlockKeys = QStringList{QStringLiteral("block")} + blockKeys();
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
                .arg(where, printableText(it.key()), keys.join(QStringLiteral(", ")));
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

// The first key that an object of the document holds twice, as "modbus.baud", or empty.
// QJsonDocument keeps only the last of them, so two values that disagree would pass
// unseen; the text is scanned for them instead. `text` is valid JSON.
QString repeatedKey(const QByteArray &text)
{
    struct Level
    {
        bool object = false;
        QString name; // "modbus", or "[2]" for an item of a list
        QSet<QString> keys;
        int items = 0;
    };
    std::vector<Level> levels;
    auto path = [&levels](const QString &key) {
        QString where;
        for (std::size_t i = 1; i < levels.size(); ++i) {
            if (!where.isEmpty() && !levels[i].name.startsWith(QLatin1Char('[')))
                where += QLatin1Char('.');
            where += levels[i].name;
        }
        return where.isEmpty() ? key : where + QLatin1Char('.') + key;
    };
    QString lastKey;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '{' || c == '[') {
            const bool inList = !levels.empty() && !levels.back().object;
            levels.push_back({c == '{',
                              inList ? QStringLiteral("[%1]").arg(levels.back().items) : lastKey,
                              {},
                              0});
        } else if (c == '}' || c == ']') {
            if (!levels.empty())
                levels.pop_back();
        } else if (c == ',' && !levels.empty() && !levels.back().object) {
            ++levels.back().items;
        } else if (c == '"') {
            qsizetype end = i + 1;
            while (end < text.size() && text[end] != '"')
                end += text[end] == '\\' ? 2 : 1;
            const QByteArray token = text.mid(i, end - i + 1);
            i = end;
            qsizetype next = end + 1;
            while (next < text.size() && QByteArrayView(" \t\r\n").contains(text[next]))
                ++next;
            if (next >= text.size() || text[next] != ':' || levels.empty() || !levels.back().object)
                continue;
            lastKey = QJsonDocument::fromJson("[" + token + "]").array().at(0).toString();
            if (levels.back().keys.contains(lastKey))
                return path(printableText(lastKey));
            levels.back().keys.insert(lastKey);
        }
    }
    return {};
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

// The "modbus" part of a dump: its keys, each value, and whether the display can store it.
bool readModbusPart(const QJsonValue &modbus, CommsSettings &comms, QString *error)
{
    auto refuse = [error](const QString &why) {
        *error = why;
        return false;
    };
    if (!modbus.isObject())
        return refuse(QStringLiteral("modbus: must be an object"));
    QString why = checkKeys(modbus.toObject(), kCommsKeys, QStringLiteral("modbus."));
    if (!why.isEmpty())
        return refuse(why);
    for (const QString &key : kCommsKeys) {
        const auto value =
            valueText(key, modbus.toObject().value(key), error, QStringLiteral("modbus."));
        if (!value)
            return false;
        // A display reports 00 when it has no address of its own; its dump says so, and a
        // display cannot be given it.
        if (key == QLatin1String("address") && *value == QLatin1String("00"))
            return refuse(QStringLiteral("modbus.address: \"00\" (the dumped display "
                                         "had no address) cannot be written; set one "
                                         "from %1 to %2 in the file")
                              .arg(addressText(qm::kMinAddress), addressText(qm::kMaxAddress)));
        why = assignComms(comms, key, *value);
        if (!why.isEmpty())
            return refuse(QStringLiteral("modbus.") + why);
    }
    why = checkWritable(comms);
    if (!why.isEmpty())
        return refuse(QStringLiteral("modbus: ") + why);
    return true;
}

// The "blocks" part of a dump: every block once, each with its keys and values.
bool readBlocksPart(const QJsonValue &blocks, DisplaySettings &settings, QString *error)
{
    auto refuse = [error](const QString &why) {
        *error = why;
        return false;
    };
    if (!blocks.isArray() || blocks.toArray().size() != qm::kBlockCount)
        return refuse(QStringLiteral("blocks: must be a list of %1 blocks").arg(qm::kBlockCount));
    std::array<bool, qm::kBlockCount> seen{};
    for (qsizetype i = 0; i < blocks.toArray().size(); ++i) {
        const QString where = QStringLiteral("blocks[%1].").arg(i);
        const QJsonValue entry = blocks.toArray().at(i);
        if (!entry.isObject())
            return refuse(QStringLiteral("blocks[%1]: must be an object").arg(i));
        const QJsonObject object = entry.toObject();
        QString why = checkKeys(object, kBlockKeys, where);
        if (!why.isEmpty())
            return refuse(why);
        const auto number =
            valueText(QStringLiteral("block"), object.value(QStringLiteral("block")), error, where);
        if (!number)
            return false;
        const auto block = parseBlockNumber(*number);
        if (!block)
            return refuse(QStringLiteral("%1block: %2 is not a block number from 1 to %3")
                              .arg(where, *number)
                              .arg(qm::kBlockCount));
        if (seen[std::size_t(*block - 1)])
            return refuse(
                QStringLiteral("%1block: block %2 is listed twice").arg(where).arg(*block));
        seen[std::size_t(*block - 1)] = true;
        BlockSettings &target = settings.blocks[std::size_t(*block - 1)];
        for (const QString &key : blockKeys()) {
            const auto value = valueText(key, object.value(key), error, where);
            if (!value)
                return false;
            why = assignBlock(target, key, *value);
            if (!why.isEmpty())
                return refuse(where + why);
        }
    }
    return true;
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
    const QString repeated = repeatedKey(text);
    if (!repeated.isEmpty())
        return refused(error, QStringLiteral("%1: given twice").arg(repeated));
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
    if (!readModbusPart(top.value(QStringLiteral("modbus")), settings.comms, error) ||
        !readBlocksPart(top.value(QStringLiteral("blocks")), settings, error))
        return std::nullopt;
    return settings;
}

} // namespace cli
