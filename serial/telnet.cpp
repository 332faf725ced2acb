#include "telnet.h"

namespace telnet {

std::string escape(std::string_view data)
{
    std::string out;
    out.reserve(data.size());
    for (char c : data) {
        out += c;
        if (static_cast<unsigned char>(c) == kIac)
            out += c;
    }
    return out;
}

std::string option(unsigned char verb, unsigned char option)
{
    return {char(kIac), char(verb), char(option)};
}

std::string comPortCommand(unsigned char command, std::string_view value)
{
    std::string out{char(kIac), char(kSb), char(kComPort), char(command)};
    out += escape(value);
    out += char(kIac);
    out += char(kSe);
    return out;
}

std::string Decoder::feed(std::string_view bytes, std::vector<Event> &events)
{
    std::string data;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (m_state) {
        case State::Data:
            if (byte == kIac)
                m_state = State::Iac;
            else
                data += c;
            break;
        case State::Iac:
            if (byte == kIac) {
                data += c;
                m_state = State::Data;
            } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont ||
                       byte == kSb) {
                m_event = Event{byte, 0, {}};
                m_state = State::Option;
            } else {
                // NOP, GA, DM and the like carry nothing for a serial line.
                m_state = State::Data;
            }
            break;
        case State::Option:
            m_event.option = byte;
            if (m_event.verb == kSb) {
                m_state = State::Sub;
            } else {
                events.push_back(m_event);
                m_state = State::Data;
            }
            break;
        case State::Sub:
            if (byte == kIac)
                m_state = State::SubIac;
            else
                m_event.data += c;
            break;
        case State::SubIac:
            if (byte == kSe) {
                events.push_back(m_event);
                m_state = State::Data;
            } else {
                // IAC IAC inside a sub-negotiation is one 0xFF of its value.
                m_event.data += c;
                m_state = State::Sub;
            }
            break;
        }
    }
    return data;
}

} // namespace telnet
