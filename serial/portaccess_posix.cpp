#include "portaccess.h"

#include "linkfolder.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Where Linux serial programs put their lock files; /var/lock is often a link to /run/lock.
QStringList g_lockFolders = {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")};

QString osText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString typeName(mode_t mode)
{
    if (S_ISREG(mode))
        return QStringLiteral("a plain file");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    return QStringLiteral("not a device");
}

// The kind of terminal driver ("serial", "pty:slave", ...) that serves the device numbers,
// from the kernel's table of drivers: it tells a terminal without opening it. Nothing
// when no driver serves them; "unknown" when the table cannot be read (the open checks).
std::optional<std::string> terminalDriver(dev_t number)
{
    std::ifstream drivers("/proc/tty/drivers");
    if (!drivers)
        return std::string("unknown");
    // "serial  /dev/ttyS  4 64-111 serial": name, node, major, minor range, type.
    std::string line;
    while (std::getline(drivers, line)) {
        std::istringstream fields(line);
        std::string name, node, minors, type;
        unsigned long majorNumber = 0;
        if (!(fields >> name >> node >> majorNumber >> minors >> type) ||
            majorNumber != major(number))
            continue;
        const std::size_t dash = minors.find('-');
        const unsigned long first = std::strtoul(minors.c_str(), nullptr, 10);
        const unsigned long last = dash == std::string::npos
                                       ? first
                                       : std::strtoul(minors.c_str() + dash + 1, nullptr, 10);
        if (minor(number) >= first && minor(number) <= last)
            return type;
    }
    return std::nullopt;
}

// The pty master multiplexer, /dev/ptmx or a devpts instance's own pts/ptmx.
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;

// The pty index a master descriptor serves, from its fdinfo ("tty-index:\t3"), given
// relative to the folder `proc`; -1 when the kernel does not say.
long masterIndex(int proc, const char *fdinfo)
{
    const int info = ::openat(proc, fdinfo, O_RDONLY | O_CLOEXEC);
    if (info < 0)
        return -1;
    char text[1024];
    const ssize_t size = ::read(info, text, sizeof text - 1);
    ::close(info);
    if (size <= 0)
        return -1;
    text[size] = '\0';
    constexpr char kKey[] = "tty-index:";
    for (const char *line = text; line && *line; line = std::strchr(line, '\n')) {
        if (*line == '\n')
            ++line;
        if (std::strncmp(line, kKey, sizeof kKey - 1) == 0)
            return std::strtol(line + sizeof kKey - 1, nullptr, 10);
    }
    return -1;
}

// The names in a folder read with getdents64 into a buffer on the stack: the scan of
// /proc reads thousands of folders, and a DIR stream allocates a buffer for each.
class Names
{
public:
    explicit Names(int folder) : m_folder(folder) {}
    ~Names()
    {
        if (m_folder >= 0)
            ::close(m_folder);
    }
    Names(const Names &) = delete;
    Names &operator=(const Names &) = delete;

    int folder() const { return m_folder; }
    // The next name, or null at the end (or on a failure to read).
    const char *next()
    {
        if (m_folder < 0)
            return nullptr;
        if (m_at >= m_size) {
            const ssize_t size = ::getdents64(m_folder, m_buffer, sizeof m_buffer);
            if (size <= 0)
                return nullptr;
            m_size = size;
            m_at = 0;
        }
        const auto *entry = reinterpret_cast<const dirent64 *>(m_buffer + m_at);
        m_at += entry->d_reclen;
        return entry->d_name;
    }

private:
    int m_folder = -1;
    alignas(dirent64) char m_buffer[4096];
    ssize_t m_size = 0;
    ssize_t m_at = 0;
};

// The name Qt's serial port gives the lock of `device`: the path below /dev with its
// slashes turned into underscores; most terminal programs name it the same way.
QString libraryLockName(const QString &device)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

// Every name a lock of the device goes by: ours, for the path as given and as resolved;
// the UUCP one, LCK..<basename>; and the SVR4 one from the device numbers, LCK.MMM.mmm.
QStringList lockNames(const QString &device, dev_t number)
{
    QStringList names;
    const QString resolved = QFileInfo(device).canonicalFilePath();
    for (const QString &path : {device, resolved}) {
        if (path.isEmpty())
            continue;
        names << libraryLockName(path) << QStringLiteral("LCK..") + QFileInfo(path).fileName();
    }
    names << QString::asprintf("LCK.%03u.%03u", major(number), minor(number));
    names.removeDuplicates();
    return names;
}

// The lock folders that exist, each once even when one is a link to another.
QStringList existingLockFolders()
{
    QStringList folders;
    QList<QPair<dev_t, ino_t>> seen;
    for (const QString &folder : std::as_const(g_lockFolders)) {
        struct stat info = {};
        if (::stat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
            continue;
        if (seen.contains({info.st_dev, info.st_ino}))
            continue;
        seen.append({info.st_dev, info.st_ino});
        folders << folder;
    }
    return folders;
}

// The pid a lock file holds. Three formats are in use: the UUCP text one ("%10d\n", maybe
// followed by the program and user name), Qt's (the pid on the first line), and the old
// binary one (the pid as four bytes).
std::optional<pid_t> lockPid(const QByteArray &content)
{
    qsizetype at = 0;
    while (at < content.size() && content.at(at) == ' ')
        ++at;
    qsizetype end = at;
    while (end < content.size() && content.at(end) >= '0' && content.at(end) <= '9')
        ++end;
    if (end > at && end - at < 10 &&
        (end == content.size() || content.at(end) == '\n' || content.at(end) == ' ')) {
        const long pid = content.mid(at, end - at).toLong();
        if (pid > 0)
            return pid_t(pid);
        return std::nullopt;
    }
    if (content.size() == int(sizeof(std::int32_t))) {
        std::int32_t pid = 0;
        std::memcpy(&pid, content.constData(), sizeof pid);
        if (pid > 0)
            return pid_t(pid);
    }
    return std::nullopt;
}

// A process that exists, ours or not: EPERM means it lives under another user.
bool processLives(pid_t pid)
{
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// The pid of a process holding a flock on the device node.
std::optional<pid_t> flockHolder(const QString &device)
{
    if (const std::optional<long> pid = qm::flockHolder(QFile::encodeName(device).toStdString()))
        return pid_t(*pid);
    return std::nullopt;
}

QString heldBy(pid_t pid)
{
    if (pid == ::getpid())
        return QStringLiteral("the port is in use by this program already (pid %1)").arg(pid);
    return QStringLiteral("the port is in use by %1").arg(holderText(processRef(pid)));
}

QString octal(mode_t mode)
{
    return QStringLiteral("%1").arg(uint(mode & 07777), 4, 8, QLatin1Char('0'));
}

} // namespace

QString deviceItself(const QString &device)
{
    const QString real = QFileInfo(device).canonicalFilePath();
    return real.isEmpty() ? device : real;
}

std::optional<CommError> checkTerminalNode(const QString &device)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return CommError(CommError::Kind::NoDevice, osText(error));
        if (error == EACCES)
            return CommError(CommError::Kind::NoPermission, osText(error));
        return CommError(CommError::Kind::Io, osText(error));
    }
    if (!S_ISCHR(info.st_mode))
        return CommError(
            CommError::Kind::NotTerminal,
            QStringLiteral("%1 is %2, not a terminal device").arg(device, typeName(info.st_mode)));
    if (!terminalDriver(info.st_rdev))
        return CommError(CommError::Kind::NotTerminal,
                         QStringLiteral("%1 is not a terminal device").arg(device));
    return std::nullopt;
}

