#include "steps.h"

#include "exitcodes.h"
#include "interruption.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace cli {

QByteArray readInputFile(const QString &path)
{
    // A dump is under a kilobyte; anything far larger is the wrong file.
    constexpr qint64 kLargest = 1 << 20;
    const bool standardInput = path == QLatin1String("-");
    // Not blocking, so that a FIFO nobody writes yet waits below, where a signal ends the
    // wait, rather than in open() or read(), where it would only be noted.
    const int fd = standardInput ? ::dup(STDIN_FILENO)
                                 : ::open(QFile::encodeName(path).constData(),
                                          O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw Failure(kExitUsage, QStringLiteral("%1: cannot be read: %2")
                                      .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    QByteArray text;
    char buffer[65536];
    for (;;) {
        // A FIFO that no writer has opened yet is not readable (nor at its end) until one
        // writes or goes away.
        pollfd waits[2] = {{fd, POLLIN, 0}, {interruptionDescriptor(), POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0 && errno != EINTR)
            break;
        throwIfInterrupted(path, QStringLiteral("while waiting for it to be written"));
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got < 0)
            throw Failure(kExitUsage, QStringLiteral("%1: cannot be read: %2")
                                          .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        if (got == 0)
            break;
        text.append(buffer, got);
        if (text.size() > kLargest)
            throw Failure(kExitUsage, QStringLiteral("%1: larger than %2 bytes, not a dump; "
                                                     "nothing was sent")
                                          .arg(path)
                                          .arg(kLargest));
    }
    return text;
}

} // namespace cli
