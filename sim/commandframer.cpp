#include "commandframer.h"

namespace qm::sim {

std::vector<CommandFramer::Piece> CommandFramer::push(std::string_view bytes)
{
    std::vector<Piece> pieces;
    for (char c : bytes) {
        if (c == '$') {
            drop(m_command);
            flushDropped(pieces);
            m_command.assign(1, c);
        } else if (m_command.empty()) {
            drop(std::string_view(&c, 1));
        } else if (c == '\r') {
            m_command += c;
            pieces.push_back({Piece::Kind::Command, m_command, m_command.size()});
            m_command.clear();
        } else if (m_command.size() + 1 >= kMaxCommand) {
            // No room left for the CR, so this can never become a command.
            m_command += c;
            drop(m_command);
            m_command.clear();
        } else {
            m_command += c;
        }
    }
    flushDropped(pieces);
    return pieces;
}

void CommandFramer::drop(std::string_view bytes)
{
    const std::size_t room = kDiscardSample - m_droppedSample.size();
    m_droppedSample.append(bytes.substr(0, room));
    m_droppedCount += bytes.size();
}

void CommandFramer::flushDropped(std::vector<Piece> &pieces)
{
    if (m_droppedCount == 0)
        return;
    pieces.push_back({Piece::Kind::Discarded, m_droppedSample, m_droppedCount});
    m_droppedSample.clear();
    m_droppedCount = 0;
}

} // namespace qm::sim
