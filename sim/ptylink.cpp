#include "ptylink.h"

#include "linkfolder.h"
#include "protocollimits.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

[[noreturn]] void refuse(const std::string &why)
{
    throw std::runtime_error(why);
}

std::optional<std::string> readLink(const std::string &path)
{
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0 || static_cast<std::size_t>(length) >= buffer.size())
        return std::nullopt;
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

struct SpeedRate
{
    speed_t speed;
    int rate;
};

constexpr SpeedRate kSpeedRates[] = {
    {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},     {B150, 150},
    {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},   {B1800, 1800},
    {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200}, {B38400, 38400},
    {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

speed_t speedOf(int rate)
{
    for (const SpeedRate &entry : kSpeedRates) {
        if (entry.rate == rate)
            return entry.speed;
    }
    return B9600;
}

} // namespace

PtyLink::PtyLink(int port, int baudRate)
{
    try {
        openPty(baudRate);
        publish(port);
    } catch (...) {
        if (m_lockFd >= 0)
            ::unlink(m_lockPath.c_str());
        closeAll();
        throw;
    }
}

PtyLink::~PtyLink()
{
    // The link may have been replaced by hand while we ran; only ours is removed.
    if (!m_link.empty() && readLink(m_link) == m_device)
        ::unlink(m_link.c_str());
    // Removed while still locked, so that nobody takes a lock on a file on its way out.
    if (m_lockFd >= 0)
        ::unlink(m_lockPath.c_str());
    closeAll();
}

void PtyLink::openPty(int baudRate)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        fail("cannot open a pseudo-terminal");
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        fail("cannot unlock the pseudo-terminal");
    const char *name = ::ptsname(m_master);
    if (name == nullptr)
        fail("cannot name the pseudo-terminal");
    m_device = name;

    // Holding the PC side open ourselves keeps the master from reporting hang-up and
    // EIO while no client has the port open, so poll() never spins.
    m_slave = ::open(m_device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        fail("cannot open " + m_device);
    struct stat info = {};
    if (::fstat(m_slave, &info) != 0)
        fail("cannot inspect " + m_device);
    m_deviceNumber = info.st_rdev;

    // A pty has a single set of line settings, those of the PC side; the master reads
    // and writes them (on Linux tcgetattr on the master reports the slave's termios).
    // Raw, so no CR becomes LF and nothing is echoed, at the display's rate, so a
    // client that sets nothing is understood.
    termios line = {};
    if (::tcgetattr(m_master, &line) != 0)
        fail("cannot read the line settings of " + m_device);
    ::cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&line, speedOf(baudRate));
    ::cfsetospeed(&line, speedOf(baudRate));
    if (::tcsetattr(m_master, TCSANOW, &line) != 0)
        fail("cannot set the line settings of " + m_device);

    const int flags = ::fcntl(m_master, F_GETFL);
    if (flags < 0 || ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0)
        fail("cannot make " + m_device + " non-blocking");
}

std::string PtyLink::claimPort(int port, const std::string &lockPath)
{
    for (;;) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            fail("cannot open " + lockPath);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            errno = error;
            if (error == EWOULDBLOCK)
                refuse(qm::portName(port) + " is served by another simulator (" + lockPath +
                       " is locked). Choose another --port or stop that one");
            fail("cannot lock " + lockPath);
        }
        // A simulator that was stopping may have removed the file between our open and
        // our lock; a lock on a removed file guards nothing, so start over.
        struct stat held = {};
        struct stat named = {};
        if (::fstat(fd, &held) == 0 && ::stat(lockPath.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            m_lockFd = fd;
            m_lockPath = lockPath;
            break;
        }
        ::close(fd);
    }
    char recorded[4096];
    const ssize_t length = ::pread(m_lockFd, recorded, sizeof recorded, 0);
    const std::string device = length > 0 ? std::string(recorded, std::size_t(length)) : "";
    if (::ftruncate(m_lockFd, 0) != 0 || ::pwrite(m_lockFd, m_device.data(), m_device.size(), 0) !=
                                             static_cast<ssize_t>(m_device.size()))
        fail("cannot write " + lockPath);
    return device;
}

void PtyLink::publish(int port)
{
    // The serial layer trusts only a private folder, so that nobody else can point a
    // comN link at a device of their choosing; the simulator holds itself to the same rule.
    const std::string folder = qm::linkFolder();
    if (const std::string refusal = qm::ensureLinkFolder(folder); !refusal.empty())
        refuse(refusal);
    const std::string link = qm::portLinkPath(folder, port);
    const std::string leftBy = claimPort(port, qm::servingLockPath(link));

    struct stat info = {};
    if (::lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode))
            refuse(link + " exists and is not a link; not touching it");
        const std::string target = readLink(link).value_or("?");
        struct stat device = {};
        if (!leftBy.empty() && target == leftBy) {
            // Made by a simulator that stopped without removing it (we hold its lock now);
            // its pty number may since have gone to another program, so replace it.
        } else if (::stat(link.c_str(), &device) == 0) {
            // A pty number is reused once freed, so a link left by a crash may lead
            // to the very device just opened; that one is ours to take over.
            if (!S_ISCHR(device.st_mode) || device.st_rdev != m_deviceNumber)
                refuse(qm::portName(port) + " is taken: " + link + " points at " + target +
                       ", which exists. Choose another --port or remove the link");
        } else if (errno != ENOENT) {
            fail("cannot follow " + link);
        }
        if (::unlink(link.c_str()) != 0 && errno != ENOENT)
            fail("cannot remove the dangling link " + link);
    } else if (errno != ENOENT) {
        fail("cannot inspect " + link);
    }

    if (::symlink(m_device.c_str(), link.c_str()) != 0) {
        if (errno == EEXIST)
            refuse(qm::portName(port) + " was taken by another program just now");
        fail("cannot create " + link);
    }
    m_link = link;
}

void PtyLink::closeAll()
{
    if (m_lockFd >= 0)
        ::close(std::exchange(m_lockFd, -1));
    if (m_slave >= 0)
        ::close(std::exchange(m_slave, -1));
    if (m_master >= 0)
        ::close(std::exchange(m_master, -1));
}

std::optional<int> PtyLink::pcBaudRate() const
{
    termios line = {};
    if (::tcgetattr(m_master, &line) != 0)
        return std::nullopt;
    const speed_t speed = ::cfgetospeed(&line);
    for (const SpeedRate &entry : kSpeedRates) {
        if (entry.speed == speed)
            return entry.rate;
    }
    return 0;
}
