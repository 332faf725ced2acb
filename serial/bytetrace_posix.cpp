#include "bytetrace.h"

#include "appendfile.h"
#include "replies.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace bytetrace {
namespace {

int g_fd = -1;
QString g_problem;
std::function<void(const QString &)> g_stopped;

QString writeProblem(ssize_t written)
{
    if (written >= 0)
        return QStringLiteral("a line was cut short");
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return QStringLiteral("its reader takes no more");
    if (errno == EPIPE)
        return QStringLiteral("its reader has gone");
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QString start(const QString &path)
{
    const int fd = openForAppend(path);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    // The writes never wait: a FIFO whose reader stopped reading would hold the program
    // inside write(), deaf to signals, with its port and lock taken.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (g_fd >= 0)
        ::close(g_fd);
    g_fd = fd;
    g_problem.clear();
    return {};
}

QString problem()
{
    return g_problem;
}

void onStopped(std::function<void(const QString &why)> stopped)
{
    g_stopped = std::move(stopped);
}

void record(const QString &port, const QString &line, const char *event, const QByteArray &bytes)
{
    if (g_fd < 0)
        return;
    const QByteArray text =
        (QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + QLatin1Char('\t') + port +
         QLatin1Char('\t') + line + QLatin1Char('\t') + QLatin1String(event) +
         (bytes.isEmpty() ? QString() : QLatin1Char('\t') + escaped(bytes)) + QLatin1Char('\n'))
            .toUtf8();
    const ssize_t written = appendLine(g_fd, text);
    if (written == text.size())
        return;
    g_problem = writeProblem(written);
    ::close(g_fd);
    g_fd = -1;
    if (g_stopped)
        g_stopped(g_problem);
}

QString escaped(const QByteArray &bytes)
{
    return QString::fromStdString(
        qm::printable(std::string_view(bytes.constData(), std::size_t(bytes.size()))));
}

} // namespace bytetrace
