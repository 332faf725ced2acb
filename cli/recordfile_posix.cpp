#include "records.h"

#include "appendfile.h"

#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
    if (m_readFd >= 0)
        ::close(m_readFd);
}

QString RecordFile::open(const QString &path, bool regularOnly)
{
    m_path = path;
    const int fd = openForAppend(path);
    if (fd < 0)
        return reason(errno);
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int error = errno ? errno : EISDIR;
        ::close(fd);
        return reason(error);
    }
    if (regularOnly && !S_ISREG(info.st_mode)) {
        ::close(fd);
        return QStringLiteral("not a regular file (a station reads back what it recorded)");
    }
    m_fd = fd;
    // The appending descriptor is write-only (a FIFO opened so does not wait for a reader);
    // a regular file is read back through one of its own.
    if (S_ISREG(info.st_mode)) {
        m_readFd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (m_readFd < 0 && regularOnly) {
            const int error = errno;
            ::close(m_fd);
            m_fd = -1;
            return QStringLiteral("it cannot be read back: %1").arg(reason(error));
        }
    }
    return {};
}

QString RecordFile::append(const QJsonObject &record)
{
    if (m_fd < 0)
        return reason(EBADF);
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    struct stat info = {};
    const bool regular = ::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode);
    const off_t before = regular ? info.st_size : 0;
    // The remains of a line that was cut short (by a crash, or a program that does not cut
    // back) must not swallow this record.
    char last = '\n';
    if (before > 0 && ::pread(m_readFd, &last, 1, before - 1) == 1 && last != '\n')
        line.prepend('\n');
    // A line is far below the size a regular file takes whole in one write.
    const ssize_t written = appendLine(m_fd, line);
    if (written < 0)
        return reason(errno);
    if (written != line.size()) {
        // A part of a line would be read as no record, and glue the next one to it.
        if (regular && written > 0 && ::ftruncate(m_fd, before) != 0)
            return QStringLiteral("only %1 of %2 bytes were written, and they could not be cut "
                                  "back off: %3")
                .arg(written)
                .arg(line.size())
                .arg(reason(errno));
        return QStringLiteral("only %1 of %2 bytes could be written (nothing of it was kept)")
            .arg(written)
            .arg(line.size());
    }
    if (regular && ::fdatasync(m_fd) != 0)
        return reason(errno);
    return {};
}

void RecordFile::lock()
{
    if (m_fd < 0)
        return;
    // Another station holds it for a read and one line; a signal meanwhile is seen after.
    while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

void RecordFile::unlock()
{
    if (m_fd >= 0)
        ::flock(m_fd, LOCK_UN);
}

QByteArray RecordFile::readAppended(int *firstLine)
{
    *firstLine = m_nextLine;
    QByteArray text;
    if (m_readFd < 0)
        return text;
    char buffer[65536];
    for (;;) {
        const ssize_t got =
            ::pread(m_readFd, buffer, sizeof buffer, off_t(m_readOffset + text.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, got);
    }
    // A line still being written (by a writer that takes no lock) is read next time.
    text.truncate(text.lastIndexOf('\n') + 1);
    m_readOffset += text.size();
    m_nextLine += int(text.count('\n'));
    return text;
}

QString RecordFile::roomFor(qint64 bytes) const
{
    struct statvfs info = {};
    if (m_fd < 0 || ::fstatvfs(m_fd, &info) != 0)
        return {};
    const auto room = qint64(info.f_bavail) * qint64(info.f_frsize);
    if (room >= bytes)
        return {};
    return QStringLiteral("%1 bytes are free on its file system, a record needs up to %2")
        .arg(room)
        .arg(bytes);
}

} // namespace cli
