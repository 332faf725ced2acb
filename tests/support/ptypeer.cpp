#include "ptypeer.h"

#include "portnames.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool makeRaw(int fd)
{
    termios tio = {};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

} // namespace

PtyPeer::PtyPeer(int port, QObject *parent) : QObject(parent), m_port(port)
{
    char name[64] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_slavePath = QFile::decodeName(name);
    // The slave end stays open here for the peer's whole life: with no slave open, reads
    // on the master fail with EIO and the master's notifier would fire without end.
    // Qt also puts back the termios it found when it closes, so start from raw ones.
    // Close-on-exec, so that a program the test starts holds neither end: a hang-up must
    // reach it when the peer closes the master.
    if (!makeRaw(m_master) || !makeRaw(m_slave) ||
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK) != 0 ||
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(m_slave, F_SETFD, FD_CLOEXEC) != 0) {
        m_error =
            QStringLiteral("pty set-up: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }

    m_linkPath = portLinkFolder() + QStringLiteral("/com%1").arg(port);
    QFile::remove(m_linkPath);
    if (!QFile::link(m_slavePath, m_linkPath)) {
        m_error = QStringLiteral("cannot link %1 to %2").arg(m_linkPath, m_slavePath);
        m_linkPath.clear();
        return;
    }

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyPeer::handleReadable);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PtyPeer::handleWritable);
}

PtyPeer::~PtyPeer()
{
    hangUp();
    if (m_slave >= 0)
        ::close(m_slave);
    if (!m_linkPath.isEmpty())
        QFile::remove(m_linkPath);
}

void PtyPeer::write(const QByteArray &data)
{
    if (m_master < 0)
        return;
    m_unsent += data;
    handleWritable();
}

void PtyPeer::clearReceived()
{
    m_received.clear();
    for (Rule &rule : m_rules)
        rule.searchFrom = 0;
}

bool PtyPeer::waitForReceived(int nBytes, int timeoutMs)
{
    if (m_received.size() >= nBytes)
        return true;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto connection = connect(this, &PtyPeer::dataReceived, &loop, [&] {
        if (m_received.size() >= nBytes)
            loop.quit();
    });
    deadline.start(timeoutMs);
    loop.exec();
    disconnect(connection);
    return m_received.size() >= nBytes;
}

void PtyPeer::respond(const QByteArray &command, const QByteArray &reply, int delayMs)
{
    if (command.isEmpty())
        return;
    m_rules.push_back({command, reply, delayMs, m_received.size()});
}

void PtyPeer::hangUp()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
    m_unsent.clear();
}

int PtyPeer::slavePending() const
{
    int pending = 0;
    ::ioctl(m_slave, FIONREAD, &pending);
    return pending;
}

const termios &PtyPeer::slaveTermios() const
{
    m_slaveTermios = {};
    ::tcgetattr(m_slave, &m_slaveTermios);
    return m_slaveTermios;
}

void PtyPeer::handleReadable()
{
    char buffer[4096];
    const ssize_t n = ::read(m_master, buffer, sizeof buffer);
    if (n <= 0) {
        if (n < 0 && errno == EAGAIN)
            return;
        // The slave side is gone for good; stop listening rather than spin on it.
        m_readNotifier->setEnabled(false);
        return;
    }
    m_received.append(buffer, n);
    answerRules();
    emit dataReceived();
}

void PtyPeer::handleWritable()
{
    while (!m_unsent.isEmpty()) {
        const ssize_t n = ::write(m_master, m_unsent.constData(), std::size_t(m_unsent.size()));
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                m_unsent.clear();
            break;
        }
        m_unsent.remove(0, n);
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_unsent.isEmpty());
}

void PtyPeer::answerRules()
{
    for (Rule &rule : m_rules) {
        qsizetype at;
        while ((at = m_received.indexOf(rule.command, rule.searchFrom)) >= 0) {
            rule.searchFrom = at + rule.command.size();
            if (rule.delayMs <= 0)
                write(rule.reply);
            else
                QTimer::singleShot(rule.delayMs, this,
                                   [this, reply = rule.reply] { write(reply); });
        }
    }
}

bool PtyPeer::setSlaveTermios(const termios &tio)
{
    return m_slave >= 0 && ::tcsetattr(m_slave, TCSANOW, &tio) == 0;
}
