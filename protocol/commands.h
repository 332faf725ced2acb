#pragma once

#include <string>
#include <string_view>

// Builders for the display's set-up commands. Every argument is a list position
// (or, for the address, the text of the chosen address entry); a position is
// written as its decimal text, so a valid selection gives exactly one digit.
namespace qm {

inline constexpr char kCarriageReturn = '\r';

// "$M": asks the display for its Modbus settings.
std::string readCommsCommand();

// "$C": writes the display's Modbus settings. `dataBitsPos` is the position in the
// data bits list; the display is sent the number of bits (position + kMinDataBits).
std::string writeCommsCommand(int modePos, int baudPos, int dataBitsPos, int parityPos,
                              std::string_view addressText);

// "$N": asks for the data type and decimal point of one block (position 0..8).
std::string readBlockCommand(int blockPos);

// "$D": writes the data type and decimal point of one block.
std::string writeBlockCommand(int blockPos, int dataTypePos, int decimalPointPos);

} // namespace qm
