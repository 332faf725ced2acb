#include "displaylink.h"

#include "bytetrace.h"
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

QString framingProblem(const QByteArray &reply, int length)
{
    if (reply.size() != length)
        return QStringLiteral("%1 bytes where the reply has %2").arg(reply.size()).arg(length);
    return QStringLiteral("it does not start with \">\" and end with \\r");
}

// A field that did not pass: not a digit at all (a byte garbled on the line) or a digit
// the display cannot mean.
QString fieldProblem(const QString &name, const QByteArray &field, bool hex)
{
    for (char c : field) {
        const bool digit =
            (c >= '0' && c <= '9') || (hex && ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')));
        if (!digit)
            return QStringLiteral("%1 \"%2\" is not %3")
                .arg(name, printable(field),
                     hex ? QStringLiteral("two hexadecimal digits") : QStringLiteral("a digit"));
    }
    return QStringLiteral("%1 is out of range").arg(name);
}

} // namespace

QString printable(const QByteArray &bytes)
{
    return bytetrace::escaped(bytes);
}

bool replyEnded(const QByteArray &received, int length)
{
    return received.contains(qm::kCarriageReturn) || (length > 0 && received.size() > length);
}

QString commsReplyProblem(const QByteArray &reply)
{
    static const char *const fields[] = {"the mode", "the baud rate", "the data bits", "the parity",
                                         "the address"};
    const qm::CommsReply judged = qm::judgeCommsReply(view(reply), qm::FieldReading::Strict);
    if (judged.complete())
        return {};
    if (reply.size() != qm::kCommsReplyLength || reply.front() != '>' || reply.back() != '\r')
        return framingProblem(reply, qm::kCommsReplyLength);
    const int first = judged.passed + 1;
    const int width = judged.passed == 4 ? 2 : 1;
    return fieldProblem(QLatin1String(fields[judged.passed]), reply.mid(first, width),
                        judged.passed == 4);
}

QString blockReplyProblem(const QByteArray &reply)
{
    static const char *const fields[] = {"the block", "the data type", "the decimal point"};
    const qm::BlockReply judged = qm::judgeBlockReply(view(reply), qm::FieldReading::Strict);
    if (judged.complete())
        return {};
    if (reply.size() != qm::kBlockReplyLength || reply.front() != '>' || reply.back() != '\r')
        return framingProblem(reply, qm::kBlockReplyLength);
    return fieldProblem(QLatin1String(fields[judged.passed]), reply.mid(judged.passed + 1, 1),
                        false);
}

DisplayLink::DisplayLink(Console &console, int timeoutMs)
    : m_console(console), m_timeoutMs(timeoutMs)
{
}

void DisplayLink::open(const QString &port, const LineSettings &line)
{
    bool isNumber = false;
    const int number = port.toInt(&isNumber);
    if (isNumber) {
        m_comm.setCommPort(number);
        m_label = portLabel(number);
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
    const QByteArray reply = exchange(command, qm::kCommsReplyLength);
    const QString problem = commsReplyProblem(reply);
    if (!problem.isEmpty())
        failReply(command, reply, problem);
    const qm::CommsReply judged = qm::judgeCommsReply(view(reply), qm::FieldReading::Strict);
    return {judged.mode, judged.baud, judged.dataBits, judged.parity, judged.address};
}

void DisplayLink::writeComms(const CommsSettings &comms)
{
    const std::string command =
        qm::writeCommsCommand(comms.mode, comms.baudCode, comms.dataBits - qm::kMinDataBits,
                              comms.parity, addressText(comms.address).toStdString());
    const QByteArray reply = exchange(command, 0);
    if (!reply.startsWith('>') || !reply.endsWith(qm::kCarriageReturn))
        failReply(command, reply, QStringLiteral("it does not start with \">\" and end with \\r"));
}

BlockSettings DisplayLink::readBlock(int number)
{
    const std::string command = qm::readBlockCommand(number - 1);
    const QByteArray reply = exchange(command, qm::kBlockReplyLength);
    QString problem = blockReplyProblem(reply);
    const qm::BlockReply judged = qm::judgeBlockReply(view(reply), qm::FieldReading::Strict);
    if (problem.isEmpty() && judged.block != number - 1)
        problem = QStringLiteral("it is about block %1").arg(judged.block + 1);
    if (!problem.isEmpty())
        failReply(command, reply, problem);
    return {judged.dataType, judged.decimalPoint};
}

void DisplayLink::writeBlock(int number, const BlockSettings &block)
{
    const std::string command =
        qm::writeBlockCommand(number - 1, block.dataType, block.decimalPoint);
    const QByteArray reply = exchange(command, 0);
    if (!reply.startsWith('>') || !reply.endsWith(qm::kCarriageReturn))
        failReply(command, reply, QStringLiteral("it does not start with \">\" and end with \\r"));
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

QByteArray DisplayLink::exchange(const std::string &command, int length)
{
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
        if (replyEnded(reply, length))
            break;
        // A signal ends the wait early (poll returns), so it is noticed here at once.
        if (!m_finishExchanges)
            throwIfInterrupted(m_label, waiting);
        if (deadline.hasExpired())
            break;
        m_comm.waitForInput(int(deadline.remainingTime()));
    }
    // What came with the reply after its carriage return is not part of it.
    const qsizetype end = reply.indexOf(qm::kCarriageReturn);
    if (end >= 0) {
        m_leftover = reply.mid(end + 1);
        reply.truncate(end + 1);
    }
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
