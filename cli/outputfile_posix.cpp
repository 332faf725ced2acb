#include "outputfile.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
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

// Every byte, through short writes and interrupted calls; 0 or the errno.
int writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    std::size_t left = std::size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        left -= std::size_t(n);
    }
    return 0;
}

// One of our own standard streams open on that very file: writing it through a fresh open
// would start at its beginning, over what the shell and others wrote before us
// ("{ echo HEADER; quillmark-cli dump /dev/stdout; } > log").
int standardStreamOn(const struct stat &file)
{
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat stream = {};
        if (::fstat(fd, &stream) == 0 && stream.st_dev == file.st_dev &&
            stream.st_ino == file.st_ino)
            return fd;
    }
    return -1;
}

QString writeInPlace(const QByteArray &path, const QByteArray &bytes)
{
    // No O_CREAT and no O_TRUNC: a device or FIFO is used as it is, never made anew.
    const int fd = ::open(path.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return reason(errno);
    int error = writeAll(fd, bytes);
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    return error == 0 ? QString() : reason(error);
}

QString replaceAtomically(const QByteArray &target, const struct stat *existing,
                          const QByteArray &bytes)
{
    QByteArray name = target + ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return reason(errno);
    mode_t mode = 0;
    if (existing) {
        mode = existing->st_mode & 07777;
        // Root writing someone else's file keeps it theirs; for anyone else this fails
        // harmlessly and the file becomes theirs, as any editor's save would make it.
        if (::geteuid() == 0) {
            [[maybe_unused]] const int ignored = ::fchown(fd, existing->st_uid, existing->st_gid);
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    int error = writeAll(fd, bytes);
    if (error == 0 && ::fchmod(fd, mode) != 0)
        error = errno;
    // The rename must not land before the bytes do, or a crash leaves an empty file.
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    if (error == 0 && ::rename(name.constData(), target.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(name.constData());
        return reason(error);
    }
    return {};
}

} // namespace

QString writeOutputFile(const QString &path, const QByteArray &bytes, bool *toStandardOutput)
{
    const QByteArray encoded = QFile::encodeName(path);
    struct stat file = {};
    if (::stat(encoded.constData(), &file) != 0) {
        if (errno != ENOENT)
            return reason(errno);
        struct stat link = {};
        if (::lstat(encoded.constData(), &link) == 0)
            return QStringLiteral("a symbolic link to a missing file");
        return replaceAtomically(encoded, nullptr, bytes);
    }
    if (S_ISDIR(file.st_mode))
        return QStringLiteral("a folder");
    const int stream = standardStreamOn(file);
    if (stream >= 0) {
        if (toStandardOutput)
            *toStandardOutput = stream == STDOUT_FILENO;
        const int error = writeAll(stream, bytes);
        return error == 0 ? QString() : reason(error);
    }
    if (!S_ISREG(file.st_mode))
        return writeInPlace(encoded, bytes);
    // The file the links lead to is replaced; the links stay as they are.
    char resolved[PATH_MAX];
    if (!::realpath(encoded.constData(), resolved))
        return reason(errno);
    return replaceAtomically(QByteArray(resolved), &file, bytes);
}

} // namespace cli
