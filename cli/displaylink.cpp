#include "displaylink.h"

#include "commands.h"
#include "console.h"
#include "exitcodes.h"
#include "interruption.h"
#include "portnames.h"
#include "replies.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

namespace cli {
namespace {

std::string_view view(const QByteArray &bytes)
{
    return std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

QString commandName(const std::string &command)
{
    return QString::fromLatin1(command.substr(0, 2).c_str());
}

} // namespace

QString printable(const QByteArray &bytes)
{
    return QString::fromStdString(qm::printable(view(bytes)));
}

DisplayLink::DisplayLink(Console &console, int timeoutMs)
    : m_console(console), m_timeoutMs(timeoutMs)
{
}

void DisplayLink::open(const QString &port, const LineSettings &line)
{
    if (const std::optional<int> number = readPortArgument(port)) {
        m_comm.setCommPort(*number);
        m_label = portLabel(*number);
    } else {
        m_comm.setDevice(port);
        m_label = port;
    }
    m_comm.setSettings(formatLineSettings(line));
    m_comm.setPortOpen(true);
    m_line = line;
    m_console.trace(QStringLiteral("%1: open at %2").arg(m_label, formatLineSettings(line)));
}

void DisplayLink::reopen(const LineSettings &line)
{
    m_comm.setPortOpen(false);
    m_comm.setSettings(formatLineSettings(line));
    m_comm.setPortOpen(true);
    m_line = line;
    m_console.trace(QStringLiteral("%1: reopened at %2").arg(m_label, formatLineSettings(line)));
}

CommsSettings DisplayLink::readComms()
{
    const std::string command = qm::readCommsCommand();
    const QByteArray reply = exchange(command);
    const qm::CommsReply judged = qm::judgeCommsReply(view(reply), qm::FieldReading::Strict);
    if (!judged.complete())
        failReply(command, reply, QString::fromStdString(judged.why));
    return judged.settings();
}

void DisplayLink::writeComms(const CommsSettings &comms)
{
    const std::string command = qm::writeCommsCommand(comms);
    const QByteArray reply = exchange(command);
    const std::string problem = qm::acknowledgementProblem(view(reply));
    if (!problem.empty())
        failReply(command, reply, QString::fromStdString(problem));
}

BlockSettings DisplayLink::readBlock(int number)
{
    const std::string command = qm::readBlockCommand(number - 1);
    const QByteArray reply = exchange(command);
    const qm::BlockReply judged = qm::judgeBlockReply(view(reply), qm::FieldReading::Strict);
    QString problem = QString::fromStdString(judged.why);
    if (problem.isEmpty() && judged.block() != number - 1)
        problem = QStringLiteral("it is about block %1").arg(judged.block() + 1);
    if (!problem.isEmpty())
        failReply(command, reply, problem);
    return judged.settings();
}

void DisplayLink::writeBlock(int number, const BlockSettings &block)
{
    const std::string command = qm::writeBlockCommand(number - 1, block);
    const QByteArray reply = exchange(command);
    const std::string problem = qm::acknowledgementProblem(view(reply));
    if (!problem.empty())
        failReply(command, reply, QString::fromStdString(problem));
}

void DisplayLink::discardStale()
{
    // A late answer to an earlier command would otherwise be read as the next one's.
    const QByteArray stale = m_leftover + m_comm.input();
    m_leftover.clear();
    if (!stale.isEmpty())
        m_console.trace(QStringLiteral("%1: discarded %2 stale byte(s): %3")
                            .arg(m_label)
                            .arg(stale.size())
                            .arg(printable(stale)));
}

QByteArray DisplayLink::exchange(const std::string &command)
{
    const int length = qm::replyLength(command);
    discardStale();

    const QString name = commandName(command);
    throwIfInterrupted(m_label, QStringLiteral("before sending %1, which was not sent").arg(name));
    const QByteArray bytes(command.data(), qsizetype(command.size()));
    QElapsedTimer clock;
    clock.start();
    m_comm.setOutput(bytes);
    ++m_commandsSent;
    m_console.trace(QStringLiteral("%1: send %2").arg(m_label, printable(bytes)));

    const QDeadlineTimer deadline(m_timeoutMs);
    QByteArray reply;
    const QString waiting = QStringLiteral("while waiting for the reply to %1").arg(name);
    for (;;) {
        reply += m_comm.input();
        if (qm::replyEnded(view(reply), length))
            break;
        // A signal ends the wait early (poll returns), so it is noticed here at once.
        if (!m_finishExchanges)
            throwIfInterrupted(m_label, waiting);
        if (deadline.hasExpired())
            break;
        m_comm.waitForInput(int(deadline.remainingTime()));
    }
    // What came with the reply after its carriage return is not part of it.
    const auto size = qsizetype(qm::replySize(view(reply)));
    m_leftover = reply.mid(size);
    reply.truncate(size);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    if (reply.isEmpty())
        m_console.trace(
            QStringLiteral("%1: nothing received in %2 ms").arg(m_label).arg(ms, 0, 'f', 1));
    else
        m_console.trace(QStringLiteral("%1: recv %2 after %3 ms")
                            .arg(m_label, printable(reply))
                            .arg(ms, 0, 'f', 1));
    return reply;
}

void DisplayLink::failReply(const std::string &command, const QByteArray &reply,
                            const QString &problem) const
{
    const QString name = commandName(command);
    if (reply.isEmpty())
        throw Failure(kExitNoReply, QStringLiteral("%1: no reply to %2 within %3 ms at %4")
                                        .arg(m_label, name)
                                        .arg(m_timeoutMs)
                                        .arg(formatLineSettings(m_line)));
    throw Failure(kExitNoReply,
                  QStringLiteral("%1: invalid reply to %2: \"%3\" (%4)")
                      .arg(m_label, name, printable(reply), problem),
                  {{QStringLiteral("received"), printable(reply)}});
}

} // namespace cli
