#pragma once

#include "display.h"

#include <string>

// Builders for the display's set-up commands, from the table in display.h: "$", the
// command's letter, each request field as its digit (two upper-case hexadecimal digits for
// the address), then a carriage return. Values are written as given, in range or not.
namespace qm {

inline constexpr char kCarriageReturn = '\r';

// The command of `entry` with `values` for its request fields.
std::string buildCommand(const CommandRow &entry, const FieldValues &values = {});

// "$M": asks the display for its Modbus settings.
std::string readCommsCommand();
// "$C": writes the display's Modbus settings.
std::string writeCommsCommand(const CommsSettings &comms);
// "$N": asks for the data type and decimal point of one block (code 0..8).
std::string readBlockCommand(int blockCode);
// "$D": writes the data type and decimal point of one block (code 0..8).
std::string writeBlockCommand(int blockCode, const BlockSettings &block);

} // namespace qm
