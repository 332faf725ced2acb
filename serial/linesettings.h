#pragma once

#include "display.h"

#include <QString>

#include <optional>

// The line settings of a PC port, "9600,N,8,1" as text.
struct LineSettings
{
    int baud = 9600;
    char parity = 'N';
    int dataBits = 8;
    int stopBits = 1;
};

bool operator==(const LineSettings &a, const LineSettings &b);
inline bool operator!=(const LineSettings &a, const LineSettings &b)
{
    return !(a == b);
}

// Reads "baud,parity,bits,stop". On refusal returns nothing and, when `error` is
// given, says which field is wrong and why.
std::optional<LineSettings> parseLineSettings(const QString &text, QString *error = nullptr);

QString formatLineSettings(const LineSettings &settings);

// Why a line cannot run `settings` (a rate, parity, data bits or stop bits the display does
// not offer); empty when it can.
QString lineSettingsProblem(const LineSettings &settings);

// The PC line that talks to a display with these Modbus settings.
LineSettings lineSettingsFor(const qm::CommsSettings &comms);
