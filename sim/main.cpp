#include "bench.h"
#include "displaysim.h"
#include "ptylink.h"
#include "simoptions.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

using namespace qm::sim;
using Clock = std::chrono::steady_clock;

namespace {

// A flood of commands under --delay must not queue answers without bound.
constexpr std::size_t kMaxWaitingAnswers = 64;
constexpr std::size_t kReadChunk = 4096;

int g_signalPipe[2] = {-1, -1};

extern "C" void onSignal(int signal)
{
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    // Nothing to do if the pipe is full: one byte waiting is enough to stop.
    [[maybe_unused]] const ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

bool installSignals(bool bench)
{
    if (::pipe(g_signalPipe) != 0)
        return false;
    for (int fd : g_signalPipe) {
        if (::fcntl(fd, F_SETFL, O_NONBLOCK) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
            return false;
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    for (int signal : {SIGUSR1, SIGUSR2}) {
        if (bench && ::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void trace(const std::string &line)
{
    std::printf("%s\n", line.c_str());
}

struct WaitingAnswer
{
    Clock::time_point due;
    std::string bytes;
    bool binary = false;
};

// Until the next answer is due, the open RTU frame's silence ends or the bench changes
// units. poll() counts whole milliseconds, so the silence (4 ms at 9600 baud) is rounded
// up, never cut short.
int pollTimeout(const std::deque<WaitingAnswer> &outbox, std::optional<Clock::time_point> frameDue,
                std::optional<Clock::time_point> benchDue)
{
    std::optional<Clock::time_point> next = frameDue;
    if (benchDue && (!next || *benchDue < *next))
        next = benchDue;
    if (!outbox.empty() && (!next || outbox.front().due < *next))
        next = outbox.front().due;
    if (!next)
        return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) : 0;
}

void sendDue(int fd, std::deque<WaitingAnswer> &outbox)
{
    while (!outbox.empty() && outbox.front().due <= Clock::now()) {
        const std::string &bytes = outbox.front().bytes;
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written == static_cast<ssize_t>(bytes.size()))
            trace(sentTrace(bytes, outbox.front().binary));
        else if (written >= 0)
            trace("  cut short: only " + std::to_string(written) + " of " +
                  std::to_string(bytes.size()) + " bytes fit, the PC side is not reading");
        else
            trace("  not sent: " + std::string(std::strerror(errno)));
        outbox.pop_front();
    }
}

void handle(const std::vector<SimStep> &steps, int delayMs, std::deque<WaitingAnswer> &outbox)
{
    for (const SimStep &step : steps) {
        for (const std::string &line : step.trace)
            trace(line);
        if (step.reply.empty())
            continue;
        if (outbox.size() >= kMaxWaitingAnswers) {
            trace("  dropped: " + std::to_string(outbox.size()) + " answers already waiting");
            continue;
        }
        outbox.push_back(
            {Clock::now() + std::chrono::milliseconds(delayMs), step.reply, step.binary});
    }
}

// Returns false on a read error that will not go away. With no unit on the bench's line,
// what arrives is read and goes unanswered.
bool receive(const PtyLink &link, DisplaySim *sim, int delayMs, std::deque<WaitingAnswer> &outbox)
{
    char buffer[kReadChunk];
    const ssize_t count = ::read(link.masterFd(), buffer, sizeof buffer);
    if (count < 0)
        return errno == EAGAIN || errno == EINTR;
    if (!sim) {
        trace("no unit on the line: " + std::to_string(count) + " byte(s) unanswered");
        return true;
    }
    handle(sim->receive(std::string_view(buffer, static_cast<std::size_t>(count)),
                        link.pcBaudRate(), Clock::now()),
           delayMs, outbox);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // Line by line even into a pipe, so whoever watches the trace sees it at once.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *program = argc > 0 ? argv[0] : "quillmark-sim";

    const ParsedOptions parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "quillmark-sim: %s\nTry '%s --help'.\n", parsed.error.c_str(),
                     program);
        return 2;
    }
    const SimOptions &options = parsed.options;
    if (options.help) {
        std::printf("%s", usage(program).c_str());
        return 0;
    }
    if (!installSignals(options.bench)) {
        std::fprintf(stderr, "quillmark-sim: cannot set up signal handling: %s\n",
                     std::strerror(errno));
        return 1;
    }

    try {
        PtyLink link(options.port, baudRateOf(options.state.baudCode));
        Bench bench(options.state, options.faults, options.stubbornUnits, options.keepAddressUnits);
        std::printf("quillmark-sim: serving %s on %s (link %s); display: %s\n",
                    qm::portName(options.port).c_str(), link.device().c_str(),
                    link.linkPath().c_str(), describeComms(bench.unit()->state()).c_str());

        std::deque<WaitingAnswer> outbox;
        const auto cycle = std::chrono::milliseconds(options.benchCycleMs);
        std::optional<Clock::time_point> benchDue;
        if (options.benchCycleMs > 0)
            benchDue = Clock::now() + cycle;
        // The answers of a unit that has left never reach the PC.
        auto change = [&](const std::vector<std::string> &lines) {
            for (const std::string &line : lines)
                trace(line);
            outbox.clear();
            if (options.benchCycleMs > 0)
                benchDue = Clock::now() + (bench.unit() ? cycle : cycle / 2);
        };
        int stopSignal = 0;
        while (stopSignal == 0) {
            DisplaySim *sim = bench.unit();
            pollfd fds[] = {{link.masterFd(), POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
            const auto frameDue = sim ? sim->frameDue() : std::nullopt;
            if (::poll(fds, 2, pollTimeout(outbox, frameDue, benchDue)) < 0 && errno != EINTR)
                throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
            if (fds[1].revents & POLLIN) {
                char byte = 0;
                if (::read(g_signalPipe[0], &byte, 1) == 1) {
                    if (byte == SIGUSR1)
                        change(bench.next());
                    else if (byte == SIGUSR2)
                        change(bench.leave());
                    else
                        stopSignal = byte;
                }
            }
            if (benchDue && Clock::now() >= *benchDue)
                change(bench.unit() ? bench.leave() : bench.next());
            sim = bench.unit();
            if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) &&
                !receive(link, sim, options.delayMs, outbox))
                throw std::runtime_error("cannot read from " + link.device() + ": " +
                                         std::strerror(errno));
            if (sim)
                handle(sim->silence(Clock::now(), link.pcBaudRate()), options.delayMs, outbox);
            sendDue(link.masterFd(), outbox);
        }
        std::printf("quillmark-sim: stopped by %s, removing %s\n", strsignal(stopSignal),
                    link.linkPath().c_str());
    } catch (const std::runtime_error &error) {
        std::fprintf(stderr, "quillmark-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
