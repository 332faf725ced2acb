// Starts one program on the X server of $DISPLAY and reports, in milliseconds:
//   mapped      from just before its execve until the server mapped its top-level window
//               (MapNotify seen on the root window),
//   painted     until the first pixels reached that window (its first DAMAGE after the map),
//   cpu_to_map  the CPU time all its threads had used when the map was seen,
// then its resident set size at a fixed moment after the start, and stops it.
//
//   quillmark-bench-launch [--rss-at MS] [--timeout MS] [--log FILE] -- PROGRAM [ARGS...]
//
// One line on stdout: "mapped_ms=.. painted_ms=.. cpu_to_map_ms=.. rss_kb=.. ..."; exit 0.
// Anything that keeps a figure from being taken: a reason on stderr and exit 1.
//
// Why this way: both programs are watched by the same third client through the server's
// own notifications, so neither program is asked to report on itself and neither pays for
// being watched. The window is told apart by its _NET_WM_PID, which Qt sets before it maps.
// The DAMAGE extension is spoken directly on the wire, so nothing beyond libxcb is needed.
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The DAMAGE wire protocol (damagewire.h / damageproto.h), version 1.1.
constexpr uint8_t kDamageQueryVersion = 0;
constexpr uint8_t kDamageCreate = 1;
constexpr uint8_t kDamageNotify = 0;
constexpr uint8_t kDamageReportRawRectangles = 0;

struct DamageQueryVersionRequest
{
    uint8_t majorOpcode;
    uint8_t minorOpcode;
    uint16_t length;
    uint32_t majorVersion;
    uint32_t minorVersion;
};
static_assert(sizeof(DamageQueryVersionRequest) == 12);

struct DamageCreateRequest
{
    uint8_t majorOpcode;
    uint8_t minorOpcode;
    uint16_t length;
    uint32_t damage;
    uint32_t drawable;
    uint8_t level;
    uint8_t pad[3];
};
static_assert(sizeof(DamageCreateRequest) == 16);

struct DamageNotifyEvent
{
    uint8_t responseType;
    uint8_t level;
    uint16_t sequence;
    uint32_t drawable;
    uint32_t damage;
};

xcb_extension_t g_damageExtension = {"DAMAGE", 0};

double nowMs()
{
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

[[noreturn]] void die(const std::string &why)
{
    std::fprintf(stderr, "quillmark-bench-launch: %s\n", why.c_str());
    std::exit(1);
}

unsigned sendDamageRequest(xcb_connection_t *c, void *request, size_t size, bool hasReply)
{
    // xcb_send_request wants two spare iovecs before the request for its own use.
    iovec parts[4] = {};
    parts[2].iov_base = request;
    parts[2].iov_len = size;
    xcb_protocol_request_t info = {};
    info.count = 2;
    info.ext = &g_damageExtension;
    info.opcode = static_cast<const uint8_t *>(request)[1];
    info.isvoid = hasReply ? 0 : 1;
    return xcb_send_request(c, hasReply ? XCB_REQUEST_CHECKED : 0, parts + 2, &info);
}

// The first event code of DAMAGE, after announcing the version the requests below follow.
uint8_t initDamage(xcb_connection_t *c)
{
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &g_damageExtension);
    if (!ext || !ext->present)
        die("the X server has no DAMAGE extension");
    DamageQueryVersionRequest request = {0, kDamageQueryVersion, 0, 1, 1};
    const unsigned sequence = sendDamageRequest(c, &request, sizeof request, true);
    xcb_generic_error_t *error = nullptr;
    void *reply = xcb_wait_for_reply(c, sequence, &error);
    if (!reply)
        die("DAMAGE refused its version query");
    std::free(reply);
    return ext->first_event;
}

