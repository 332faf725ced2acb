#include "optionlists.h"

#include "portnames.h"
#include "protocollimits.h"

namespace optionlists {

namespace {

template <std::size_t N> QStringList entries(const std::array<std::string_view, N> &names)
{
    QStringList list;
    for (std::string_view name : names)
        list << QString::fromLatin1(name.data(), qsizetype(name.size()));
    return list;
}

} // namespace

QStringList baudRates()
{
    QStringList list;
    for (int rate : qm::kBaudRates)
        list << QString::number(rate);
    return list;
}

QStringList parities()
{
    return entries(qm::kParityNames);
}

QStringList dataBits()
{
    QStringList list;
    for (int bits = qm::kMinDataBits; bits <= qm::kMaxDataBits; ++bits)
        list << QString::number(bits);
    return list;
}

QStringList modbusModes()
{
    return entries(qm::kModeNames);
}

QStringList dataTypes()
{
    return entries(qm::kDataTypeNames);
}

QStringList decimalPoints()
{
    return entries(qm::kDecimalPointNames);
}

QStringList ports()
{
    QStringList entries;
    for (int n = kFirstPort; n <= kLastPort; ++n)
        entries << portName(n);
    return entries;
}

QStringList addresses()
{
    QStringList entries;
    for (int n = qm::kMinAddress; n <= qm::kMaxAddress; ++n)
        entries << QStringLiteral("%1").arg(n, 2, 16, QLatin1Char('0')).toUpper();
    return entries;
}

QStringList blocks()
{
    QStringList entries;
    for (int n = 1; n <= qm::kBlockCount; ++n)
        entries << QString::number(n);
    return entries;
}

LineSettings portSettings(int baudPos, int parityPos, int dataBitsPos)
{
    LineSettings settings;
    settings.baud = qm::kBaudRates[std::size_t(baudPos)];
    settings.parity = qm::kParityLetters[std::size_t(parityPos)];
    settings.dataBits = qm::kMinDataBits + dataBitsPos;
    settings.stopBits = 1;
    return settings;
}

} // namespace optionlists
