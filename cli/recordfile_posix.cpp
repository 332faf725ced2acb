#include "records.h"

#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {
namespace {

QString reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

RecordFile::~RecordFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString RecordFile::open(const QString &path)
{
    m_path = path;
    // O_APPEND puts every write at the end of the file as it is then, also when another
    // station appended meanwhile. A FIFO or a terminal is written as it is.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0)
        return reason(errno);
    // O_NONBLOCK only for the open, so that a FIFO nobody reads fails (ENXIO) rather than
    // hangs; the writes wait as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int error = errno ? errno : EISDIR;
        ::close(fd);
        return reason(error);
    }
    m_fd = fd;
    return {};
}

QString RecordFile::append(const QJsonObject &record)
{
    if (m_fd < 0)
        return reason(EBADF);
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // One write, never continued: a second write for the rest of a short one could land
    // after another station's line. A line is far below the size a regular file takes
    // whole.
    ssize_t written = -1;
    do {
        written = ::write(m_fd, line.constData(), std::size_t(line.size()));
    } while (written < 0 && errno == EINTR);
    if (written < 0)
        return reason(errno);
    if (written != line.size())
        return QStringLiteral("only %1 of %2 bytes were written").arg(written).arg(line.size());
    struct stat info = {};
    if (::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode) && ::fdatasync(m_fd) != 0)
        return reason(errno);
    return {};
}

} // namespace cli
