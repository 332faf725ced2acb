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
    // a regular file is read back through one of its own: each line is chained to the last.
    if (S_ISREG(info.st_mode)) {
        m_readFd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (m_readFd < 0) {
            const int error = errno;
            ::close(m_fd);
            m_fd = -1;
            return QStringLiteral("it cannot be read back: %1").arg(reason(error));
        }
    }
    return {};
}

std::optional<QByteArray> RecordFile::lastLine(qint64 size) const
{
    QByteArray tail;
    qint64 offset = size;
    for (;;) {
        QByteArray trimmed = tail;
        while (trimmed.endsWith('\n'))
            trimmed.chop(1);
        const qsizetype newline = trimmed.lastIndexOf('\n');
        if (newline >= 0)
            return trimmed.mid(newline + 1);
        if (offset == 0)
            return trimmed;
        const qint64 step = qMin<qint64>(offset, 4096);
        QByteArray chunk(step, Qt::Uninitialized);
        qint64 got = 0;
        while (got < step) {
            const ssize_t n = ::pread(m_readFd, chunk.data() + got, size_t(step - got),
                                      off_t(offset - step + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return std::nullopt;
            got += n;
        }
        offset -= step;
        tail.prepend(chunk);
    }
}

QString RecordFile::append(const QJsonObject &record, const Completion &complete)
{
    if (m_fd < 0)
        return reason(EBADF);
    // Between reading the last line and writing after it, no other station may append.
    lock();
    struct Unlock
    {
        RecordFile *file;
        ~Unlock() { file->unlock(); }
    } unlock{this};
    struct stat info = {};
    const bool regular = ::fstat(m_fd, &info) == 0 && S_ISREG(info.st_mode);
    const off_t before = regular ? info.st_size : 0;
    QJsonObject chained = record;
    // A FIFO or a terminal cannot be read back: what is written there starts a chain.
    QByteArray last;
    if (regular) {
        const std::optional<QByteArray> read = lastLine(before);
        if (!read)
            return QStringLiteral("its last line cannot be read to chain the record to it: %1")
                .arg(reason(errno ? errno : EIO));
        last = *read;
    }
    chained.insert(QStringLiteral("prev"),
                   QString::fromLatin1(last.isEmpty() ? QByteArray(kChainStart) : lineHash(last)));
    const QJsonValue lastNumber =
        QJsonDocument::fromJson(last).object().value(QStringLiteral("seq"));
    chained.insert(QStringLiteral("seq"),
                   lastNumber.isDouble() ? lastNumber.toInteger() + 1 : qint64(1));
    if (complete) {
        if (const QString why = complete(chained); !why.isEmpty())
            return why;
    }
    QByteArray line = QJsonDocument(chained).toJson(QJsonDocument::Compact) + '\n';
    // The remains of a line that was cut short (by a crash, or a program that does not cut
    // back) must not swallow this record.
    char lastByte = '\n';
    if (before > 0 && ::pread(m_readFd, &lastByte, 1, before - 1) == 1 && lastByte != '\n')
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
    if (m_fd < 0 || m_lockDepth++ > 0)
        return;
    // Another station holds it for a read and one line; a signal meanwhile is seen after.
    while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

void RecordFile::unlock()
{
    if (m_fd >= 0 && --m_lockDepth == 0)
        ::flock(m_fd, LOCK_UN);
}

QByteArray RecordFile::readAppended(int *firstLine, qint64 limit)
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
        if (text.size() >= limit && text.lastIndexOf('\n') >= 0)
            break;
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