void createDamage(xcb_connection_t *c, xcb_window_t window)
{
    DamageCreateRequest request = {};
    request.minorOpcode = kDamageCreate;
    request.damage = xcb_generate_id(c);
    request.drawable = window;
    request.level = kDamageReportRawRectangles;
    sendDamageRequest(c, &request, sizeof request, false);
    xcb_flush(c);
}

xcb_atom_t internAtom(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
    if (!reply)
        die(std::string("cannot intern ") + name);
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

long windowPid(xcb_connection_t *c, xcb_window_t window, xcb_atom_t pidAtom)
{
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
    long pid = -1;
    if (reply && reply->format == 32 && xcb_get_property_value_length(reply) >= 4)
        pid = long(*static_cast<uint32_t *>(xcb_get_property_value(reply)));
    std::free(reply);
    return pid;
}

std::map<std::string, long> readStatus(pid_t pid)
{
    std::map<std::string, long> values;
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *file = std::fopen(path.c_str(), "r");
    if (!file)
        return values;
    char line[256];
    while (std::fgets(line, sizeof line, file)) {
        char key[64];
        long value = 0;
        if (std::sscanf(line, "%63[^:]: %ld kB", key, &value) == 2)
            values[key] = value;
    }
    std::fclose(file);
    return values;
}

// CPU time used so far by all threads of `pid`, from the scheduler's own nanosecond
// account; unlike the wall clock it hardly moves when other work shares the cores.
double cpuMsOf(pid_t pid)
{
    const std::string folder = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = ::opendir(folder.c_str());
    if (!tasks)
        return -1;
    double total = 0;
    while (const dirent *task = ::readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        FILE *file = std::fopen((folder + "/" + task->d_name + "/schedstat").c_str(), "r");
        if (!file)
            continue;
        unsigned long long runNs = 0;
        if (std::fscanf(file, "%llu", &runNs) == 1)
            total += double(runNs) / 1e6;
        std::fclose(file);
    }
    ::closedir(tasks);
    return total;
}

int pidfdOpen(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

// Ends the child: SIGTERM, then SIGKILL if it is still there after five seconds.
void stopChild(pid_t pid, int pidfd)
{
    ::kill(pid, SIGTERM);
    pollfd exited = {pidfd, POLLIN, 0};
    if (::poll(&exited, 1, 5000) <= 0)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

void sleepUntil(double deadlineMs)
{
    const double left = deadlineMs - nowMs();
    if (left <= 0)
        return;
    timespec ts = {};
    ts.tv_sec = time_t(left / 1e3);
    ts.tv_nsec = long((left - double(ts.tv_sec) * 1e3) * 1e6);
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace

int main(int argc, char *argv[])
{
    double rssAtMs = 1500;
    double timeoutMs = 20000;
    std::string logPath = "/dev/null";
    int first = 1;
    for (; first < argc; ++first) {
        const std::string arg = argv[first];
        if (arg == "--") {
            ++first;
            break;
        }
        if (first + 1 >= argc)
            die("missing value after " + arg);
        if (arg == "--rss-at")
            rssAtMs = std::atof(argv[++first]);
        else if (arg == "--timeout")
            timeoutMs = std::atof(argv[++first]);
        else if (arg == "--log")
            logPath = argv[++first];
        else
            die("unknown option " + arg);
    }
    if (first >= argc)
        die("usage: quillmark-bench-launch [--rss-at MS] [--timeout MS] [--log FILE] -- "
            "PROGRAM [ARGS...]");

    int screenNumber = 0;
    xcb_connection_t *c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c))
        die("cannot connect to the X server of DISPLAY");
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&screens);
    const xcb_window_t root = screens.data->root;
    const xcb_atom_t pidAtom = internAtom(c, "_NET_WM_PID");
    const uint8_t damageEvent = initDamage(c) + kDamageNotify;

    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_generic_error_t *selectError =
        xcb_request_check(c, xcb_change_window_attributes_checked(c, root, XCB_CW_EVENT_MASK, &mask));
    if (selectError)
        die("cannot watch the root window");

    // The child stamps the moment just before its execve here.
    auto *startStamp = static_cast<double *>(
        ::mmap(nullptr, sizeof(double), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (startStamp == MAP_FAILED)
        die("mmap failed");
    *startStamp = 0;

    const pid_t pid = ::fork();
    if (pid < 0)
        die("fork failed");
    if (pid == 0) {
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        *startStamp = nowMs();
        ::execvp(argv[first], argv + first);
        std::fprintf(stderr, "cannot run %s: %s\n", argv[first], std::strerror(errno));
        ::_exit(127);
    }
    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0)
        die("pidfd_open failed");

    const double deadline = nowMs() + timeoutMs;
    const int xfd = xcb_get_file_descriptor(c);
    xcb_window_t target = 0;
    double mappedAt = -1;
    double cpuAtMap = -1;
    double paintedAt = -1;
    auto fail = [&](const std::string &why) {
        stopChild(pid, pidfd);
        die(why);
    };

    while (paintedAt < 0) {
        xcb_generic_event_t *event = xcb_poll_for_event(c);
        if (!event) {
            if (xcb_connection_has_error(c))
                fail("lost the X server");
            const double left = deadline - nowMs();
            if (left <= 0)
                fail(mappedAt < 0 ? "no window was mapped in time" : "the window was not painted in time");
            pollfd fds[] = {{xfd, POLLIN, 0}, {pidfd, POLLIN, 0}};
            if (::poll(fds, 2, int(left) + 1) < 0 && errno != EINTR)
                fail("poll failed");
            if (fds[1].revents & POLLIN) {
                int status = 0;
                ::waitpid(pid, &status, 0);
                die(std::string(argv[first]) + " ended before its window was " +
                    (mappedAt < 0 ? "mapped" : "painted"));
            }
            continue;
        }
        const double at = nowMs();
        const uint8_t type = event->response_type & 0x7F;
        if (type == XCB_CREATE_NOTIFY) {
            // Watched from its creation on, so that a paint right after the map cannot slip
            // past; windows that cannot be drawn on refuse with an error, ignored below.
            auto *created = reinterpret_cast<xcb_create_notify_event_t *>(event);
            if (created->parent == root)
                createDamage(c, created->window);
        } else if (type == XCB_MAP_NOTIFY && mappedAt < 0) {
            auto *mapped = reinterpret_cast<xcb_map_notify_event_t *>(event);
            if (mapped->event == root && !mapped->override_redirect &&
                windowPid(c, mapped->window, pidAtom) == long(pid)) {
                target = mapped->window;
                mappedAt = at;
                cpuAtMap = cpuMsOf(pid);
            }
        } else if (type == damageEvent && mappedAt >= 0) {
            auto *damaged = reinterpret_cast<DamageNotifyEvent *>(event);
            if (damaged->drawable == target)
                paintedAt = at;
        }
        std::free(event);
    }

    const double started = *startStamp;
    if (started <= 0)
        fail("the start was not stamped");
    sleepUntil(started + rssAtMs);
    const std::map<std::string, long> status = readStatus(pid);
    if (!status.count("VmRSS"))
        fail("cannot read the resident set size");
    stopChild(pid, pidfd);

    auto kb = [&status](const char *key) {
        const auto it = status.find(key);
        return it == status.end() ? -1L : it->second;
    };
    // exec_at_ms is CLOCK_MONOTONIC, for lining the figures up with a program's own log.
    std::printf("mapped_ms=%.2f painted_ms=%.2f cpu_to_map_ms=%.2f rss_kb=%ld rss_anon_kb=%ld "
                "rss_file_kb=%ld rss_shmem_kb=%ld exec_at_ms=%.3f\n",
                mappedAt - started, paintedAt - started, cpuAtMap, kb("VmRSS"), kb("RssAnon"),
                kb("RssFile"), kb("RssShmem"), started);
    xcb_disconnect(c);
    return 0;
}
