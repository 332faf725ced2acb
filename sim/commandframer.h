#pragma once

#include "replies.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm::sim {

// Cuts the byte stream from the PC into "$ ... CR" commands. Bytes outside a command
// are dropped, a "$" abandons an unfinished command, and a command that grows past
// kMaxCommand bytes without its CR is dropped, so memory stays bounded whatever arrives.
class CommandFramer
{
public:
    // The longest valid command is 9 bytes; a little slack lets the trace show
    // slightly-too-long commands as such instead of as noise.
    static constexpr std::size_t kMaxCommand = 16;
    // How much of a run of dropped bytes the trace gets to see.
    static constexpr std::size_t kDiscardSample = 16;

    struct Piece
    {
        enum class Kind { Command, Discarded };
        Kind kind = Kind::Command;
        std::string bytes;     // the command with its CR, or the start of what was dropped
        std::size_t count = 0; // bytes dropped; for a command, its length
    };

    // Returns the complete commands and the dropped runs, in arrival order. A run of
    // dropped bytes is reported when a "$" ends it or at the end of the chunk.
    std::vector<Piece> push(std::string_view bytes);

    std::size_t pendingSize() const { return m_command.size(); }

private:
    void drop(std::string_view bytes);
    void flushDropped(std::vector<Piece> &pieces);

    std::string m_command; // non-empty, starting with "$", while a command is open
    std::string m_droppedSample;
    std::size_t m_droppedCount = 0;
};

// Trace form of raw bytes, as quillmark-cli shows them too.
using qm::printable;

} // namespace qm::sim
