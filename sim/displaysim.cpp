#include "displaysim.h"

namespace qm::sim {

namespace {

constexpr char kCr = '\r';

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

DisplaySim::DisplaySim(DisplayState state, Faults faults) : m_state(state), m_faults(faults) {}

std::vector<SimStep> DisplaySim::receive(std::string_view bytes, std::optional<int> pcBaudRate)
{
    std::vector<SimStep> steps;
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
    return steps;
}

SimStep DisplaySim::answer(const std::string &command, std::optional<int> pcBaudRate)
{
    SimStep step;
    step.trace.push_back("recv " + printable(command));

    // On a real line a rate mismatch turns the command into garbage the display
    // cannot frame. Parity and data bits are not compared: the window's usual port
    // settings are "9600,N,8,1" while the display's own say Even, and that works.
    const int displayRate = baudRateOf(m_state.baudCode);
    if (pcBaudRate && *pcBaudRate != displayRate) {
        step.trace.push_back("  ignored: PC line at " + rateText(*pcBaudRate) +
                             ", display listens at " + std::to_string(displayRate));
        return step;
    }

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
    std::string reply = ">";
    reply += static_cast<char>('0' + m_state.mode);
    reply += static_cast<char>('0' + m_state.baudCode);
    reply += static_cast<char>('0' + m_state.dataBits);
    reply += static_cast<char>('0' + m_state.parity);
    reply += addressText(m_state.address);
    reply += kCr;
    return reply;
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
    m_state.address = *address;
    trace.push_back("  stored: " + describeComms(m_state));
    if (*baud != oldBaud) {
        const std::string rate = std::to_string(baudRateOf(*baud));
        trace.push_back("  listens at " + rate + " baud after this answer: reconnect the PC at " +
                        rate);
    }
    return std::string(">") + kCr;
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
    std::string reply = ">";
    reply += fields[0];
    reply += static_cast<char>('0' + settings.dataType);
    reply += static_cast<char>('0' + settings.decimalPoint);
    reply += kCr;
    return reply;
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

    m_state.blocks[*block] = {*type, *point};
    trace.push_back("  stored: " + describeBlock(*block, m_state.blocks[*block]));
    return std::string(">") + kCr;
}

std::string sentTrace(std::string_view reply)
{
    return "send " + printable(reply);
}

} // namespace qm::sim
