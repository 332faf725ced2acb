#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// The one way the serial layer fails: a description that names the port and the
// operating system's reason, e.g. "COM 3 (/dev/ttyS2): No such file or directory".
class CommError : public std::exception
{
public:
    explicit CommError(QString description)
        : m_description(std::move(description)), m_what(m_description.toUtf8())
    {
    }

    const QString &description() const noexcept { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_description;
    QByteArray m_what;
};
