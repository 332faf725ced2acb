#pragma once

#include "protocollimits.h"

#include <array>
#include <string>

// The simulator keeps its own model of the display (not protocol/display.h) on purpose: an
// independent oracle for the tests. It shares only the limits and names (protocollimits.h)
// and judges commands with logic of its own, so that it checks the program rather than
// echoing it.
namespace qm::sim {

// Data type and decimal point of one display block, as protocol codes.
struct BlockSettings
{
    int dataType = 0;     // 0 Integer, 1 Long, 2 Float
    int decimalPoint = 0; // digits after the point, 0..5
};

// What the display remembers. Every field holds its protocol code, except the data
// bits, which are the number of bits, and the address, which is its value.
struct DisplayState
{
    int mode = 1;     // 0 ASCII, 1 RTU
    int baudCode = 3; // 0 1200, 1 2400, 2 4800, 3 9600
    int dataBits = 8; // 7 or 8
    int parity = 1;   // 0 None, 1 Even, 2 Odd
    int address = 0x0A;
    std::array<BlockSettings, kBlockCount> blocks{};
};

// Bits per second for a baud code 0..3.
int baudRateOf(int baudCode);

// "RTU, 9600 baud, 8 data bits, Even parity, address 0A"
std::string describeComms(const DisplayState &state);

// "block 3: Long, 0.01" for block code 2.
std::string describeBlock(int blockCode, const BlockSettings &block);

// Upper-case, two digits: 10 -> "0A".
std::string addressText(int address);

} // namespace qm::sim
