#pragma once

#include "displaysim.h"
#include "displaystate.h"
#include "linkfolder.h"
#include "protocollimits.h"

#include <string>
#include <string_view>
#include <vector>

namespace qm::sim {

inline constexpr int kMaxDelayMs = 60000;
inline constexpr int kMaxCycleMs = 600000;

// Everything the command line can choose.
struct SimOptions
{
    int port = 1;
    DisplayState state;
    Faults faults;
    int delayMs = 0;
    bool help = false;
    // A bench of units that come and go (SIGUSR1: the next unit; SIGUSR2: the unit leaves),
    // each on the line for benchCycleMs and then away for half of it, when that is set.
    bool bench = false;
    int benchCycleMs = 0;
    std::vector<int> stubbornUnits; // 1 for the first unit
    std::vector<int> keepAddressUnits;
};

// The options, or an error message naming the offending argument.
struct ParsedOptions
{
    SimOptions options;
    std::string error;
};

// Parses the arguments after the program name; "--name value" and "--name=value".
ParsedOptions parseOptions(const std::vector<std::string> &args);

std::string usage(std::string_view program);

} // namespace qm::sim
