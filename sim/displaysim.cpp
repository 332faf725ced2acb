#include "displaysim.h"

#include "modbusslave.h"

#include <utility>

namespace qm::sim {

namespace {

constexpr char kCr = '\r';

// Every answer of the set-up command set: ">", what it carries, a carriage return.
std::string framed(std::string_view body)
{
    return ">" + std::string(body) + kCr;
}
// How much of a Modbus frame the trace shows; a valid request is shorter.
constexpr std::size_t kTraced = 24;

// The display is strict about what it takes: a field is a digit in range, nothing
// else, unlike the PC's lenient reading of replies.
std::optional<int> digitIn(char c, int low, int high)
{
    if (c < '0' || c > '9')
        return std::nullopt;
    const int value = c - '0';
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

std::optional<int> upperHexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return std::nullopt;
}

std::optional<int> addressField(std::string_view field)
{
    const auto high = upperHexDigit(field[0]);
    const auto low = upperHexDigit(field[1]);
    if (!high || !low)
        return std::nullopt;
    const int address = *high * 16 + *low;
    if (address < kMinAddress || address > kMaxAddress)
        return std::nullopt;
    return address;
}

bool hasWidth(std::string_view fields, std::size_t width, char letter, std::string &why)
{
    if (fields.size() == width)
        return true;
    why = std::string("$") + letter + " takes " + std::to_string(width) +
          " field characters, got " + std::to_string(fields.size());
    return false;
}

std::string fieldError(const char *name, char c)
{
    return std::string(name) + " field \"" + printable(std::string_view(&c, 1)) + "\" is not valid";
}

std::string rateText(int rate)
{
    return rate > 0 ? std::to_string(rate) + " baud" : "a rate the display does not know";
}

} // namespace

DisplaySim::DisplaySim(DisplayState state, Faults faults)
    : m_state(state), m_faults(faults), m_slave(std::make_unique<ModbusSlave>())
{
}

DisplaySim::~DisplaySim() = default;

std::vector<SimStep> DisplaySim::receive(std::string_view bytes, std::optional<int> pcBaudRate,
                                         SimClock::time_point now)
{
    std::vector<SimStep> steps = silence(now, pcBaudRate);
    feed(bytes, pcBaudRate, steps);
    if (m_rtuOpen)
        m_frameDue = now + silentInterval();
    return steps;
}

std::vector<SimStep> DisplaySim::receive(std::string_view bytes, std::optional<int> pcBaudRate)
{
    std::vector<SimStep> steps;
    if (m_rtuOpen)
        endRtuFrame(pcBaudRate, steps);
    feed(bytes, pcBaudRate, steps);
    if (m_rtuOpen)
        endRtuFrame(pcBaudRate, steps);
    return steps;
}

std::optional<SimClock::time_point> DisplaySim::frameDue() const
{
    if (!m_rtuOpen)
        return std::nullopt;
    return m_frameDue;
}

std::vector<SimStep> DisplaySim::silence(SimClock::time_point now, std::optional<int> pcBaudRate)
{
    std::vector<SimStep> steps;
    if (m_rtuOpen && now >= m_frameDue)
        endRtuFrame(pcBaudRate, steps);
    return steps;
}

SimClock::duration DisplaySim::silentInterval() const
{
    return std::chrono::microseconds(3'500'000LL * 11 / baudRateOf(m_state.baudCode));
}

void DisplaySim::feed(std::string_view bytes, std::optional<int> pcBaudRate,
                      std::vector<SimStep> &steps)
{
    // Bytes for the set-up command framer, handed over in runs so that a run of dropped
    // bytes is traced as one.
    std::string run;
    auto flushRun = [&] {
        setUp(run, pcBaudRate, steps);
        run.clear();
    };
    for (char c : bytes) {
        if (m_rtuOpen) {
            if (m_rtu.size() < kLongestFrameKept)
                m_rtu += c;
            ++m_rtuCount;
            continue;
        }
        if (m_asciiOpen) {
            if (c != '$' && c != ':') {
                m_ascii += c;
                if (c == '\n' || m_ascii.size() >= kLongestFrameKept)
                    endAsciiFrame(pcBaudRate, steps);
                continue;
            }
            // A new start abandons the frame, as it abandons a command.
            endAsciiFrame(pcBaudRate, steps);
        }
        const bool rtu = m_state.mode == 1;
        if (rtu ? c != '$' : c == ':') {
            flushRun();
            if (m_framer.pendingSize() == 0) {
                if (rtu) {
                    m_rtuOpen = true;
                    m_rtu.assign(1, c);
                    m_rtuCount = 1;
                } else {
                    m_asciiOpen = true;
                    m_ascii.assign(1, c);
                }
                continue;
            }
        }
        run += c;
        // A command ends at its CR and may change the mode, which decides the next byte.
        if (c == kCr)
            flushRun();
    }
    flushRun();
}

void DisplaySim::setUp(std::string_view bytes, std::optional<int> pcBaudRate,
                       std::vector<SimStep> &steps)
{
    if (bytes.empty())
        return;
    for (const CommandFramer::Piece &piece : m_framer.push(bytes)) {
        if (piece.kind == CommandFramer::Piece::Kind::Command) {
            steps.push_back(answer(piece.bytes, pcBaudRate));
            continue;
        }
        std::string line = "drop " + std::to_string(piece.count) +
                           " byte(s) outside a command: " + printable(piece.bytes);
        if (piece.count > piece.bytes.size())
            line += "...";
        steps.push_back({{line}, {}});
    }
}

bool DisplaySim::wrongRate(std::optional<int> pcBaudRate, std::vector<std::string> &trace) const
{
    // On a real line a rate mismatch turns the bytes into garbage the display cannot
    // frame. Parity and data bits are not compared: the window's usual port settings
    // are "9600,N,8,1" while the display's own say Even, and that works.
    const int displayRate = baudRateOf(m_state.baudCode);
    if (!pcBaudRate || *pcBaudRate == displayRate)
        return false;
    trace.push_back("  ignored: PC line at " + rateText(*pcBaudRate) + ", display listens at " +
                    std::to_string(displayRate));
    return true;
}

void DisplaySim::endRtuFrame(std::optional<int> pcBaudRate, std::vector<SimStep> &steps)
{
    m_rtuOpen = false;
    const std::string frame = std::exchange(m_rtu, {});
    const std::size_t count = std::exchange(m_rtuCount, 0);
    SimStep step;
    step.trace.push_back("recv RTU " + hexBytes(frame.substr(0, kTraced)) +
                         (count > kTraced ? " ... (" + std::to_string(count) + " bytes)" : ""));
    std::string why;
    std::optional<std::string> message;
    if (count > frame.size())
        why = std::to_string(count) + " bytes, longer than any Modbus RTU frame";
    else
        message = rtuMessage(frame, why);
    answerFrame(pcBaudRate, message, why, step);
    steps.push_back(step);
}

void DisplaySim::endAsciiFrame(std::optional<int> pcBaudRate, std::vector<SimStep> &steps)
{
    m_asciiOpen = false;
    const std::string frame = std::exchange(m_ascii, {});
    SimStep step;
    step.trace.push_back(
        "recv " + printable(frame.substr(0, kTraced)) +
        (frame.size() > kTraced ? "... (" + std::to_string(frame.size()) + " bytes)" : ""));
    std::string why;
    const auto message = asciiMessage(frame, why);
    answerFrame(pcBaudRate, message, why, step);
    steps.push_back(step);
}

void DisplaySim::answerFrame(std::optional<int> pcBaudRate,
                             const std::optional<std::string> &message, const std::string &why,
                             SimStep &step)
{
    if (wrongRate(pcBaudRate, step.trace))
        return;
    if (message)
        answerModbus(*message, step);
    else
        step.trace.push_back("  no answer: " + why);
}

void DisplaySim::answerModbus(std::string_view message, SimStep &step)
{
    const int address = static_cast<unsigned char>(message[0]);
    if (address == 0) {
        step.trace.push_back("  no answer: a broadcast (address 00) is never answered");
        return;
    }
    if (address != m_state.address) {
        step.trace.push_back("  no answer: for address " + addressText(address) +
                             ", the display is " + addressText(m_state.address));
        return;
    }
    std::string trace;
    const int function = static_cast<unsigned char>(message.size() > 1 ? message[1] : 0);
    std::string reply;
    if (m_faults.modbusException >= 0 && function < 0x80) {
        reply = {message[0], static_cast<char>(function | 0x80),
                 static_cast<char>(m_faults.modbusException)};
        trace = "  exception " + hexBytes(reply.substr(2)) + ": --modbus-exception";
    } else {
        reply = m_slave->answer(message, m_state, trace);
    }
    step.trace.push_back(trace);
    if (reply.empty())
        return;
    if (m_faults.silent) {
        step.trace.push_back("  silent: answer withheld");
        return;
    }
    const std::string frame = m_state.mode == 1 ? rtuFrame(reply) : asciiFrame(reply);
    step.reply = m_faults.noise ? kNoiseByte + frame : frame;
    step.binary = m_state.mode == 1;
}

SimStep DisplaySim::answer(const std::string &command, std::optional<int> pcBaudRate)
{
    SimStep step;
    step.trace.push_back("recv " + printable(command));

    if (wrongRate(pcBaudRate, step.trace))
        return step;

    const char letter = command.size() > 2 ? command[1] : '\0';
    // What follows "$" and the letter, without the closing CR.
    const std::string_view fields = command.size() > 2
                                        ? std::string_view(command).substr(2, command.size() - 3)
                                        : std::string_view();
    std::string why;
    std::optional<std::string> reply;
    switch (letter) {
    case 'M':
        reply = readComms(fields, why);
        break;
    case 'C':
        reply = writeComms(fields, why, step.trace);
        break;
    case 'N':
        reply = readBlock(fields, why);
        break;
    case 'D':
        reply = writeBlock(fields, why, step.trace);
        break;
    default:
        why = "unknown command";
        break;
    }

    if (!reply) {
        step.trace.push_back("  no answer: " + why);
    } else if (m_faults.silent) {
        step.trace.push_back("  silent: answer withheld");
    } else {
        step.reply = m_faults.noise ? kNoiseByte + *reply : *reply;
    }
    return step;
}

std::optional<std::string> DisplaySim::readComms(std::string_view fields, std::string &why) const
{
    if (!hasWidth(fields, 0, 'M', why))
        return std::nullopt;
    std::string reply;
    reply += static_cast<char>('0' + m_state.mode);
    reply += static_cast<char>('0' + m_state.baudCode);
    reply += static_cast<char>('0' + m_state.dataBits);
    reply += static_cast<char>('0' + m_state.parity);
    reply += addressText(m_state.address);
    return framed(reply);
}

std::optional<std::string> DisplaySim::writeComms(std::string_view fields, std::string &why,
                                                  std::vector<std::string> &trace)
{
    if (!hasWidth(fields, 6, 'C', why))
        return std::nullopt;
    const auto mode = digitIn(fields[0], 0, 1);
    const auto baud = digitIn(fields[1], 0, kBaudCount - 1);
    const auto bits = digitIn(fields[2], 7, 8);
    const auto parity = digitIn(fields[3], 0, 2);
    const auto address = addressField(fields.substr(4, 2));
    if (!mode)
        why = fieldError("mode", fields[0]);
    else if (!baud)
        why = fieldError("baud rate", fields[1]);
    else if (!bits)
        why = fieldError("data bits", fields[2]);
    else if (!parity)
        why = fieldError("parity", fields[3]);
    else if (!address)
        why = "address field \"" + printable(fields.substr(4, 2)) + "\" is not 01 to FA";
    if (!why.empty())
        return std::nullopt;

    const int oldBaud = m_state.baudCode;
    m_state.mode = *mode;
    m_state.baudCode = *baud;
    m_state.dataBits = *bits;
    m_state.parity = *parity;
    if (m_faults.keepAddress)
        trace.push_back("  kept its address " + addressText(m_state.address));
    else
        m_state.address = *address;
    trace.push_back("  stored: " + describeComms(m_state));
    if (*baud != oldBaud) {
        const std::string rate = std::to_string(baudRateOf(*baud));
        trace.push_back("  listens at " + rate + " baud after this answer: reconnect the PC at " +
                        rate);
    }
    return framed({});
}

std::optional<std::string> DisplaySim::readBlock(std::string_view fields, std::string &why) const
{
    if (!hasWidth(fields, 1, 'N', why))
        return std::nullopt;
    const auto block = digitIn(fields[0], 0, kBlockCount - 1);
    if (!block) {
        why = fieldError("block", fields[0]);
        return std::nullopt;
    }
    const BlockSettings &settings = m_state.blocks[*block];
    std::string reply;
    reply += fields[0];
    reply += static_cast<char>('0' + settings.dataType);
    reply += static_cast<char>('0' + settings.decimalPoint);
    return framed(reply);
}

std::optional<std::string> DisplaySim::writeBlock(std::string_view fields, std::string &why,
                                                  std::vector<std::string> &trace)
{
    if (!hasWidth(fields, 3, 'D', why))
        return std::nullopt;
    const auto block = digitIn(fields[0], 0, kBlockCount - 1);
    const auto type = digitIn(fields[1], 0, 2);
    const auto point = digitIn(fields[2], 0, (kDecimalPointCount - 1));
    if (!block)
        why = fieldError("block", fields[0]);
    else if (!type)
        why = fieldError("data type", fields[1]);
    else if (!point)
        why = fieldError("decimal point", fields[2]);
    if (!why.empty())
        return std::nullopt;

    if (m_faults.stubborn) {
        trace.push_back("  acknowledged, kept: " + describeBlock(*block, m_state.blocks[*block]));
        return framed({});
    }
    m_state.blocks[*block] = {*type, *point};
    trace.push_back("  stored: " + describeBlock(*block, m_state.blocks[*block]));
    return framed({});
}

std::string sentTrace(std::string_view reply, bool binary)
{
    return binary ? "send RTU " + hexBytes(reply) : "send " + printable(reply);
}

} // namespace qm::sim
