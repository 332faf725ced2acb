#pragma once

#include "commcontrol.h"
#include "exchange.h"
#include "portnames.h"
#include "replies.h"
#include "settings.h"

#include <QString>

#include <string>

namespace cli {

class Console;

// "$M\r" -> "$M\\r": bytes as the traces and messages show them (\r, \n, \t, \\, \xHH).
QString printable(const QByteArray &bytes);

// One display on one PC port: each call is one exchange that ends as soon as the whole
// reply is in, or at the time-out. A missing or invalid reply throws Failure (exit 4);
// a port that fails throws CommError.
class DisplayLink
{
public:
    DisplayLink(Console &console, int timeoutMs);

    void open(const Port &port, const LineSettings &line);
    // Closes the port and opens it again with other line settings.
    void reopen(const LineSettings &line);
    LineSettings line() const { return m_line; }
    // "COM 3 (/dev/ttyS2)" or the device path, for messages.
    QString label() const { return m_label; }

    // One exchange of `command` with `values` for its request fields: the reply judged
    // strictly and whole, or Failure (exit 4) naming why not.
    qm::JudgedReply ask(qm::Command command, const qm::FieldValues &values = {});

    CommsSettings readComms();
    void writeComms(const CommsSettings &comms);
    // `number` is 1..9, as the user counts blocks.
    BlockSettings readBlock(int number);
    void writeBlock(int number, const BlockSettings &block);
    // How many commands went out so far: tells a command that was sent from one that was not.
    int commandsSent() const { return m_exchange.commandsSent(); }

    // One exchange of `command` under `rule`, for the Modbus check; `name` and `awaited`
    // ("the Modbus answer") for messages. The echo note and the interruption as for the
    // display's own commands.
    ExchangeResult exchange(const QByteArray &command, ReplyRule rule, const QString &name,
                            const QString &awaited);
    // The line itself, for the station's look at whether it is still open.
    Line &comm() { return m_comm; }
    int timeoutMs() const { return m_timeoutMs; }
    // While set, a signal does not cut short the wait for the reply to a command already
    // sent: a display being written gets its exchange finished on the wire. Nothing new is
    // sent once a signal came.
    void setFinishExchanges(bool finish) { m_finishExchanges = finish; }

private:
    QByteArray exchange(const std::string &command);
    [[noreturn]] void failReply(const std::string &command, const QByteArray &reply,
                                const QString &problem) const;

    Console &m_console;
    int m_timeoutMs;
    CommControl m_comm;
    Exchange m_exchange{m_comm};
    LineSettings m_line;
    QString m_label;
    bool m_finishExchanges = false;
    QByteArray m_lastReply; // for a failure found after judging
};

} // namespace cli
