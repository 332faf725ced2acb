#include "bytetrace.h"

#include "replies.h"

#include <QDateTime>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace bytetrace {
namespace {

int g_fd = -1;
QString g_problem;

} // namespace

QString start(const QString &path)
{
    // O_APPEND and no O_TRUNC: a trace goes after what the file held, and a FIFO or a
    // terminal is written as it is.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    // O_NONBLOCK only for the open, so that a FIFO nobody reads fails (ENXIO) rather than
    // hangs; the writes wait as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (g_fd >= 0)
        ::close(g_fd);
    g_fd = fd;
    return {};
}

QString problem()
{
    return g_problem;
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
    // One write per line, so that a line is never split by another writer of the file.
    ssize_t written = -1;
    do {
        written = ::write(g_fd, text.constData(), std::size_t(text.size()));
    } while (written < 0 && errno == EINTR);
    if (written != text.size() && g_problem.isEmpty())
        g_problem = written < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                                : QStringLiteral("a line was cut short");
}

QString escaped(const QByteArray &bytes)
{
    return QString::fromStdString(
        qm::printable(std::string_view(bytes.constData(), std::size_t(bytes.size()))));
}

} // namespace bytetrace
