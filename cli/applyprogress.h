#pragma once

#include "protocollimits.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

namespace cli {

// How far an apply got, for the message of a failure part-way: which blocks the display
// acknowledged and whether the Modbus settings were sent.
struct ApplyProgress
{
    int blocksWritten = 0;        // blocks 1..n were acknowledged
    bool blockUnanswered = false; // block n + 1 was sent but not acknowledged
    bool blocksVerified = false;
    bool modbusSent = false;
    bool modbusWritten = false; // acknowledged

    static QString range(int first, int last)
    {
        return first == last ? QStringLiteral("block %1").arg(first)
                             : QStringLiteral("blocks %1-%2").arg(first).arg(last);
    }

    QString text() const
    {
        QStringList parts;
        if (blocksWritten == 0)
            parts << QStringLiteral("no block was written");
        else
            parts << range(1, blocksWritten) +
                         (blocksWritten == 1 ? QStringLiteral(" was written")
                                             : QStringLiteral(" were written")) +
                         (blocksVerified ? QStringLiteral(" and verified") : QString());
        int next = blocksWritten + 1;
        if (blockUnanswered)
            parts << QStringLiteral("block %1 was sent but not acknowledged").arg(next++);
        if (next <= qm::kBlockCount)
            parts << range(next, qm::kBlockCount) + (next == qm::kBlockCount
                                                         ? QStringLiteral(" was not sent")
                                                         : QStringLiteral(" were not sent"));
        if (modbusWritten)
            parts << QStringLiteral("the Modbus settings were written but not read back");
        else if (modbusSent)
            parts << QStringLiteral("the Modbus settings were sent without a valid answer (the "
                                    "display may have taken them)");
        else
            parts << QStringLiteral("the Modbus settings were not sent");
        return parts.join(QStringLiteral("; "));
    }

    QJsonObject json() const
    {
        QJsonArray written;
        for (int number = 1; number <= blocksWritten; ++number)
            written.append(number);
        return {{QStringLiteral("blocksWritten"), written},
                {QStringLiteral("blocksVerified"), blocksVerified},
                {QStringLiteral("modbusSent"), modbusSent},
                {QStringLiteral("modbusWritten"), modbusWritten},
                {QStringLiteral("modbusVerified"), false}};
    }
};

} // namespace cli
