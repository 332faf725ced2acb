#include "bytetrace.h"

#include "appendfile.h"
#include "replies.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace bytetrace {
namespace {

int g_fd = -1;
QString g_problem;

} // namespace

QString start(const QString &path)
{
    const int fd = openForAppend(path);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
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
    const ssize_t written = appendLine(g_fd, text);
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
