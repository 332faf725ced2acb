#pragma once

#include <string>
#include <string_view>
#include <vector>

// The Telnet layer of an RFC 2217 line, without Qt or sockets: bytes in, data and
// negotiation out.
namespace telnet {

inline constexpr unsigned char kIac = 255;
inline constexpr unsigned char kDont = 254;
inline constexpr unsigned char kDo = 253;
inline constexpr unsigned char kWont = 252;
inline constexpr unsigned char kWill = 251;
inline constexpr unsigned char kSb = 250;
inline constexpr unsigned char kSe = 240;

inline constexpr unsigned char kBinary = 0;
inline constexpr unsigned char kSuppressGoAhead = 3;
inline constexpr unsigned char kComPort = 44;

// COM-PORT-OPTION commands from client to server; the server answers each with the same
// number plus kServerOffset and the value it actually set.
enum ComPortCommand : unsigned char {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kPurgeData = 12,
};
inline constexpr unsigned char kServerOffset = 100;
inline constexpr unsigned char kPurgeReceive = 1;

// Data as it goes on the wire: every 0xFF doubled, since a single one starts a command.
std::string escape(std::string_view data);

// "IAC verb option".
std::string option(unsigned char verb, unsigned char option);
// "IAC SB COM-PORT-OPTION command value IAC SE", the value escaped.
std::string comPortCommand(unsigned char command, std::string_view value);

// What the server said besides data: an option verb (WILL, WONT, DO, DONT) or a
// sub-negotiation (verb kSb, `data` its bytes after the option, unescaped).
struct Event
{
    unsigned char verb = 0;
    unsigned char option = 0;
    std::string data;
};

// Splits what a server sends into data and events, across any split of the stream.
class Decoder
{
public:
    // The data bytes in `bytes`; negotiation is appended to `events`.
    std::string feed(std::string_view bytes, std::vector<Event> &events);
    void reset() { *this = Decoder(); }

private:
    enum class State { Data, Iac, Option, Sub, SubIac };
    State m_state = State::Data;
    Event m_event;
};

} // namespace telnet
