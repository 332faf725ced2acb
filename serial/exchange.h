#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <string_view>

class Line;

// When the reply to a command is whole, and which of the bytes that arrived it is. The
// display's set-up commands take theirs from the protocol (forCommand); the window takes
// none, and so waits its whole interval and keeps everything that came.
struct ReplyRule
{
    // Whether the reply is whole; empty: the exchange waits its whole window.
    std::function<bool(std::string_view received)> whole;
    // How many leading bytes of what arrived are the reply; the rest is left for the next
    // exchange to discard. Empty: all of it.
    std::function<std::size_t(std::string_view received)> size;
    // Whether bytes that arrived before the command are dropped first. The window keeps
    // them: there a late reply leads the next one, as it always has.
    bool discardStale = true;
    // Above 0: run() also ends once the line was silent this long after a byte (a Modbus
    // answer ends with a silence); the window then bounds only the wait for the first
    // byte, and a line that never falls silent ends at the window and 20 silences.
    int silenceMs = 0;
    // Traced in hexadecimal ("send Modbus RTU 0A 03 ..."), for a binary protocol.
    bool binary = false;

    // The rule for one of the display's set-up commands (qm::replyEnded, qm::replySize).
    static ReplyRule forCommand(std::string_view command);
};

// What one exchange brought back.
struct ExchangeResult
{
    QByteArray reply; // the echo removed
    // The command itself when the reply began with exactly its bytes: an RS-485 adapter
    // without echo suppression hands back what it sends. Empty otherwise.
    QByteArray echo;
    double ms = 0; // from the command's sending to the end of the exchange
};

// One exchange of a command and its reply over one line: the only code that takes what a
// line received. send() drops stale bytes (by the rule) and writes the command; take() takes
// what has arrived and says whether the reply is whole; finish() ends the exchange. The
// caller decides how to wait between them: run() blocks on the line for a command-line
// exchange, detect and the window wait on their event loops. Port failures are thrown as
// CommError.
class Exchange
{
public:
    explicit Exchange(Line &line) : m_line(line) {}

    // Bytes on the line and timings, as "COM 3: send $M\r"; none when not set.
    void setTrace(std::function<void(const QString &)> trace) { m_trace = std::move(trace); }
    void setLabel(const QString &label) { m_label = label; }

    void send(const QByteArray &command, ReplyRule rule);
    // Takes what arrived; true once the reply is whole (never when the rule has no `whole`).
    bool take();
    ExchangeResult finish();

    // send(), then take() until the reply is whole or `windowMs` passed, then finish().
    // `interrupted` is called while waiting and may throw to abandon the exchange.
    ExchangeResult run(const QByteArray &command, ReplyRule rule, int windowMs,
                       const std::function<void()> &interrupted = {});

    // Takes and drops what arrived outside any exchange, with what the last one left.
    void discardStale();
    // How many commands were written to the line so far.
    int commandsSent() const { return m_commandsSent; }

private:
    // What arrived, without the echo of the command (or the part of it so far).
    std::string_view afterEcho() const;
    void trace(const QString &line) const;

    Line &m_line;
    std::function<void(const QString &)> m_trace;
    QString m_label;
    QByteArray m_command;
    ReplyRule m_rule;
    QByteArray m_received;
    // Bytes that followed the last reply; dropped as stale before the next command.
    QByteArray m_leftover;
    qint64 m_sentAt = 0;
    int m_commandsSent = 0;
};
