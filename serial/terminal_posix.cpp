#include "terminal.h"

#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

namespace terminal {

namespace {

// A pseudo-terminal keeps 8 data bits and no parity whatever it is asked for (there are
// no bits on its wire), and the C library reports a set-up whose framing the driver
// changed as EINVAL, though the driver took the rest. Only that is forgiven here.
int setAttributes(int fd, const termios &wanted)
{
    if (::tcsetattr(fd, TCSANOW, &wanted) == 0)
        return 0;
    const int error = errno;
    termios now = {};
    if (error != EINVAL || ::tcgetattr(fd, &now) != 0)
        return error;
    constexpr tcflag_t kPtyFraming = CSIZE | PARENB;
    const bool ptyFraming = (now.c_cflag & kPtyFraming) == CS8 &&
                            (now.c_cflag & ~kPtyFraming) == (wanted.c_cflag & ~kPtyFraming) &&
                            now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
                            now.c_lflag == wanted.c_lflag;
    return ptyFraming ? 0 : error;
}

} // namespace

int setFraming(int fd, int dataBits, char parity)
{
    termios tio = {};
    if (::tcgetattr(fd, &tio) != 0)
        return errno;
    // A program killed while it held the line cannot restore what it found, so any flag
    // may be left: IGNPAR would drop bytes with a parity error, ISTRIP the eighth bit,
    // IXON/IXOFF take two byte values for flow control, CMSPAR turn parity into a fixed
    // bit.
    tio.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                             ICRNL | IXON | IXOFF | IXANY | IUCLC | IMAXBEL);
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~tcflag_t(CMSPAR);
#endif
    tio.c_cflag |= CLOCAL | CREAD | (dataBits == 7 ? CS7 : CS8);
    if (parity != 'N') {
        tio.c_cflag |= PARENB | (parity == 'O' ? PARODD : 0);
        // Without marking, a byte with a parity error would pass as if good; with PARMRK
        // the driver flags it and the decoder turns it into '?'.
        tio.c_iflag |= PARMRK | INPCK;
    }
    return setAttributes(fd, tio);
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
