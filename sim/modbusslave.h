#pragma once

#include "displaystate.h"

#include <optional>
#include <string>
#include <string_view>

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

// The display as a Modbus slave. The simulator frames and checks requests itself (CRC,
// LRC, address); libmodbus's modbus_reply builds the answer from a register map filled
// from the display's state. Its answer is written into a pipe and read back, so that the
// simulator sends it through its own path (delay, noise, silence) and can frame it as
// Modbus ASCII, which libmodbus does not speak.
//
// Holding registers (0-based, read-only):
//   0..17  block n (1..9): 2(n-1) its data type (0 Integer, 1 Long, 2 Float),
//          2(n-1)+1 its decimal point (digits after the point, 0..5)
//   18 mode (0 ASCII, 1 RTU), 19 baud rate (bit/s), 20 data bits, 21 parity
//   (0 None, 1 Even, 2 Odd), 22 slave address
// Reads (functions 01 to 04) go to libmodbus: outside the map it answers exception 02;
// there are no coils, discrete inputs or input registers. A count it would refuse gets
// exception 03 here. Any other function, writes included, gets exception 01: the map is
// read-only, so no write is acknowledged. 80 to FF are no requests and get no answer.
namespace qm::sim {

inline constexpr int kHoldingRegisterCount = 23;

class ModbusSlave
{
public:
    ModbusSlave();
    ~ModbusSlave();
    ModbusSlave(const ModbusSlave &) = delete;
    ModbusSlave &operator=(const ModbusSlave &) = delete;

    // `message` is address, function and data of a request to this slave (checked by the
    // caller); returns the answer's message, without CRC or LRC, and a trace line.
    std::string answer(std::string_view message, const DisplayState &state, std::string &trace);

private:
    void release();

    modbus_t *m_context = nullptr;
    modbus_mapping_t *m_map = nullptr;
    int m_pipe[2] = {-1, -1};
};

// CRC-16 of Modbus RTU (polynomial 0xA001 reflected, starting at 0xFFFF).
unsigned crc16(std::string_view bytes);
// The RTU frame of a message: the message and its CRC, low byte first.
std::string rtuFrame(std::string_view message);
// The message of an RTU frame whose CRC is right, or nothing with `why` set.
std::optional<std::string> rtuMessage(std::string_view frame, std::string &why);

// The two's complement of the sum of the bytes.
unsigned lrc(std::string_view bytes);
// ":" hex digits of the message and its LRC, CR LF.
std::string asciiFrame(std::string_view message);
// The message of a whole ASCII frame whose LRC is right, or nothing with `why` set.
std::optional<std::string> asciiMessage(std::string_view frame, std::string &why);

// "0A 03 00 00" for the trace.
std::string hexBytes(std::string_view bytes);

} // namespace qm::sim
