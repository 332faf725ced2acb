#pragma once

#include "commandframer.h"
#include "displaystate.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::sim {

// Misbehaviour on request, for testing how the PC side copes.
struct Faults
{
    bool silent = false;      // decide as usual, answer nothing
    bool noise = false;       // kNoiseByte in front of every answer
    bool stubborn = false;    // acknowledge every block write, keep the blocks it had
    bool keepAddress = false; // acknowledge a "$C", take all of it but the address
    int modbusException = -1; // 0 to FF: every Modbus request gets this exception code
};

inline constexpr char kNoiseByte = '~';

// One decision of the display: trace lines about what arrived and what was made of
// it, and the bytes to send back (empty: no answer).
struct SimStep
{
    std::vector<std::string> trace;
    std::string reply;
    bool binary = false; // an RTU answer, traced in hexadecimal
};

class ModbusSlave;

using SimClock = std::chrono::steady_clock;

// The display: holds its settings and answers the set-up commands and Modbus requests
// on one line, from bytes that may arrive in any chunks. Pure but for the clock: the
// caller moves the bytes and says when they came.
//
// A "$" where no frame is open starts a set-up command. In RTU mode any other byte there
// starts a Modbus RTU frame, which ends when the line has been silent for 3.5 characters
// at the display's baud rate (11 bits a character); in ASCII mode a ":" starts a Modbus
// ASCII frame, which ends with CR LF.
class DisplaySim
{
public:
    explicit DisplaySim(DisplayState state = {}, Faults faults = {});
    ~DisplaySim();

    // `pcBaudRate` is the rate the PC's line is set to in bit/s (0 or less when the
    // setting is not a known rate), or nullopt when it cannot be read at all. Bytes that
    // arrived together at `now`; an RTU frame whose silence has passed by then ends first.
    std::vector<SimStep> receive(std::string_view bytes, std::optional<int> pcBaudRate,
                                 SimClock::time_point now);
    // Bytes with a silence before and after them: an RTU frame among them is answered.
    std::vector<SimStep> receive(std::string_view bytes, std::optional<int> pcBaudRate);
    // When an RTU frame is open: the moment its silent interval ends.
    std::optional<SimClock::time_point> frameDue() const;
    // Ends the open RTU frame when its silent interval has passed by `now`.
    std::vector<SimStep> silence(SimClock::time_point now, std::optional<int> pcBaudRate);
    // 3.5 characters of 11 bits at the display's baud rate.
    SimClock::duration silentInterval() const;

    const DisplayState &state() const { return m_state; }
    std::size_t pendingSize() const { return m_framer.pendingSize(); }

private:
    void feed(std::string_view bytes, std::optional<int> pcBaudRate, std::vector<SimStep> &steps);
    void setUp(std::string_view bytes, std::optional<int> pcBaudRate, std::vector<SimStep> &steps);
    void endRtuFrame(std::optional<int> pcBaudRate, std::vector<SimStep> &steps);
    void endAsciiFrame(std::optional<int> pcBaudRate, std::vector<SimStep> &steps);
    // The Modbus answer to a checked request's message, framed for the display's mode.
    // The answer to a whole Modbus frame, or why there is none.
    void answerFrame(std::optional<int> pcBaudRate, const std::optional<std::string> &message,
                     const std::string &why, SimStep &step);
    void answerModbus(std::string_view message, SimStep &step);
    SimStep answer(const std::string &command, std::optional<int> pcBaudRate);
    bool wrongRate(std::optional<int> pcBaudRate, std::vector<std::string> &trace) const;
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
    std::unique_ptr<ModbusSlave> m_slave;
    // Longer than any Modbus frame (RTU 256 bytes, ASCII 513 characters): not one.
    static constexpr std::size_t kLongestFrameKept = 514;
    // The open RTU frame (its first bytes; the count goes on) and when its silence ends.
    bool m_rtuOpen = false;
    std::string m_rtu;
    std::size_t m_rtuCount = 0;
    SimClock::time_point m_frameDue;
    // The open ASCII frame, from its ":".
    bool m_asciiOpen = false;
    std::string m_ascii;
};

// The trace line for bytes actually written to the PC.
std::string sentTrace(std::string_view reply, bool binary = false);

} // namespace qm::sim
