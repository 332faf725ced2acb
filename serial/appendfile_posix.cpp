#include "appendfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int openForAppend(const QString &path)
{
    // O_APPEND puts every write at the end of the file as it is then, also when another
    // writer appended meanwhile.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0)
        return -1;
    // O_NONBLOCK only for the open, so that a FIFO nobody reads fails (ENXIO) rather than
    // hangs; the writes wait as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

ssize_t appendLine(int fd, const QByteArray &line)
{
    ssize_t written = -1;
    do {
        written = ::write(fd, line.constData(), std::size_t(line.size()));
    } while (written < 0 && errno == EINTR);
    return written;
}
