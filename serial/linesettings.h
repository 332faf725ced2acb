#pragma once

#include <QString>

#include <optional>

// The line settings of the PC port, as the window hands them over in "9600,N,8,1".
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

// The PC line that talks to a display running these protocol codes (a baud rate's
// position, a parity's position, the number of data bits).
LineSettings lineSettingsFor(int baudCode, int parityCode, int dataBits);
