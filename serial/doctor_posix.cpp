#include "doctor.h"

#include "portaccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

QString groupName(gid_t gid)
{
    const group *entry = ::getgrgid(gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

QString userName(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

QString processName(qint64 pid, const QString &procRoot = QStringLiteral("/proc"))
{
    QFile comm(QStringLiteral("%1/%2/comm").arg(procRoot).arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

} // namespace

std::optional<LockHolder> liveLockHolder(const QString &device)
{
    const std::optional<LiveLock> lock = findLiveLock(device);
    if (!lock || lock->pid == qint64(::getpid()))
        return std::nullopt;
    return LockHolder{lock->lockFile,
                      ProcessRef{lock->pid, lock->pid > 0 ? processName(lock->pid) : QString()}};
}

DeviceFacts deviceFacts(const QString &device, const QString &label)
{
    DeviceFacts facts;
    facts.device = device;
    facts.label = label.isEmpty() ? device : label;
    struct stat info = {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0)
        return facts;
    facts.exists = true;
    facts.isCharDevice = S_ISCHR(info.st_mode);
    facts.owner = info.st_uid;
    facts.ownerName = userName(info.st_uid);
    facts.group = info.st_gid;
    facts.groupName = groupName(info.st_gid);
    facts.mode = info.st_mode & 07777;
    return facts;
}

UserFacts currentUserFacts()
{
    UserFacts facts;
    facts.uid = ::getuid();
    facts.name = userName(facts.uid);

    const gid_t primary = ::getgid();
    if (const passwd *entry = ::getpwuid(facts.uid)) {
        int count = 32;
        std::vector<gid_t> groups(std::size_t(count), 0);
        // getgrouplist says how many it needs when the buffer is too small.
        if (::getgrouplist(entry->pw_name, entry->pw_gid, groups.data(), &count) < 0) {
            groups.resize(std::size_t(count));
            ::getgrouplist(entry->pw_name, entry->pw_gid, groups.data(), &count);
        }
        for (int i = 0; i < count; ++i)
            facts.accountGroups.append(groups[std::size_t(i)]);
    }

    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(std::size_t(count > 0 ? count : 0), 0);
    const int got = count > 0 ? ::getgroups(count, groups.data()) : 0;
    for (int i = 0; i < got; ++i)
        facts.processGroups.append(groups[std::size_t(i)]);
    if (!facts.processGroups.contains(primary))
        facts.processGroups.append(primary);
    return facts;
}

QStringList runningProcessNames(const QString &procRoot)
{
    QStringList names;
    const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString name = processName(pid, procRoot);
        if (!name.isEmpty() && !names.contains(name))
            names.append(name);
    }
    return names;
}

QList<ProcessRef> processesWithDeviceOpen(const QString &device, const QString &procRoot)
{
    QList<ProcessRef> holders;
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty())
        return holders;
    const bool pseudoTerminal = target.startsWith(QLatin1String("/dev/pts/"));
    const qint64 self = ::getpid();
    const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || pid == self)
            continue;
        // Other users' descriptors cannot be read without root; those stay unseen here.
        const QDir fds(QStringLiteral("%1/%2/fd").arg(procRoot, entry));
        const QFileInfoList links =
            fds.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        bool holds = false;
        bool ptyMaster = false;
        for (const QFileInfo &link : links) {
            const QString opened = link.symLinkTarget();
            holds = holds || opened == target;
            // Containers often make /dev/ptmx a link to the devpts instance's own node.
            ptyMaster = ptyMaster || opened == QLatin1String("/dev/ptmx") ||
                        opened == QLatin1String("/dev/pts/ptmx");
        }
        // The program that made a pseudo-terminal (the simulator) keeps its device end
        // open to serve it; it is the device, not another user of it.
        if (holds && !(ptyMaster && pseudoTerminal))
            holders.append(ProcessRef{pid, processName(pid, procRoot)});
    }
    return holders;
}

HolderFacts holderFacts(const QString &device, bool trialOpen, const LockLookup &lockLookup)
{
    HolderFacts facts;
    facts.lock = lockLookup ? lockLookup(device) : liveLockHolder(device);
    facts.openedBy = processesWithDeviceOpen(device);
    // The kernel's lock table shows a flock without opening the device.
    if (const std::optional<qint64> pid = flockHolderPid(device); pid && *pid != ::getpid()) {
        facts.flockHeld = true;
        facts.flockPid = *pid;
    }
    if (!trialOpen)
        return facts;
    // Opening does not change the line settings; closing puts nothing back because
    // nothing was set. O_NONBLOCK keeps a device without carrier from stalling the open.
    const int fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        facts.openErrno = errno;
        return facts;
    }
    facts.openErrno = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        facts.flockHeld = true;
    else
        ::flock(fd, LOCK_UN);
    ::close(fd);
    return facts;
}

LinkFolderFacts linkFolderFacts(const QString &path)
{
    LinkFolderFacts facts;
    facts.path = path;
    struct stat info = {};
    if (path.isEmpty() || ::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return facts;
    facts.exists = true;
    facts.refusal = linkFolderRefusal(path);
    if (!S_ISDIR(info.st_mode))
        return facts;
    const QFileInfoList entries = QDir(path).entryInfoList(
        {QStringLiteral("com*")}, QDir::System | QDir::AllEntries, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink())
            continue;
        facts.links.append(entry.fileName());
        if (const QString stale = staleLinkRefusal(entry.filePath()); !stale.isEmpty())
            facts.staleLinks.append(stale);
        else if (!entry.exists())
            facts.danglingLinks.append(
                QStringLiteral("%1 -> %2").arg(entry.fileName(), entry.symLinkTarget()));
    }
    return facts;
}
