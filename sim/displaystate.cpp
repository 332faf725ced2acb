#include "displaystate.h"

namespace qm::sim {

int baudRateOf(int baudCode)
{
    return kBaudRates.at(baudCode);
}

std::string describeComms(const DisplayState &state)
{
    return std::string(kModeNames.at(state.mode)) + ", " +
           std::to_string(baudRateOf(state.baudCode)) + " baud, " + std::to_string(state.dataBits) +
           " data bits, " + std::string(kParityNames.at(state.parity)) + " parity, address " +
           addressText(state.address);
}

std::string describeBlock(int blockCode, const BlockSettings &block)
{
    return "block " + std::to_string(blockCode + 1) + ": " +
           std::string(kDataTypeNames.at(block.dataType)) + ", " +
           std::string(kDecimalPointNames.at(block.decimalPoint));
}

std::string addressText(int address)
{
    constexpr const char *kHex = "0123456789ABCDEF";
    return {kHex[(address >> 4) & 0xF], kHex[address & 0xF]};
}

} // namespace qm::sim
