#pragma once

#include "displaysim.h"
#include "displaystate.h"
#include "linkfolder.h"

#include <string>
#include <string_view>
#include <vector>

namespace qm::sim {

inline constexpr int kMaxDelayMs = 60000;

// Everything the command line can choose.
struct SimOptions
{
    int port = 1;
    DisplayState state;
    Faults faults;
    int delayMs = 0;
    bool help = false;
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
