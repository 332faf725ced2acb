#include "linesettings.h"

#include "protocollimits.h"
#include "replies.h"

#include <QStringList>

bool operator==(const LineSettings &a, const LineSettings &b)
{
    return a.baud == b.baud && a.parity == b.parity && a.dataBits == b.dataBits &&
           a.stopBits == b.stopBits;
}

std::optional<LineSettings> parseLineSettings(const QString &text, QString *error)
{
    auto refuse = [error](const QString &reason) {
        if (error)
            *error = reason;
        return std::nullopt;
    };

    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return refuse(QStringLiteral("\"%1\" is not of the form baud,parity,bits,stop").arg(text));

    // Whole-text comparison, so that " 9600" or "09600" are refused rather than read leniently.
    // The PC offers the display's own rates.
    QStringList bauds;
    for (int rate : qm::kBaudRates)
        bauds << QString::number(rate);
    if (!bauds.contains(fields[0]))
        return refuse(QStringLiteral("baud rate \"%1\" is not one of %2")
                          .arg(fields[0], bauds.join(QStringLiteral(", "))));

    QStringList parities;
    for (char letter : qm::kParityLetters)
        parities << QString(QLatin1Char(letter));
    if (!parities.contains(fields[1]))
        return refuse(QStringLiteral("parity \"%1\" is not one of %2")
                          .arg(fields[1], parities.join(QStringLiteral(", "))));

    QStringList dataBits;
    for (int bits = qm::kMinDataBits; bits <= qm::kMaxDataBits; ++bits)
        dataBits << QString::number(bits);
    if (!dataBits.contains(fields[2]))
        return refuse(QStringLiteral("data bits \"%1\" is not one of %2")
                          .arg(fields[2], dataBits.join(QStringLiteral(", "))));

    if (fields[3] != QLatin1String("1"))
        return refuse(QStringLiteral("stop bits \"%1\" is not 1").arg(fields[3]));

    LineSettings settings;
    settings.baud = fields[0].toInt();
    settings.parity = fields[1].at(0).toLatin1();
    settings.dataBits = fields[2].toInt();
    settings.stopBits = 1;
    return settings;
}

QString formatLineSettings(const LineSettings &settings)
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(settings.baud)
        .arg(QLatin1Char(settings.parity))
        .arg(settings.dataBits)
        .arg(settings.stopBits);
}

QString lineSettingsProblem(const LineSettings &settings)
{
    QStringList bauds;
    for (int rate : qm::kBaudRates)
        bauds << QString::number(rate);
    if (!bauds.contains(QString::number(settings.baud)))
        return QStringLiteral("baud rate %1 is not one of %2")
            .arg(settings.baud)
            .arg(bauds.join(QStringLiteral(", ")));
    QStringList parities;
    for (char letter : qm::kParityLetters)
        parities << QString(QLatin1Char(letter));
    if (!parities.contains(QString(QLatin1Char(settings.parity))))
        return QStringLiteral("parity \"%1\" is not one of %2")
            .arg(QString::fromStdString(qm::printable(std::string(1, settings.parity))),
                 parities.join(QStringLiteral(", ")));
    if (settings.dataBits < qm::kMinDataBits || settings.dataBits > qm::kMaxDataBits)
        return QStringLiteral("data bits %1 is not %2 or %3")
            .arg(settings.dataBits)
            .arg(qm::kMinDataBits)
            .arg(qm::kMaxDataBits);
    if (settings.stopBits != 1)
        return QStringLiteral("stop bits %1 is not 1").arg(settings.stopBits);
    return {};
}

LineSettings lineSettingsFor(const qm::CommsSettings &comms)
{
    LineSettings settings;
    settings.baud = qm::kBaudRates[std::size_t(comms.baudCode)];
    settings.parity = qm::kParityLetters[std::size_t(comms.parity)];
    settings.dataBits = comms.dataBits;
    settings.stopBits = 1;
    return settings;
}
