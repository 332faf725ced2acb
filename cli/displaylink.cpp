#include "displaylink.h"

#include "commands.h"
#include "console.h"
#include "exitcodes.h"
#include "interruption.h"
#include "networkaddress.h"
#include "portnames.h"
#include "replies.h"

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
    m_exchange.setTrace([this](const QString &line) { m_console.trace(line); });
}

void DisplayLink::open(const Port &port, const LineSettings &line)
{
    if (port.isNumber())
        m_comm.setCommPort(port.number);
    else
        m_comm.setDevice(port.device);
    m_label = port.label();
    m_exchange.setLabel(m_label);
    m_comm.setLineSettings(line);
    m_comm.setPortOpen(true);
    m_line = line;
    m_console.trace(QStringLiteral("%1: open at %2").arg(m_label, formatLineSettings(line)));
    // Said once, rather than pretending that --line or a reopen changed anything.
    if (gatewayKeepsLine(port.isNumber() ? portDevice(port.number) : port.device))
        m_console.note(QStringLiteral("%1: the gateway's own line settings apply").arg(m_label));
}

void DisplayLink::reopen(const LineSettings &line)
{
    m_comm.setPortOpen(false);
    m_comm.setLineSettings(line);
    m_comm.setPortOpen(true);
    m_line = line;
    m_console.trace(QStringLiteral("%1: reopened at %2").arg(m_label, formatLineSettings(line)));
}

qm::JudgedReply DisplayLink::ask(qm::Command command, const qm::FieldValues &values)
{
    const qm::CommandRow &entry = qm::commandRow(command);
    const std::string bytes = qm::buildCommand(entry, values);
    const QByteArray reply = exchange(bytes);
    qm::JudgedReply judged = qm::judgeReply(entry, view(reply), qm::FieldReading::Strict);
    if (!judged.complete())
        failReply(bytes, reply, QString::fromStdString(judged.why));
    return judged;
}

CommsSettings DisplayLink::readComms()
{
    return qm::commsSettingsOf(ask(qm::Command::ReadComms).values);
}

void DisplayLink::writeComms(const CommsSettings &comms)
{
    ask(qm::Command::WriteComms, qm::valuesOf(comms));
}

BlockSettings DisplayLink::readBlock(int number)
{
    const int code = number - 1;
    const qm::JudgedReply judged = ask(qm::Command::ReadBlock, {code});
    if (judged.values[0] != code)
        failReply(qm::readBlockCommand(code), m_lastReply,
                  QStringLiteral("it is about block %1").arg(judged.values[0] + 1));
    return qm::blockSettingsOf(judged.values);
}

void DisplayLink::writeBlock(int number, const BlockSettings &block)
{
    ask(qm::Command::WriteBlock, {number - 1, block.dataType, block.decimalPoint});
}

ExchangeResult DisplayLink::exchange(const QByteArray &command, ReplyRule rule, const QString &name,
                                     const QString &awaited)
{
    throwIfInterrupted(m_label, QStringLiteral("before sending %1, which was not sent").arg(name));
    const QString waiting = QStringLiteral("while waiting for %1").arg(awaited);
    ExchangeResult result = m_exchange.run(command, std::move(rule), m_timeoutMs, [&] {
        if (!m_finishExchanges)
            throwIfInterrupted(m_label, waiting);
    });
    if (!result.echo.isEmpty())
        m_console.noteEcho(m_label);
    return result;
}

QByteArray DisplayLink::exchange(const std::string &command)
{
    const QByteArray bytes(command.data(), qsizetype(command.size()));
    const QString name = commandName(command);
    m_lastReply = exchange(bytes, ReplyRule::forCommand(command), name,
                           QStringLiteral("the reply to ") + name)
                      .reply;
    return m_lastReply;
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
