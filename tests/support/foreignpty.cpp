#include "foreignpty.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

ForeignPty::ForeignPty(const char *multiplexer)
{
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        m_problem = QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        // Only system calls from here: the child of a threaded program.
        ::close(report[0]);
        int answer = -1;
        const int master = ::open(multiplexer, O_RDWR | O_NOCTTY);
        int unlock = 0;
        unsigned index = 0;
        if (master >= 0 && ::ioctl(master, TIOCSPTLCK, &unlock) == 0 &&
            ::ioctl(master, TIOCGPTN, &index) == 0) {
            char slave[32];
            std::snprintf(slave, sizeof slave, "/dev/pts/%u", index);
            if (::open(slave, O_RDWR | O_NOCTTY) >= 0)
                answer = int(index);
        }
        [[maybe_unused]] const ssize_t written = ::write(report[1], &answer, sizeof answer);
        for (;;)
            ::pause();
    }
    ::close(report[1]);
    if (m_pid < 0) {
        m_problem = QStringLiteral("fork: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(report[0]);
        return;
    }
    int answer = -1;
    pollfd ready = {report[0], POLLIN, 0};
    if (::poll(&ready, 1, 5000) != 1 ||
        ::read(report[0], &answer, sizeof answer) != sizeof answer || answer < 0)
        m_problem = QStringLiteral("no pty could be made through %1 by another process")
                        .arg(QString::fromLocal8Bit(multiplexer));
    else
        m_slavePath = QStringLiteral("/dev/pts/%1").arg(answer);
    ::close(report[0]);
}

ForeignPty::~ForeignPty()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
}
