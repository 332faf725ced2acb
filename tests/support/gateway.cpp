#include "gateway.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <csignal>

namespace {

// TCP states as /proc/net/tcp shows them.
constexpr const char *kEstablished = "01";
constexpr const char *kListening = "0A";

// Whether the kernel holds a socket with local port `port` in `state`.
bool socketIn(quint16 port, const char *state)
{
    const QByteArray local =
        QByteArray(":") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile table(QString::fromLatin1(path));
        if (!table.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 3 && fields.at(1).endsWith(local) && fields.at(3) == state)
                return true;
        }
    }
    return false;
}

} // namespace

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

Gateway::Gateway(Kind kind, const QString &device, const QString &line, bool ipv6)
    : m_kind(kind), m_ipv6(ipv6)
{
    const QString ser2net = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    if (ser2net.isEmpty() && !QFile::exists(QStringLiteral("/usr/sbin/ser2net"))) {
        m_error = QStringLiteral("ser2net is not installed (tools/deps.sh installs it)");
        return;
    }
    m_port = freeLoopbackPort();
    // ser2net 4.6.1 and later need "tcp," in the accepter; 4.3 takes it too.
    const QString accepter =
        kind == Kind::Rfc2217 ? QStringLiteral("telnet(rfc2217),tcp") : QStringLiteral("tcp");
    // It tells of a missing mDNS daemon on every start.
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(ser2net.isEmpty() ? QStringLiteral("/usr/sbin/ser2net") : ser2net,
                    {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-P"),
                     QStringLiteral("/tmp/quillmark-test-ser2net-%1.pid").arg(m_port),
                     QStringLiteral("-Y"),
                     QStringLiteral("connection: &c%1#  accepter: %2,%3,%1")
                         .arg(m_port)
                         .arg(accepter, ipv6 ? QStringLiteral("::1") : QStringLiteral("127.0.0.1")),
                     QStringLiteral("-Y"),
                     QStringLiteral("  connector: serialdev,%1,%2,local").arg(device, line)});
    const QDeadlineTimer deadline(5000);
    while (!socketIn(m_port, kListening) && !deadline.hasExpired() &&
           m_process.state() != QProcess::NotRunning)
        QTest::qWait(10);
    if (!socketIn(m_port, kListening))
        m_error = QStringLiteral("ser2net did not listen on port %1 within 5 s").arg(m_port);
}

Gateway::~Gateway()
{
    resume();
    kill();
}

QString Gateway::url() const
{
    return QStringLiteral("%1://%2:%3")
        .arg(m_kind == Kind::Rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("tcp"),
             m_ipv6 ? QStringLiteral("[::1]") : QStringLiteral("127.0.0.1"))
        .arg(m_port);
}

bool Gateway::hasClient() const
{
    return socketIn(m_port, kEstablished);
}

void Gateway::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

void Gateway::pause()
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(pid_t(m_process.processId()), SIGSTOP);
}

void Gateway::resume()
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(pid_t(m_process.processId()), SIGCONT);
}
