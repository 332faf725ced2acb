#include "displaystate.h"

namespace qm::sim {

namespace {

constexpr std::array<const char *, 2> kModeNames = {"ASCII", "RTU"};
constexpr std::array<int, kBaudCodeCount> kBaudRates = {1200, 2400, 4800, 9600};
constexpr std::array<const char *, 3> kParityNames = {"None", "Even", "Odd"};
constexpr std::array<const char *, 3> kTypeNames = {"Integer", "Long", "Float"};

std::string decimalPointText(int digits)
{
    return digits == 0 ? "0" : "0." + std::string(digits - 1, '0') + "1";
}

} // namespace

int baudRateOf(int baudCode)
{
    return kBaudRates.at(baudCode);
}

std::string describeComms(const DisplayState &state)
{
    return std::string(kModeNames.at(state.mode)) + ", " +
           std::to_string(baudRateOf(state.baudCode)) + " baud, " + std::to_string(state.dataBits) +
           " data bits, " + kParityNames.at(state.parity) + " parity, address " +
           addressText(state.address);
}

std::string describeBlock(int blockCode, const BlockSettings &block)
{
    return "block " + std::to_string(blockCode + 1) + ": " + kTypeNames.at(block.dataType) + ", " +
           decimalPointText(block.decimalPoint);
}

std::string addressText(int address)
{
    constexpr const char *kHex = "0123456789ABCDEF";
    return {kHex[(address >> 4) & 0xF], kHex[address & 0xF]};
}

} // namespace qm::sim
