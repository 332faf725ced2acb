#include "terminal.h"

#include <cerrno>
#include <poll.h>
#include <termios.h>

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

Wait waitReadable(int fd, int msecs)
{
    // QSerialPort::waitForReadyRead polls for POLLIN alone: a hang-up that the driver
    // reports as POLLHUP without POLLIN would keep it spinning until its time-out.
    pollfd waiting = {fd, POLLIN, 0};
    if (::poll(&waiting, 1, msecs < 0 ? 0 : msecs) <= 0)
        return Wait::TimedOut;
    return (waiting.revents & POLLIN) ? Wait::Readable : Wait::HungUp;
}

} // namespace terminal
