#pragma once

#include <QJsonObject>
#include <QString>

#include <exception>

// The exit codes of quillmark-cli; --help prints kExitStatusTable, and a test holds the
// man page and the README to the same codes.
namespace cli {

enum ExitCode {
    kExitOk = 0,
    kExitOther = 1,     // anything else, e.g. the output file cannot be written
    kExitUsage = 2,     // bad command line or bad input file; nothing was sent
    kExitPort = 3,      // the port could not be opened or was lost
    kExitNoReply = 4,   // no reply, or a reply that is not valid
    kExitDifferent = 5, // --verify or --follow read back something else
    // Stopped by a signal (128 + its number), after closing the port.
    kExitHangUp = 129,
    kExitInterrupted = 130,
    kExitTerminated = 143,
};

struct ExitStatusRow
{
    const char *codes;   // "4", or "129, 130, 143" for codes that share a meaning
    const char *meaning; // the help's words; it wraps them
};

inline constexpr ExitStatusRow kExitStatusTable[] = {
    {"0", "success"},
    {"1", "any other failure (an output file or stdout cannot be written)"},
    {"2", "bad command line or bad input file; nothing was sent"},
    {"3", "the port could not be opened or was lost; doctor: a check failed"},
    {"4", "no reply, or a reply that is not valid; detect: no display found; modbus-check, "
          "--modbus: no Modbus answer, or one from another address"},
    {"5", "--verify or --follow read back something other than what was written; verify: the "
          "display differs from the file; commission: a unit failed its read-back; report "
          "--check: the chain or a seal is broken"},
    {"129, 130, 143", "stopped by SIGHUP, SIGINT (Ctrl-C) or SIGTERM: the port is closed, and "
                      "the message says what had been written"},
};

// A failure that ends the command with `code`; `message` is for people.
class Failure : public std::exception
{
public:
    Failure(ExitCode code, QString message, QJsonObject details = {})
        : m_code(code), m_message(std::move(message)), m_details(std::move(details)),
          m_what(m_message.toUtf8())
    {
    }
    ExitCode code() const noexcept { return m_code; }
    const QString &message() const noexcept { return m_message; }
    // Added to the --json failure document: what a write got done before it failed.
    const QJsonObject &details() const noexcept { return m_details; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    ExitCode m_code;
    QString m_message;
    QJsonObject m_details;
    QByteArray m_what;
};

} // namespace cli
