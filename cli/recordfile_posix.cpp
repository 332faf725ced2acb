#include "records.h"

#include "appendfile.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstring>
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
    const int fd = openForAppend(path);
    if (fd < 0)
        return reason(errno);
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
    // A line is far below the size a regular file takes whole in one write.
    const ssize_t written = appendLine(m_fd, line);
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
