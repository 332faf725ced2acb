#include "settings.h"

#include <algorithm>

#include "linesettings.h"
#include "numbers.h"
#include "portnames.h"

namespace cli {
namespace {

template <std::size_t N>
std::optional<int> codeOfName(const std::array<std::string_view, N> &names, const QString &word)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (word.compare(QLatin1String(names[i].data(), qsizetype(names[i].size())),
                         Qt::CaseInsensitive) == 0)
            return int(i);
    }
    return std::nullopt;
}

template <std::size_t N> QString lowerNames(const std::array<std::string_view, N> &names)
{
    QStringList words;
    for (std::string_view name : names)
        words << QLatin1String(name.data(), qsizetype(name.size())).toString().toLower();
    return words.join(QStringLiteral(", "));
}

QString name(std::string_view text)
{
    return QLatin1String(text.data(), qsizetype(text.size())).toString();
}

// "a, b and c"
QString listed(const QStringList &words)
{
    return words.mid(0, words.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") +
           words.last();
}

QString refuse(const QString &key, const QString &value, const QString &expected)
{
    return QStringLiteral("%1: \"%2\" is not %3")
        .arg(printableText(key), printableText(value), expected);
}

template <typename Settings, typename Assign>
QString assignAll(Settings &settings, const QStringList &words, QStringList &given, Assign assign)
{
    for (const QString &word : words) {
        const qsizetype eq = word.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return QStringLiteral("\"%1\" is not of the form key=value").arg(printableText(word));
        const QString key = word.left(eq);
        if (given.contains(key))
            return QStringLiteral("%1: given twice").arg(printableText(key));
        const QString why = assign(settings, key, word.mid(eq + 1));
        if (!why.isEmpty())
            return why;
        given << key;
    }
    return {};
}

} // namespace

QString describeComms(const CommsSettings &comms)
{
    return QStringLiteral("%1, %2 baud, %3 data bits, %4 parity, address %5")
        .arg(name(qm::kModeNames[std::size_t(comms.mode)]))
        .arg(qm::kBaudRates[std::size_t(comms.baudCode)])
        .arg(comms.dataBits)
        .arg(name(qm::kParityNames[std::size_t(comms.parity)]), addressText(comms.address));
}

QString describeBlock(const BlockSettings &block)
{
    return QStringLiteral("%1, %2").arg(
        name(qm::kDataTypeNames[std::size_t(block.dataType)]),
        name(qm::kDecimalPointNames[std::size_t(block.decimalPoint)]));
}

QString addressText(int address)
{
    return QStringLiteral("%1").arg(address, 2, 16, QLatin1Char('0')).toUpper();
}

QString printableText(const QString &text)
{
    // Most text needs nothing: handed back as it is, it is not copied (a report prints
    // hundreds of thousands of these).
    if (std::none_of(text.begin(), text.end(), [](QChar c) {
            const char16_t u = c.unicode();
            return u < 0x20 || (u >= 0x7f && u < 0xa0);
        }))
        return text;
    QString shown;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\r')
            shown += QStringLiteral("\\r");
        else if (u == '\n')
            shown += QStringLiteral("\\n");
        else if (u == '\t')
            shown += QStringLiteral("\\t");
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            shown += QString::asprintf("\\x%02X", unsigned(u));
        else
            shown += c;
    }
    return shown;
}

const QStringList &commsKeys()
{
    static const QStringList keys = {QStringLiteral("mode"), QStringLiteral("baud"),
                                     QStringLiteral("bits"), QStringLiteral("parity"),
                                     QStringLiteral("address")};
    return keys;
}

const QStringList &blockKeys()
{
    static const QStringList keys = {QStringLiteral("type"), QStringLiteral("point")};
    return keys;
}

