#include "doctor.h"

#include "portaccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
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

bool processAlive(qint64 pid)
{
    // EPERM: the process exists but belongs to someone else; it is alive all the same.
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// The pid a lock file holds. Three formats are in use: Qt's (pid, program and host, one a
// line), the UUCP one ("%10d\n", sometimes followed by program and user) and a bare
// binary pid of four bytes from old programs.
qint64 lockFilePid(const QByteArray &content)
{
    if (content.size() == int(sizeof(qint32))) {
        const bool text = std::all_of(content.begin(), content.end(), [](char c) {
            return (c >= '0' && c <= '9') || c == ' ' || c == '\n';
        });
        if (!text) {
            qint32 pid = 0;
            std::memcpy(&pid, content.constData(), sizeof pid);
            return pid;
        }
    }
    const QList<QByteArray> words = content.simplified().split(' ');
    bool ok = false;
    const qint64 pid = words.isEmpty() ? 0 : words.first().toLongLong(&ok);
    return ok ? pid : 0;
}

} // namespace

std::optional<LockHolder> readLockFolders(const QString &device)
{
    return readLockFolders(device, lockFolders());
}

std::optional<LockHolder> readLockFolders(const QString &device, const QStringList &folders)
{
    // Programs name the lock after the device's file name; Qt uses the path below /dev
    // with '/' turned into '_' (so /dev/pts/3 is LCK..pts_3).
    QString below = device;
    if (below.startsWith(QLatin1String("/dev/")))
        below = below.mid(5);
    below.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QStringList names{QStringLiteral("LCK..") + QFileInfo(device).fileName(),
                            QStringLiteral("LCK..") + below};
    QStringList seen;
    for (const QString &folder : folders) {
        // /var/lock is usually a link to /run/lock; read each real folder once.
        const QString real = QFileInfo(folder).canonicalFilePath();
        if (real.isEmpty() || seen.contains(real))
            continue;
        seen.append(real);
        for (const QString &name : names) {
            QFile lock(real + QLatin1Char('/') + name);
            if (!lock.open(QIODevice::ReadOnly))
                continue;
            const qint64 pid = lockFilePid(lock.read(256));
            if (pid != qint64(::getpid()) && processAlive(pid))
                return LockHolder{lock.fileName(), ProcessRef{pid, processName(pid)}};
        }
    }
    return std::nullopt;
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
            ptyMaster = ptyMaster || opened == QLatin1String("/dev/ptmx");
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
    facts.lock = lockLookup ? lockLookup(device) : readLockFolders(device);
    facts.openedBy = processesWithDeviceOpen(device);
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
