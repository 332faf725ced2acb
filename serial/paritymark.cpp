#include "paritymark.h"

std::string ParityMarkDecoder::feed(std::string_view bytes)
{
    constexpr char kMark = '\xff';

    std::string input = std::move(m_tail);
    m_tail.clear();
    input.append(bytes);

    std::string out;
    out.reserve(input.size());
    std::size_t i = 0;
    while (i < input.size()) {
        if (input[i] != kMark) {
            out += input[i++];
            continue;
        }
        const std::size_t left = input.size() - i;
        if (left == 1 || (left == 2 && input[i + 1] == '\0')) {
            m_tail = input.substr(i);
            break;
        }
        if (input[i + 1] == kMark) {
            out += kMark;
            i += 2;
        } else if (input[i + 1] == '\0') {
            out += kReplacement;
            i += 3;
        } else {
            // The driver never sends this; pass the byte through rather than lose data.
            out += input[i++];
        }
    }
    return out;
}
