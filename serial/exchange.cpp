#include "exchange.h"

#include "line.h"
#include "replies.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>

namespace {

std::string_view view(const QByteArray &bytes)
{
    return std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

QString shown(const QByteArray &bytes, bool binary = false)
{
    if (!binary)
        return QString::fromStdString(qm::printable(view(bytes)));
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

qint64 now()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.nsecsElapsed();
}

} // namespace

ReplyRule ReplyRule::forCommand(std::string_view command)
{
    const int length = qm::replyLength(command);
    ReplyRule rule;
    rule.whole = [length](std::string_view received) { return qm::replyEnded(received, length); };
    rule.size = [](std::string_view received) { return qm::replySize(received); };
    return rule;
}

void Exchange::trace(const QString &line) const
{
    if (m_trace)
        m_trace(m_label + QStringLiteral(": ") + line);
}

void Exchange::discardStale()
{
    // A late answer to an earlier command would otherwise be read as the next one's.
    const QByteArray stale = m_leftover + m_line.input();
    m_leftover.clear();
    if (!stale.isEmpty())
        trace(QStringLiteral("discarded %1 stale byte(s): %2").arg(stale.size()).arg(shown(stale)));
}

void Exchange::send(const QByteArray &command, ReplyRule rule)
{
    m_rule = std::move(rule);
    if (m_rule.discardStale)
        discardStale();
    m_command = command;
    m_received.clear();
    m_sentAt = now();
    m_line.setOutput(command);
    ++m_commandsSent;
    trace(m_rule.binary ? QStringLiteral("send Modbus RTU %1").arg(shown(command, true))
                        : QStringLiteral("send %1").arg(shown(command)));
}

std::string_view Exchange::afterEcho() const
{
    const std::string_view received = view(m_received);
    if (m_received.startsWith(m_command))
        return received.substr(std::size_t(m_command.size()));
    // The first bytes of an echo: the reply has not begun.
    if (!m_received.isEmpty() && m_command.startsWith(m_received))
        return {};
    return received;
}

bool Exchange::take()
{
    m_received += m_line.input();
    return m_rule.whole && m_rule.whole(afterEcho());
}

ExchangeResult Exchange::finish()
{
    ExchangeResult result;
    result.ms = double(now() - m_sentAt) / 1e6;
    if (!m_command.isEmpty() && m_received.startsWith(m_command))
        result.echo = m_command;
    result.reply = m_received.mid(result.echo.size());
    if (m_rule.size) {
        const auto size = qsizetype(m_rule.size(view(result.reply)));
        m_leftover = result.reply.mid(size);
        result.reply.truncate(size);
    }
    if (!result.echo.isEmpty())
        trace(QStringLiteral("echo %1 (the adapter's, ignored)")
                  .arg(shown(result.echo, m_rule.binary)));
    if (result.reply.isEmpty())
        trace(QStringLiteral("nothing received in %1 ms").arg(result.ms, 0, 'f', 1));
    else
        trace(QStringLiteral("recv %1 after %2 ms")
                  .arg(shown(result.reply, m_rule.binary))
                  .arg(result.ms, 0, 'f', 1));
    m_received.clear();
    return result;
}

ExchangeResult Exchange::run(const QByteArray &command, ReplyRule rule, int windowMs,
                             const std::function<void()> &interrupted)
{
    constexpr int kSilencesAtMost = 20;
    const int silenceMs = rule.silenceMs;
    send(command, std::move(rule));
    QDeadlineTimer until(windowMs);
    const QDeadlineTimer last(windowMs + (silenceMs > 0 ? kSilencesAtMost * silenceMs : 0));
    for (;;) {
        const qsizetype before = m_received.size();
        if (take())
            break;
        if (silenceMs > 0 && m_received.size() > before)
            until = QDeadlineTimer(silenceMs);
        // A signal ends the wait early (poll returns), so it is noticed here at once.
        if (interrupted)
            interrupted();
        if (until.hasExpired() || last.hasExpired())
            break;
        m_line.waitForInput(int(qMin(until.remainingTime(), last.remainingTime())));
    }
    return finish();
}
