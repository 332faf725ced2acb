#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

// A property that must hold for every input. A failure aborts, so libFuzzer keeps the
// input as a crash artifact and the run fails.
#define QM_FUZZ_CHECK(condition)                                                                   \
    ((condition) ? void() : qm::fuzz::propertyFailed(#condition, __FILE__, __LINE__))

namespace qm::fuzz {

[[noreturn]] inline void propertyFailed(const char *condition, const char *file, int line)
{
    std::fprintf(stderr, "\nproperty failed: %s\n  at %s:%d\n", condition, file, line);
    std::abort();
}

// A heap block of exactly the given bytes. Code under test gets a view of this rather
// than of a std::string, whose spare capacity or in-object buffer would let a read past
// the end go unnoticed by AddressSanitizer.
class ExactBytes
{
public:
    explicit ExactBytes(std::string_view bytes)
        : m_size(bytes.size()), m_data(new char[bytes.size()])
    {
        if (m_size != 0)
            std::memcpy(m_data.get(), bytes.data(), m_size);
    }

    std::string_view view() const { return {m_data.get(), m_size}; }

private:
    std::size_t m_size;
    std::unique_ptr<char[]> m_data;
};

inline std::string_view asView(const std::uint8_t *data, std::size_t size)
{
    return {reinterpret_cast<const char *>(data), size};
}

// A small deterministic generator, so that a chunking chosen from one input byte
// replays identically when libFuzzer reruns a crash artifact.
class SplitChooser
{
public:
    explicit SplitChooser(std::uint32_t seed) : m_state(seed * 2654435761u + 1u)
    {
        if (m_state == 0) // xorshift never leaves zero
            m_state = 1;
    }

    // The next chunk length, 0..limit; zero-length chunks are allowed on purpose.
    std::size_t next(std::size_t limit)
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return m_state % (limit + 1);
    }

private:
    std::uint32_t m_state;
};

} // namespace qm::fuzz
