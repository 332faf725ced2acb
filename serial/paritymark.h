#pragma once

#include <string>
#include <string_view>

// Undoes the terminal driver's parity marking (PARMRK without ISTRIP): 0xFF 0x00 X is a
// byte X received with a parity or framing error and reads as '?'; 0xFF 0xFF is one
// received 0xFF. A mark split across two reads is completed by the next feed.
class ParityMarkDecoder
{
public:
    static constexpr char kReplacement = '?';

    std::string feed(std::string_view bytes);
    void reset() { m_tail.clear(); }
    // The start of a mark held back until the next feed; at most two bytes.
    const std::string &pending() const { return m_tail; }

private:
    std::string m_tail;
};
