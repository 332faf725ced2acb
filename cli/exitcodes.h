#pragma once

#include <QJsonObject>
#include <QString>

#include <exception>

// The exit codes of quillmark-cli; --help and the man page list the same table.
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
