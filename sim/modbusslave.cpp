#include "modbusslave.h"

#include "replies.h"

#include <modbus.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace qm::sim {
namespace {

constexpr const char *kHex = "0123456789ABCDEF";
// Address, function, data up to 252 bytes, CRC: the longest RTU frame.
constexpr std::size_t kLongestRtuFrame = 256;

std::string hexPair(unsigned value)
{
    return {kHex[(value >> 4) & 0xF], kHex[value & 0xF]};
}

int digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

unsigned crc16(std::string_view bytes)
{
    unsigned crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

std::string rtuFrame(std::string_view message)
{
    const unsigned crc = crc16(message);
    std::string frame(message);
    frame += static_cast<char>(crc & 0xFF);
    frame += static_cast<char>(crc >> 8);
    return frame;
}

std::optional<std::string> rtuMessage(std::string_view frame, std::string &why)
{
    if (frame.size() < 4) {
        why = std::to_string(frame.size()) + " byte(s), shorter than any Modbus RTU frame";
        return std::nullopt;
    }
    if (frame.size() > kLongestRtuFrame) {
        why = std::to_string(frame.size()) + " bytes, longer than any Modbus RTU frame";
        return std::nullopt;
    }
    const std::string_view message = frame.substr(0, frame.size() - 2);
    const unsigned received = static_cast<unsigned char>(frame[frame.size() - 2]) |
                              static_cast<unsigned char>(frame[frame.size() - 1]) << 8;
    const unsigned computed = crc16(message);
    if (received != computed) {
        why = "CRC " + hexPair(received >> 8) + hexPair(received) + " where the bytes give " +
              hexPair(computed >> 8) + hexPair(computed);
        return std::nullopt;
    }
    return std::string(message);
}

unsigned lrc(std::string_view bytes)
{
    unsigned sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return (0x100 - (sum & 0xFF)) & 0xFF;
}

std::string asciiFrame(std::string_view message)
{
    std::string frame = ":";
    for (char c : message)
        frame += hexPair(static_cast<unsigned char>(c));
    return frame + hexPair(lrc(message)) + "\r\n";
}

std::optional<std::string> asciiMessage(std::string_view frame, std::string &why)
{
    if (frame.size() < 9 || frame.front() != ':' || frame.substr(frame.size() - 2) != "\r\n" ||
        frame.size() % 2 == 0) {
        why = "not a Modbus ASCII frame (\":\", address, function and LRC in pairs of digits, "
              "CR LF)";
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 1; i + 2 < frame.size(); i += 2) {
        const int high = digit(frame[i]);
        const int low = digit(frame[i + 1]);
        if (high < 0 || low < 0) {
            why = "\"" + qm::printable(frame.substr(i, 2)) + "\" is not a hexadecimal pair";
            return std::nullopt;
        }
        bytes += static_cast<char>(high << 4 | low);
    }
    const std::string message = bytes.substr(0, bytes.size() - 1);
    const unsigned received = static_cast<unsigned char>(bytes.back());
    if (lrc(message) != received) {
        why = "LRC " + hexPair(received) + " where the bytes give " + hexPair(lrc(message));
        return std::nullopt;
    }
    return message;
}

std::string hexBytes(std::string_view bytes)
{
    std::string text;
    for (char c : bytes) {
        if (!text.empty())
            text += ' ';
        text += hexPair(static_cast<unsigned char>(c));
    }
    return text;
}

ModbusSlave::ModbusSlave()
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("cannot make the Modbus answer pipe: ") +
                                 std::strerror(errno));
    // The RTU context is never connected: it only builds answers, into the pipe.
    m_context = modbus_new_rtu("/dev/null", 9600, 'E', 8, 1);
    m_map = modbus_mapping_new(0, 0, kHoldingRegisterCount, 0);
    if (m_context == nullptr || m_map == nullptr) {
        const std::string why = modbus_strerror(errno);
        release();
        throw std::runtime_error("cannot set up the Modbus slave: " + why);
    }
    modbus_set_socket(m_context, m_pipe[1]);
}

ModbusSlave::~ModbusSlave()
{
    release();
}

void ModbusSlave::release()
{
    if (m_map)
        modbus_mapping_free(m_map);
    m_map = nullptr;
    if (m_context)
        modbus_free(m_context);
    m_context = nullptr;
    for (int &fd : m_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

std::string ModbusSlave::answer(std::string_view message, const DisplayState &state,
                                std::string &trace)
{
    for (int block = 0; block < kBlockCount; ++block) {
        m_map->tab_registers[2 * block] = static_cast<uint16_t>(state.blocks[block].dataType);
        m_map->tab_registers[2 * block + 1] =
            static_cast<uint16_t>(state.blocks[block].decimalPoint);
    }
    m_map->tab_registers[18] = static_cast<uint16_t>(state.mode);
    m_map->tab_registers[19] = static_cast<uint16_t>(baudRateOf(state.baudCode));
    m_map->tab_registers[20] = static_cast<uint16_t>(state.dataBits);
    m_map->tab_registers[21] = static_cast<uint16_t>(state.parity);
    m_map->tab_registers[22] = static_cast<uint16_t>(state.address);

    // libmodbus reads the request from a buffer of the longest frame's size, and the
    // length it is given includes the CRC it does not check.
    if (message.size() < 2 || message.size() + 2 > kLongestRtuFrame) {
        trace = "  no answer: " + std::to_string(message.size()) + " bytes are no request";
        return {};
    }
    uint8_t request[kLongestRtuFrame] = {};
    std::memcpy(request, message.data(), message.size());
    const int length = static_cast<int>(message.size()) + 2;
    const int function = request[1];
    const int asked = message.size() == 6 ? request[4] << 8 | request[5] : 0;
    const int mostCounted = function <= 2 ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS;
    int sent = -1;
    if (function >= 0x80) {
        // 80 to FF mark exception answers: a request cannot carry one, and its exception
        // would need a function byte past FF.
        trace = "  no answer: function " + hexPair(function) + " is an exception, no request";
        return {};
    }
    if (function >= 1 && function <= 4 && message.size() == 6 &&
        (asked < 1 || asked > mostCounted)) {
        // libmodbus would pause for its response time-out before this answer, to let a
        // master's retries pass, and hold every command behind it meanwhile.
        trace = "  exception 03: count " + std::to_string(asked) + ", where a read takes 1 to " +
                std::to_string(mostCounted);
        sent = modbus_reply_exception(m_context, request, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    } else if (function >= 1 && function <= 4 && message.size() == 6) {
        trace = "  function " + hexPair(function) + ": " +
                std::to_string(request[4] << 8 | request[5]) + " from " +
                std::to_string(request[2] << 8 | request[3]);
        sent = modbus_reply(m_context, request, length, m_map);
    } else if (function >= 1 && function <= 4) {
        trace = "  exception 03: " + std::to_string(message.size()) +
                " bytes where a read request has 6";
        sent = modbus_reply_exception(m_context, request, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    } else {
        trace = "  exception 01: function " + hexPair(function) + " is not served (read-only map)";
        sent = modbus_reply_exception(m_context, request, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    }
    char buffer[2 * kLongestRtuFrame];
    const ssize_t count = sent > 0 ? ::read(m_pipe[0], buffer, sizeof buffer) : -1;
    if (count < 4) {
        trace += "; libmodbus made no answer";
        return {};
    }
    // The pipe holds an RTU frame; its CRC is libmodbus's, the message is what we send.
    return std::string(buffer, static_cast<std::size_t>(count) - 2);
}

} // namespace qm::sim