QString assignComms(CommsSettings &comms, const QString &key, const QString &value)
{
    if (key == QLatin1String("mode")) {
        const auto code = codeOfName(qm::kModeNames, value);
        if (!code)
            return refuse(key, value, QStringLiteral("one of ") + lowerNames(qm::kModeNames));
        comms.mode = *code;
    } else if (key == QLatin1String("baud")) {
        const auto rate = qm::readNumber(value.toStdString(), 0, qm::kBaudRates.back());
        int code = -1;
        for (int i = 0; rate && i < qm::kBaudCount; ++i) {
            if (qm::kBaudRates[std::size_t(i)] == *rate)
                code = i;
        }
        if (code < 0) {
            QStringList rates;
            for (int each : qm::kBaudRates)
                rates << QString::number(each);
            return refuse(key, value, QStringLiteral("one of ") + rates.join(QStringLiteral(", ")));
        }
        comms.baudCode = code;
    } else if (key == QLatin1String("bits")) {
        const auto bits = qm::readNumber(value.toStdString(), qm::kMinDataBits, qm::kMaxDataBits);
        if (!bits)
            return refuse(key, value,
                          QStringLiteral("%1 or %2").arg(qm::kMinDataBits).arg(qm::kMaxDataBits));
        comms.dataBits = *bits;
    } else if (key == QLatin1String("parity")) {
        const auto code = codeOfName(qm::kParityNames, value);
        if (!code)
            return refuse(key, value, QStringLiteral("one of ") + lowerNames(qm::kParityNames));
        comms.parity = *code;
    } else if (key == QLatin1String("address")) {
        // Two hexadecimal digits, as the lists show them.
        const std::optional<int> address =
            value.size() == 2
                ? qm::readNumber(value.toStdString(), qm::kMinAddress, qm::kMaxAddress, 16)
                : std::nullopt;
        if (!address)
            return refuse(key, value,
                          QStringLiteral("two hexadecimal digits from %1 to %2")
                              .arg(addressText(qm::kMinAddress), addressText(qm::kMaxAddress)));
        comms.address = *address;
    } else {
        return QStringLiteral("%1: unknown key; the Modbus settings are %2")
            .arg(printableText(key), listed(commsKeys()));
    }
    return {};
}

QString assignBlock(BlockSettings &block, const QString &key, const QString &value)
{
    if (key == QLatin1String("type")) {
        const auto code = codeOfName(qm::kDataTypeNames, value);
        if (!code)
            return refuse(key, value, QStringLiteral("one of ") + lowerNames(qm::kDataTypeNames));
        block.dataType = *code;
    } else if (key == QLatin1String("point")) {
        // The digits after the point, or the list's own entry ("0.01" for 2).
        std::optional<int> digits =
            value.size() == 1 ? qm::readNumber(value.toStdString(), 0, qm::kDecimalPointCount - 1)
                              : std::nullopt;
        if (!digits)
            digits = codeOfName(qm::kDecimalPointNames, value);
        if (!digits)
            return refuse(
                key, value,
                QStringLiteral("a number of decimals from 0 to %1 (or %2 to %3)")
                    .arg(qm::kDecimalPointCount - 1)
                    .arg(name(qm::kDecimalPointNames[1]), name(qm::kDecimalPointNames.back())));
        block.decimalPoint = *digits;
    } else {
        return QStringLiteral("%1: unknown key; a block has %2")
            .arg(printableText(key), listed(blockKeys()));
    }
    return {};
}

QString assignWords(CommsSettings &settings, const QStringList &words, QStringList &given)
{
    return assignAll(settings, words, given, assignComms);
}

QString assignWords(BlockSettings &settings, const QStringList &words, QStringList &given)
{
    return assignAll(settings, words, given, assignBlock);
}

QString checkWritable(const CommsSettings &comms)
{
    if (!qm::supportedFraming(comms.parity, comms.dataBits))
        return QStringLiteral("parity none with 7 data bits is not supported by the display");
    return {};
}

std::optional<int> parseBlockNumber(const QString &text)
{
    if (text.size() != 1)
        return std::nullopt;
    return qm::readNumber(text.toStdString(), 1, qm::kBlockCount);
}

QJsonObject commsJson(const CommsSettings &comms)
{
    return {{QStringLiteral("mode"), name(qm::kModeNames[std::size_t(comms.mode)]).toLower()},
            {QStringLiteral("baud"), qm::kBaudRates[std::size_t(comms.baudCode)]},
            {QStringLiteral("bits"), comms.dataBits},
            {QStringLiteral("parity"), name(qm::kParityNames[std::size_t(comms.parity)]).toLower()},
            {QStringLiteral("address"), addressText(comms.address)}};
}

QJsonObject blockJson(int blockNumber, const BlockSettings &block)
{
    return {
        {QStringLiteral("block"), blockNumber},
        {QStringLiteral("type"), name(qm::kDataTypeNames[std::size_t(block.dataType)]).toLower()},
        {QStringLiteral("point"), block.decimalPoint}};
}

} // namespace cli
