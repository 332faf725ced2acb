#pragma once

#include <QProcess>
#include <QString>

// ser2net, the serial device server, in front of a pseudo-terminal on a loopback port of
// its own: RFC 2217 (rfc2217://) or raw TCP (tcp://). Stopped when destroyed.
class Gateway
{
public:
    enum class Kind { Rfc2217, Tcp };

    // `line` is ser2net's own setting of the device, as "9600n81"; `ipv6`: it listens on ::1
    // instead of 127.0.0.1.
    Gateway(Kind kind, const QString &device, const QString &line = QStringLiteral("9600n81"),
            bool ipv6 = false);
    ~Gateway();

    // False when ser2net is not installed or did not listen within five seconds.
    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    QString url() const;
    quint16 port() const { return m_port; }

    // Whether a client is connected to it now, from the kernel's socket table.
    bool hasClient() const;
    void kill();
    void pause();
    void resume();

private:
    Kind m_kind;
    bool m_ipv6 = false;
    quint16 m_port = 0;
    QProcess m_process;
    QString m_error;
};

// A loopback port nobody listens on at the moment of asking.
quint16 freeLoopbackPort();
