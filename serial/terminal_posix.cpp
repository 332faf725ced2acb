#include "terminal.h"

#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

namespace terminal {

int setParityMarking(int fd, bool marked)
{
    // Without marking, a byte with a parity error would either vanish (IGNPAR) or pass as
    // if good; with PARMRK the driver flags it and the decoder turns it into '?'.
    termios tio = {};
    if (::tcgetattr(fd, &tio) != 0)
        return errno;
    if (marked) {
        tio.c_iflag |= PARMRK | INPCK;
        tio.c_iflag &= ~tcflag_t(IGNPAR | ISTRIP);
    } else {
        tio.c_iflag &= ~tcflag_t(PARMRK | INPCK);
        // Qt clears only PARENB for no parity and leaves PARODD from an earlier odd setting.
        tio.c_cflag &= ~tcflag_t(PARODD);
    }
    return ::tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : errno;
}

bool bytesWaiting(int fd)
{
    pollfd waiting = {fd, POLLIN, 0};
    return ::poll(&waiting, 1, 0) > 0;
}

namespace {

// A hung-up terminal reports POLLHUP and POLLERR, and POLLIN as well: its reads return 0
// at once. Whether a read of 0 counts as an error differs between Qt releases, so the
// flags decide, never what Qt makes of the read.
constexpr short kHangUpFlags = POLLHUP | POLLERR | POLLNVAL;

} // namespace

Wait waitReadable(int fd, int msecs)
{
    // QSerialPort::waitForReadyRead polls for POLLIN alone: a hang-up that the driver
    // reports as POLLHUP without POLLIN would keep it spinning until its time-out.
    pollfd waiting = {fd, POLLIN, 0};
    if (::poll(&waiting, 1, msecs < 0 ? 0 : msecs) <= 0)
        return Wait::TimedOut;
    return (waiting.revents & kHangUpFlags) ? Wait::HungUp : Wait::Readable;
}

bool hungUp(int fd)
{
    pollfd asked = {fd, 0, 0};
    return ::poll(&asked, 1, 0) > 0 && (asked.revents & kHangUpFlags);
}

HangUpWatch::HangUpWatch(int fd) : m_watch(::epoll_create1(EPOLL_CLOEXEC))
{
    if (m_watch < 0)
        return;
    // The driver announces a hang-up to its waiters as "readable", and the kernel passes
    // a waiter only the wake-ups it asked for: a watch for POLLHUP alone would sleep
    // through it. So the watch asks for input too, edge-triggered: arriving bytes wake it
    // once, not for as long as they wait in the driver (they do while Qt's read buffer is
    // full), and nothing wakes it on an idle line.
    epoll_event event = {};
    event.events = EPOLLIN | EPOLLET;
    if (::epoll_ctl(m_watch, EPOLL_CTL_ADD, fd, &event) != 0) {
        ::close(m_watch);
        m_watch = -1;
    }
}

HangUpWatch::~HangUpWatch()
{
    if (m_watch >= 0)
        ::close(m_watch);
}

bool HangUpWatch::hungUp()
{
    if (m_watch < 0)
        return false;
    epoll_event event = {};
    return ::epoll_wait(m_watch, &event, 1, 0) > 0 && (event.events & (EPOLLHUP | EPOLLERR));
}

} // namespace terminal
