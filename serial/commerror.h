#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// The one way the serial layer fails: a kind that callers decide on, and a description
// for people that names the port and the operating system's reason, e.g.
// "COM 3 (/dev/ttyS2): No such file or directory".
class CommError : public std::exception
{
public:
    enum class Kind {
        NoSuchPort,   // the number names no port, or no device is assigned to it
        NoDevice,     // the device is not there
        NoPermission, // the user may not open the device
        InUse,        // another program holds the port
        LockFailed,   // no lock file can be made for the device (folder refused, name too long)
        NotTerminal,  // the device is not a terminal (a plain file, a FIFO, a folder, ...)
        LinkRefused,  // the link folder holds a link for the port but is not trusted
        Lost,         // the device went away while the port was open
        NotOpen,      // the operation needs an open port
        BadSettings,  // the line settings are refused or cannot be applied
        Io,           // any other failure of the operating system
    };

    CommError(Kind kind, QString description)
        : m_kind(kind), m_description(std::move(description)), m_what(m_description.toUtf8())
    {
    }

    Kind kind() const noexcept { return m_kind; }
    const QString &description() const noexcept { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    Kind m_kind;
    QString m_description;
    QByteArray m_what;
};

// "COM 3 (/dev/ttyS2): the device was disconnected": how every loss of a device is said.
inline QString disconnectedReason(const QString &label)
{
    return label + QStringLiteral(": the device was disconnected");
}
