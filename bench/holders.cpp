// The holder scan every open runs (processesWithDeviceOpen: each process's descriptors
// under /proc, to find a program that holds the port without a lock), on a machine with
// many idle processes: the benchmark starts them itself, times the scan of a pty that no
// other program holds (the whole of /proc is read), and ends them again.
//   quillmark-bench-holders [--processes N] [--runs K]
// Prints key=value lines: processes (in /proc while timing), scan_median_ms,
// scan_worst_ms, cpu_median_ms.
#include "portaccess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

double nowMs(clockid_t clock)
{
    timespec t = {};
    ::clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Idle processes in a process group of their own, ended together. Each ends by itself
// after two minutes should this program be killed before it ends them.
class IdleProcesses
{
public:
    bool start(int count)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // Not our standard output: a reader waiting for its end would wait for theirs too.
        for (int fd : {0, 1, 2})
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        char sleepName[] = "sleep";
        char seconds[] = "120";
        char *arguments[] = {sleepName, seconds, nullptr};
        bool started = true;
        for (int i = 0; i < count && started; ++i) {
            posix_spawnattr_setpgroup(&attributes, m_group);
            pid_t pid = 0;
            started = ::posix_spawnp(&pid, "sleep", &actions, &attributes, arguments, environ) == 0;
            if (started && m_group == 0)
                m_group = pid;
            if (started)
                ++m_count;
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        return started;
    }

    ~IdleProcesses()
    {
        if (m_group == 0)
            return;
        ::kill(-m_group, SIGTERM);
        const QDeadlineTimer deadline(10000);
        while (m_count > 0) {
            const pid_t ended = ::waitpid(-m_group, nullptr, WNOHANG);
            if (ended > 0) {
                --m_count;
                continue;
            }
            if (ended < 0 && errno == ECHILD)
                break;
            if (deadline.hasExpired()) {
                ::kill(-m_group, SIGKILL);
                break;
            }
            ::usleep(1000);
        }
    }

    int count() const { return m_count; }

private:
    pid_t m_group = 0;
    int m_count = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    auto option = [&arguments](const char *name, int fallback) {
        const qsizetype at = arguments.indexOf(QLatin1String(name));
        return at >= 0 && at + 1 < arguments.size() ? arguments[at + 1].toInt() : fallback;
    };
    const int processes = option("--processes", 2000);
    const int runs = option("--runs", 25);

    int master = -1;
    int slave = -1;
    char name[64] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "quillmark-bench-holders: no pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    const QString device = QString::fromLocal8Bit(name);

    IdleProcesses idle;
    if (!idle.start(processes)) {
        std::fprintf(stderr, "quillmark-bench-holders: started %d of %d processes: %s\n",
                     idle.count(), processes, std::strerror(errno));
        return 1;
    }
    const int inProc = int(QDir(QStringLiteral("/proc"))
                               .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                               .filter(QRegularExpression(QStringLiteral("^[0-9]+$")))
                               .size());

    // One scan unrecorded, so that every run finds /proc's entries in the caches alike.
    if (!processesWithDeviceOpen(device).isEmpty()) {
        std::fprintf(stderr, "quillmark-bench-holders: %s has a holder\n", name);
        return 1;
    }
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int i = 0; i < runs; ++i) {
        const double wallStart = nowMs(CLOCK_MONOTONIC);
        const double cpuStart = nowMs(CLOCK_PROCESS_CPUTIME_ID);
        const QList<ProcessRef> holders = processesWithDeviceOpen(device);
        cpu.push_back(nowMs(CLOCK_PROCESS_CPUTIME_ID) - cpuStart);
        wall.push_back(nowMs(CLOCK_MONOTONIC) - wallStart);
        if (!holders.isEmpty())
            return 1;
    }
    std::printf("processes=%d\nscan_median_ms=%.2f\nscan_worst_ms=%.2f\ncpu_median_ms=%.2f\n",
                inProc, median(wall), *std::max_element(wall.begin(), wall.end()), median(cpu));
    return 0;
}
