#include "bytetrace.h"

#include "appendfile.h"
#include "replies.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bytetrace {
namespace {

int g_fd = -1;
QString g_problem;
std::function<void(const QString &)> g_stopped;

QString writeProblem(int fd, ssize_t written)
{
    const int error = errno;
    struct stat file = {};
    const bool fifo = ::fstat(fd, &file) == 0 && S_ISFIFO(file.st_mode);
    // A FIFO takes part of a line of more than PIPE_BUF bytes when that is all it has room for.
    if (fifo && (written >= 0 || error == EAGAIN || error == EWOULDBLOCK))
        return QStringLiteral("its reader takes no more");
    if (written >= 0)
        return QStringLiteral("a line was cut short");
    if (error == EPIPE)
        return QStringLiteral("its reader has gone");
    return QString::fromLocal8Bit(std::strerror(error));
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
    g_problem = writeProblem(g_fd, written);
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
