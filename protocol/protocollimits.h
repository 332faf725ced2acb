#pragma once

#include <array>
#include <string>
#include <string_view>

// What the display's set-up protocol can express, defined once for the window, the
// command-line companion, the simulator and the tests. Each code is the position of
// its name in the table beside it.
namespace qm {

// Port numbers as the window offers them ("COM 1" .. "COM 250").
inline constexpr int kFirstPort = 1;
inline constexpr int kLastPort = 250;
// "COM 5": the one spelling of a port number in every list, message and file.
inline std::string portName(int port)
{
    return "COM " + std::to_string(port);
}

inline constexpr int kBlockCount = 9;   // blocks 1..9, sent as codes 0..8
inline constexpr int kMinAddress = 1;   // the lists offer 1..250 ("01".."FA")
inline constexpr int kMaxAddress = 250; // a "$M" reply may also report 0
inline constexpr int kMinDataBits = 7;
inline constexpr int kMaxDataBits = 8;
// How long every exchange waits for the display's reply: the window's and the default of
// quillmark-cli.
inline constexpr int kReplyWindowMs = 500;

inline constexpr std::array<std::string_view, 2> kModeNames = {"ASCII", "RTU"};
inline constexpr std::array<int, 4> kBaudRates = {1200, 2400, 4800, 9600};
inline constexpr std::array<std::string_view, 3> kParityNames = {"None", "Even", "Odd"};
// The same parities as a serial line's settings write them ("9600,E,8,1").
inline constexpr std::array<char, 3> kParityLetters = {'N', 'E', 'O'};
inline constexpr std::array<std::string_view, 3> kDataTypeNames = {"Integer", "Long", "Float"};
inline constexpr std::array<std::string_view, 6> kDecimalPointNames = {
    "0", "0.1", "0.01", "0.001", "0.0001", "0.00001"};

inline constexpr int kModeCount = int(kModeNames.size());
inline constexpr int kBaudCount = int(kBaudRates.size());
inline constexpr int kParityCount = int(kParityNames.size());
inline constexpr int kDataTypeCount = int(kDataTypeNames.size());
inline constexpr int kDecimalPointCount = int(kDecimalPointNames.size());

// The display cannot run parity None with 7 data bits; writes of it are refused.
inline constexpr bool supportedFraming(int parityCode, int dataBits)
{
    return !(parityCode == 0 && dataBits == 7);
}

} // namespace qm
