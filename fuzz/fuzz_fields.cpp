// Reading of one reply field: a digit, or the hexadecimal address, from any bytes.
#include "fuzzsupport.h"
#include "replies.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using qm::fuzz::ExactBytes;

constexpr int kCeiling = 0xFFFFFF;

int readHex(std::string_view field)
{
    const ExactBytes copy(field);
    return qm::readHexField(copy.view());
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The documented reading without any bound: blanks skipped, digits up to the first
// non-hex character. Capped far above the ceiling only to stay within 64 bits.
std::uint64_t unboundedHex(std::string_view field)
{
    std::size_t i = 0;
    while (i < field.size() && isBlank(field[i]))
        ++i;
    std::uint64_t value = 0;
    for (; i < field.size() && hexDigit(field[i]) >= 0; ++i)
        value = std::min<std::uint64_t>(value * 16 + std::uint64_t(hexDigit(field[i])), 1ull << 40);
    return value;
}

void checkDigit(char c)
{
    const int value = qm::readDigitField(c);
    QM_FUZZ_CHECK(value >= 0 && value <= 9);
    QM_FUZZ_CHECK(value == (c >= '0' && c <= '9' ? c - '0' : 0));
}

void checkHex(std::string_view field)
{
    const int value = readHex(field);
    const std::uint64_t exact = unboundedHex(field);
    // Values that fit are exact; a longer run saturates but stays above every range a
    // caller checks, so saturation can never turn a bad address into a good one.
    QM_FUZZ_CHECK(value >= 0);
    if (exact <= std::uint64_t(kCeiling))
        QM_FUZZ_CHECK(std::uint64_t(value) == exact);
    else
        QM_FUZZ_CHECK(value > kCeiling);
    if (field.size() <= 2)
        QM_FUZZ_CHECK(value <= 0xFF);

    // Letter case does not matter, leading blanks are skipped, and anything in front that
    // is neither blank nor a hex digit ends the reading at once.
    std::string upper(field);
    for (char &c : upper)
        c = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
    QM_FUZZ_CHECK(readHex(upper) == value);
    QM_FUZZ_CHECK(readHex(" " + std::string(field)) == value);
    QM_FUZZ_CHECK(readHex("\t\n" + std::string(field)) == value);
    QM_FUZZ_CHECK(readHex("\r" + std::string(field)) == 0);
    QM_FUZZ_CHECK(readHex("G" + std::string(field)) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view input = qm::fuzz::asView(data, size);
    for (char c : input)
        checkDigit(c);
    checkHex(input);
    // The reply's address is always exactly two characters: every such window of the input.
    for (std::size_t i = 0; i + 2 <= input.size() && i < 64; ++i)
        checkHex(input.substr(i, 2));
    return 0;
}
