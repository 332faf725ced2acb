#pragma once

#include "commandframer.h"
#include "displaystate.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::sim {

// Misbehaviour on request, for testing how the PC side copes.
struct Faults
{
    bool silent = false; // decide as usual, answer nothing
    bool noise = false;  // kNoiseByte in front of every answer
};

inline constexpr char kNoiseByte = '~';

// One decision of the display: trace lines about what arrived and what was made of
// it, and the bytes to send back (empty: no answer).
struct SimStep
{
    std::vector<std::string> trace;
    std::string reply;
};

// The display: holds its settings and answers the set-up commands, from bytes that
// may arrive in any chunks. Pure: the caller moves the bytes and keeps the time.
class DisplaySim
{
public:
    explicit DisplaySim(DisplayState state = {}, Faults faults = {});

    // `pcBaudRate` is the rate the PC's line is set to in bit/s (0 or less when the
    // setting is not a known rate), or nullopt when it cannot be read at all.
    std::vector<SimStep> receive(std::string_view bytes, std::optional<int> pcBaudRate);

    const DisplayState &state() const { return m_state; }
    std::size_t pendingSize() const { return m_framer.pendingSize(); }

private:
    SimStep answer(const std::string &command, std::optional<int> pcBaudRate);
    // Each returns the reply, or nothing with `why` set.
    std::optional<std::string> readComms(std::string_view fields, std::string &why) const;
    std::optional<std::string> writeComms(std::string_view fields, std::string &why,
                                          std::vector<std::string> &trace);
    std::optional<std::string> readBlock(std::string_view fields, std::string &why) const;
    std::optional<std::string> writeBlock(std::string_view fields, std::string &why,
                                          std::vector<std::string> &trace);

    DisplayState m_state;
    Faults m_faults;
    CommandFramer m_framer;
};

// The trace line for bytes actually written to the PC.
std::string sentTrace(std::string_view reply);

} // namespace qm::sim
