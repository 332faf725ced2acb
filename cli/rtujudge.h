#pragma once

#include "linesettings.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace cli {

// What libmodbus, as a master built on it would, makes of the bytes that came back to a
// read of one holding register in Modbus RTU.
struct RtuJudgement
{
    QString problem;      // not empty when libmodbus could not be asked at all
    int result = -1;      // modbus_read_registers' result: 1 when a value came
    int error = 0;        // its errno otherwise
    uint16_t value = 0;   // the register's value
    qsizetype unread = 0; // bytes libmodbus left after the answer it took
};
RtuJudgement judgeRtuAnswer(const QByteArray &answer, int address, int reg,
                            const LineSettings &line);

} // namespace cli
