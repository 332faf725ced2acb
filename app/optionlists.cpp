#include "optionlists.h"

namespace optionlists {

QStringList baudRates()
{
    return {"1200", "2400", "4800", "9600"};
}

QStringList parities()
{
    return {"None", "Even", "Odd"};
}

QStringList dataBits()
{
    return {"7", "8"};
}

QStringList modbusModes()
{
    return {"ASCII", "RTU"};
}

QStringList dataTypes()
{
    return {"Integer", "Long", "Float"};
}

QStringList decimalPoints()
{
    return {"0", "0.1", "0.01", "0.001", "0.0001", "0.00001"};
}

QStringList ports()
{
    QStringList entries;
    for (int n = 1; n <= kPortCount; ++n)
        entries << QStringLiteral("COM %1").arg(n);
    return entries;
}

QStringList addresses()
{
    QStringList entries;
    for (int n = 1; n <= kAddressCount; ++n)
        entries << QStringLiteral("%1").arg(n, 2, 16, QLatin1Char('0')).toUpper();
    return entries;
}

QStringList blocks()
{
    QStringList entries;
    for (int n = 1; n <= kBlockCount; ++n)
        entries << QString::number(n);
    return entries;
}

QString portSettings(const QString &baud, const QString &parity, const QString &bits)
{
    return baud + ',' + parity.left(1).toUpper() + ',' + bits + ",1";
}

} // namespace optionlists
