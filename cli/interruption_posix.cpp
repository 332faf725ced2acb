#include "interruption.h"

#include "exitcodes.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace cli {
namespace {

volatile std::sig_atomic_t g_signal = 0;
int g_pipe[2] = {-1, -1};

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Only async-signal-safe work (sigaction and write are): remember the first signal, make
// the next one final, and wake an event loop. The interrupted code may be about to read
// errno, so it gets it back unchanged.
void onSignal(int signal)
{
    const int savedErrno = errno;
    if (g_signal == 0) {
        g_signal = signal;
        struct sigaction fatal = {};
        fatal.sa_handler = SIG_DFL;
        sigemptyset(&fatal.sa_mask);
        for (int each : kStopSignals)
            ::sigaction(each, &fatal, nullptr);
    }
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

void catchInterruptions()
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // SA_RESTART keeps reads and writes of our output whole; the waits for a reply
    // (poll) return early all the same.
    action.sa_flags = SA_RESTART;
    for (int signal : kStopSignals)
        ::sigaction(signal, &action, nullptr);
    // A reader that went away (`quillmark-cli dump | head -1`) must not kill the program
    // with the port open: the write fails with EPIPE instead, and the command ends as any
    // other whose result could not be written.
    ::signal(SIGPIPE, SIG_IGN);
}

ExitCode exitCodeOfSignal(int signal)
{
    switch (signal) {
    case SIGHUP:
        return kExitHangUp;
    case SIGTERM:
        return kExitTerminated;
    default:
        break;
    }
    return kExitInterrupted;
}

int interruption()
{
    return g_signal;
}

QString signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        break;
    }
    return QStringLiteral("signal %1").arg(signal);
}

int interruptionDescriptor()
{
    return g_pipe[0];
}

bool waitForInterruption(int ms)
{
    if (g_signal != 0)
        return true;
    pollfd wake = {g_pipe[0], POLLIN, 0};
    // Without the pipe (it could not be made) this is a plain wait; a signal still ends it
    // (EINTR).
    ::poll(&wake, g_pipe[0] >= 0 ? 1 : 0, ms);
    return g_signal != 0;
}

void throwIfInterrupted(const QString &label, const QString &what)
{
    const int signal = interruption();
    if (signal == 0)
        return;
    throw Failure(exitCodeOfSignal(signal),
                  QStringLiteral("%1: stopped by %2 %3").arg(label, signalName(signal), what));
}

} // namespace cli
