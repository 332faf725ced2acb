#include "quitsignals.h"

#include <QtGlobal>

#ifdef Q_OS_UNIX

#include <QApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop picks the byte up. The write end does
// not block, so a full pipe (signals faster than the loop reads) drops the byte instead of
// hanging the program inside the handler; one byte waiting is enough to quit. The
// interrupted code may be about to read errno, so it gets it back unchanged.
void onSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool makePipe()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        return false;
    for (int fd : g_signalPipe) {
        if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0 ||
            ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
            return false;
    }
    return true;
}

} // namespace

void quitOnTerminationSignals()
{
    // A trace FIFO whose reader went away fails the write (EPIPE) and the trace stops;
    // the signal would end the window with its port's lock file and line settings left.
    ::signal(SIGPIPE, SIG_IGN);
    if (!makePipe())
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(g_signalPipe[0], &byte, 1);
        QApplication::closeAllWindows();
        QApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

#else

// Termination signals are a POSIX matter; elsewhere the window's own close is the way out.
void quitOnTerminationSignals() {}

#endif