std::optional<CommError> checkDeviceNode(const QString &device)
{
    std::optional<CommError> failure = checkTerminalNode(device);
    if (failure && failure->kind() == CommError::Kind::NotTerminal)
        failure = CommError(failure->kind(),
                            failure->description() + QStringLiteral("; it was not opened"));
    return failure;
}

ProcessRef processRef(qint64 pid, const QString &procRoot)
{
    QFile comm(QStringLiteral("%1/%2/comm").arg(procRoot).arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return ProcessRef{pid, {}};
    return ProcessRef{pid, QString::fromLocal8Bit(comm.readAll()).trimmed()};
}

QString holderText(const ProcessRef &process)
{
    return QStringLiteral("%1 (pid %2)")
        .arg(process.name.isEmpty() ? QStringLiteral("another program") : process.name)
        .arg(process.pid);
}

QList<ProcessRef> processesWithDeviceOpen(const QString &device, const QString &procRoot,
                                          Holders first)
{
    QList<ProcessRef> holders;
    struct stat node = {};
    if (::stat(QFile::encodeName(device).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
        return holders;
    // Every process has /dev/null open: only a terminal has holders worth naming.
    const std::optional<std::string> driver = terminalDriver(node.st_rdev);
    if (!driver)
        return holders;
    // Slaves of separate devpts instances (a container's own /dev/pts) share device
    // numbers; the file system they live in tells them apart.
    const bool ptySlave = *driver == "pty:slave";
    const long ptyIndex = ptySlave ? long(minor(node.st_rdev)) : -1;

    // Every open runs this over every process, so it reads through descriptors: one
    // fstatat per descriptor, relative to the process's descriptor folder, and no paths
    // built beyond "<pid>/fd".
    const pid_t self = ::getpid();
    Names processes(
        ::open(QFile::encodeName(procRoot).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    char path[64];
    while (const char *entry = processes.next()) {
        char *end = nullptr;
        const long pid = std::strtol(entry, &end, 10);
        if (entry[0] < '1' || entry[0] > '9' || *end != '\0' || pid == self ||
            std::snprintf(path, sizeof path, "%ld/fd", pid) >= int(sizeof path))
            continue;
        // Gone meanwhile, or another user's without privileges: its folder is refused.
        Names fds(::openat(processes.folder(), path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        bool holds = false;
        bool servesIt = false;
        while (const char *fd = fds.next()) {
            if (fd[0] == '.')
                continue;
            struct stat opened = {};
            if (::fstatat(fds.folder(), fd, &opened, 0) != 0) {
                // A refusal holds for all of this process's descriptors.
                if (errno == EACCES || errno == EPERM)
                    break;
                continue;
            }
            if (!S_ISCHR(opened.st_mode))
                continue;
            if (opened.st_rdev == node.st_rdev && (!ptySlave || opened.st_dev == node.st_dev))
                holds = true;
            // Whatever name the master was opened by (/dev/ptmx, or /dev/pts/ptmx where
            // /dev/ptmx links to it), the multiplexer's device number is the same.
            else if (ptySlave && major(opened.st_rdev) == kPtmxMajor &&
                     minor(opened.st_rdev) == kPtmxMinor) {
                char info[64 + NAME_MAX];
                std::snprintf(info, sizeof info, "%ld/fdinfo/%s", pid, fd);
                const long index = masterIndex(processes.folder(), info);
                servesIt = servesIt || index == ptyIndex || index < 0;
            }
        }
        if (holds && !servesIt) {
            holders.append(processRef(pid, procRoot));
            if (first == Holders::First)
                break;
        }
    }
    return holders;
}

std::optional<CommError> checkOpenHolders(const QString &device)
{
    // The kernel's lock table and /proc show both without opening the device, so that the
    // other program's line is not touched (Qt's open would set our speed on it).
    if (const std::optional<pid_t> pid = flockHolder(device))
        return CommError(CommError::Kind::InUse, heldBy(*pid));
    // The open is refused for one as for several; the first is enough to name.
    const QList<ProcessRef> openers =
        processesWithDeviceOpen(device, QStringLiteral("/proc"), Holders::First);
    if (openers.isEmpty())
        return std::nullopt;
    QStringList names;
    for (const ProcessRef &process : openers)
        names.append(holderText(process));
    return CommError(CommError::Kind::InUse,
                     QStringLiteral("the port is in use by %1, which %2 it open")
                         .arg(names.join(QLatin1String(", ")),
                              names.size() > 1 ? QStringLiteral("have") : QStringLiteral("has")));
}

namespace {

// A lock file of a device as found in a lock folder.
struct LockEntry
{
    QString path;
    QString readError;        // why it cannot be read; empty when it was read
    std::optional<pid_t> pid; // the process it names, if it names one
};

// Every lock file of `device` (device number `rdev`) in the lock folders, under every name
// serial programs give one.
QList<LockEntry> lockEntries(const QString &device, dev_t rdev)
{
    QList<LockEntry> entries;
    for (const QString &folder : existingLockFolders()) {
        for (const QString &name : lockNames(device, rdev)) {
            QFile lock(folder + QLatin1Char('/') + name);
            if (!lock.open(QIODevice::ReadOnly)) {
                if (lock.exists())
                    entries.append({lock.fileName(), lock.errorString(), std::nullopt});
                continue;
            }
            entries.append({lock.fileName(), QString(), lockPid(lock.read(64))});
        }
    }
    return entries;
}

} // namespace

std::optional<CommError> checkLockFiles(const QString &device)
{
    struct stat node = {};
    if (::stat(QFile::encodeName(device).constData(), &node) != 0)
        return CommError(CommError::Kind::NoDevice, osText(errno));

    const QStringList folders = existingLockFolders();
    for (const LockEntry &lock : lockEntries(device, node.st_rdev)) {
        if (!lock.readError.isEmpty())
            return CommError(CommError::Kind::InUse,
                             QStringLiteral("the port is locked by %1, which cannot be read: %2")
                                 .arg(lock.path, lock.readError));
        if (!lock.pid)
            return CommError(CommError::Kind::InUse,
                             QStringLiteral("the port is locked by %1, which names no "
                                            "process; remove it if no program uses the "
                                            "port")
                                 .arg(lock.path));
        if (processLives(*lock.pid))
            return CommError(CommError::Kind::InUse, heldBy(*lock.pid));
        // The process that made the lock has ended: the lock is stale.
        if (::unlink(QFile::encodeName(lock.path).constData()) != 0 && errno != ENOENT) {
            const QString why = osText(errno);
            return CommError(CommError::Kind::LockFailed,
                             QStringLiteral("cannot remove the stale lock file %1 of "
                                            "pid %2, which has ended: %3")
                                 .arg(lock.path)
                                 .arg(*lock.pid)
                                 .arg(why));
        }
    }

    // Qt's serial port makes our lock file in the first lock folder; say why it cannot,
    // rather than let that pass as "in use".
    if (folders.isEmpty())
        return std::nullopt;
    const QString folder = folders.constFirst();
    const QByteArray encoded = QFile::encodeName(folder);
    const long nameMax = ::pathconf(encoded.constData(), _PC_NAME_MAX);
    int error = 0;
    if (QFile::encodeName(libraryLockName(deviceItself(device))).size() >
        (nameMax > 0 ? nameMax : NAME_MAX))
        error = ENAMETOOLONG;
    else if (::access(encoded.constData(), W_OK) != 0)
        error = errno;
    if (error != 0)
        return CommError(
            CommError::Kind::LockFailed,
            QStringLiteral("cannot create a lock file in %1: %2").arg(folder, osText(error)));
    return std::nullopt;
}

std::optional<LiveLock> findLiveLock(const QString &device)
{
    struct stat node = {};
    if (::stat(QFile::encodeName(device).constData(), &node) != 0)
        return std::nullopt;
    for (const LockEntry &lock : lockEntries(device, node.st_rdev)) {
        if (!lock.pid || processLives(*lock.pid))
            return LiveLock{lock.path, lock.pid ? qint64(*lock.pid) : 0};
    }
    return std::nullopt;
}

std::optional<qint64> flockHolderPid(const QString &device)
{
    if (const std::optional<pid_t> pid = flockHolder(device))
        return qint64(*pid);
    return std::nullopt;
}

std::optional<CommError> claimOpenDevice(int fd, const QString &device)
{
    if (!::isatty(fd))
        return CommError(CommError::Kind::NotTerminal,
                         QStringLiteral("%1 is not a terminal device").arg(device));
    // picocom, tio and others mark a port theirs with flock alone, without a lock file.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return CommError(CommError::Kind::InUse, inUseReason(device));
    return std::nullopt;
}

QString inUseReason(const QString &device)
{
    if (const std::optional<pid_t> pid = flockHolder(device))
        return heldBy(*pid);
    return QStringLiteral("the port is in use by another program");
}

QString accessFix(const QString &group, mode_t mode, const QString &user)
{
    constexpr mode_t kGroupRw = 0060;
    if ((mode & kGroupRw) == kGroupRw)
        return QStringLiteral("sudo adduser %1 %2, then log out and in again (a new group "
                              "counts only from the next login)")
            .arg(user, group);
    // Joining the device's group would not help: its group may not use it either.
    return QStringLiteral("have a udev rule give it group dialout and mode 0660 "
                          "(GROUP=\"dialout\", MODE=\"0660\")");
}

bool accessRefused(const QString &device)
{
    return ::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0 && errno == EACCES;
}

QString permissionFix(const QString &device)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0)
        return QStringLiteral("fix: sudo adduser $USER dialout, then log out and in again");
    const group *owningGroup = ::getgrgid(info.st_gid);
    const QString groupName = owningGroup != nullptr ? QString::fromLocal8Bit(owningGroup->gr_name)
                                                     : QString::number(info.st_gid);
    const QString fix = accessFix(groupName, info.st_mode, QStringLiteral("$USER"));
    if ((info.st_mode & 0060) == 0060)
        return QStringLiteral("only members of the group %1 may use %2; fix: %3")
            .arg(groupName, device, fix);
    const passwd *owner = ::getpwuid(info.st_uid);
    const QString ownerName =
        owner != nullptr ? QString::fromLocal8Bit(owner->pw_name) : QString::number(info.st_uid);
    return QStringLiteral("only %1 may use %2 (mode %3, group %4); fix: %5")
        .arg(ownerName, device, octal(info.st_mode), groupName, fix);
}

QStringList lockFolders()
{
    return g_lockFolders;
}

void setLockFolders(const QStringList &folders)
{
    g_lockFolders = folders;
}

QString staleLinkRefusal(const QString &link)
{
    const std::string lock = qm::servingLockPath(QFile::encodeName(link).toStdString());
    if (!qm::servingLockAbandoned(lock))
        return {};
    return QStringLiteral("the link %1 was left by a program that has stopped (nobody holds "
                          "%2), so it may lead to another program's device. Start that "
                          "program again, or remove the link")
        .arg(link, QFile::decodeName(lock.c_str()));
}

QString linkFolderRefusal(const QString &folder)
{
    return QString::fromStdString(qm::linkFolderRefusal(QFile::encodeName(folder).toStdString()));
}
