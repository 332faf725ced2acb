#pragma once

#include "linesettings.h"

#include <QString>
#include <QStringList>

// The fixed entries of the window's drop-down lists. Positions in these lists are
// the codes of the port set-up and of the display protocol, so their order matters.
namespace optionlists {

QStringList baudRates();     // "1200" .. "9600"
QStringList parities();      // "None", "Even", "Odd"
QStringList dataBits();      // "7", "8"
QStringList modbusModes();   // "ASCII", "RTU"
QStringList dataTypes();     // "Integer", "Long", "Float"
QStringList decimalPoints(); // "0", "0.1" .. "0.00001"
QStringList ports();         // "COM 1" .. "COM 250"
QStringList addresses();     // "01" .. "FA": address i + 1 at position i
QStringList blocks();        // "1" .. "9"

// The PC port's settings from the positions chosen in the baud, parity and data bits lists
// (each a valid position).
LineSettings portSettings(int baudPos, int parityPos, int dataBitsPos);

} // namespace optionlists
