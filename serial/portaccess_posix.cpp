#include "portaccess.h"

#include "linkfolder.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
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
    return QStringLiteral("the port is in use by another program (pid %1)").arg(pid);
}

} // namespace

std::optional<AccessFailure> checkDeviceNode(const QString &device)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return AccessFailure{CommError::Kind::NoDevice, osText(error)};
        if (error == EACCES)
            return AccessFailure{CommError::Kind::NoPermission, osText(error)};
        return AccessFailure{CommError::Kind::Io, osText(error)};
    }
    if (!S_ISCHR(info.st_mode))
        return AccessFailure{CommError::Kind::NotTerminal,
                             QStringLiteral("%1 is %2, not a terminal device; it was not opened")
                                 .arg(device, typeName(info.st_mode))};
    return std::nullopt;
}

std::optional<AccessFailure> checkLockFiles(const QString &device)
{
    struct stat node = {};
    if (::stat(QFile::encodeName(device).constData(), &node) != 0)
        return AccessFailure{CommError::Kind::NoDevice, osText(errno)};

    const QStringList folders = existingLockFolders();
    const QStringList names = lockNames(device, node.st_rdev);
    for (const QString &folder : folders) {
        for (const QString &name : names) {
            const QString path = folder + QLatin1Char('/') + name;
            QFile lock(path);
            if (!lock.open(QIODevice::ReadOnly)) {
                if (!lock.exists())
                    continue;
                return AccessFailure{
                    CommError::Kind::InUse,
                    QStringLiteral("the port is locked by %1, which cannot be read: %2")
                        .arg(path, lock.errorString())};
            }
            const std::optional<pid_t> pid = lockPid(lock.read(64));
            if (!pid)
                return AccessFailure{CommError::Kind::InUse,
                                     QStringLiteral("the port is locked by %1, which names no "
                                                    "process; remove it if no program uses the "
                                                    "port")
                                         .arg(path)};
            if (processLives(*pid))
                return AccessFailure{CommError::Kind::InUse, heldBy(*pid)};
            // The process that made the lock has ended: the lock is stale.
            if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
                const QString why = osText(errno);
                return AccessFailure{CommError::Kind::LockFailed,
                                     QStringLiteral("cannot remove the stale lock file %1 of "
                                                    "pid %2, which has ended: %3")
                                         .arg(path)
                                         .arg(*pid)
                                         .arg(why)};
            }
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
    if (QFile::encodeName(libraryLockName(device)).size() > (nameMax > 0 ? nameMax : NAME_MAX))
        error = ENAMETOOLONG;
    else if (::access(encoded.constData(), W_OK) != 0)
        error = errno;
    if (error != 0)
        return AccessFailure{
            CommError::Kind::LockFailed,
            QStringLiteral("cannot create a lock file in %1: %2").arg(folder, osText(error))};
    return std::nullopt;
}

std::optional<LiveLock> findLiveLock(const QString &device)
{
    struct stat node = {};
    if (::stat(QFile::encodeName(device).constData(), &node) != 0)
        return std::nullopt;
    for (const QString &folder : existingLockFolders()) {
        for (const QString &name : lockNames(device, node.st_rdev)) {
            QFile lock(folder + QLatin1Char('/') + name);
            if (!lock.exists())
                continue;
            const std::optional<pid_t> pid =
                lock.open(QIODevice::ReadOnly) ? lockPid(lock.read(64)) : std::nullopt;
            if (!pid || processLives(*pid))
                return LiveLock{lock.fileName(), pid ? qint64(*pid) : 0};
        }
    }
    return std::nullopt;
}

std::optional<qint64> flockHolderPid(const QString &device)
{
    if (const std::optional<pid_t> pid = flockHolder(device))
        return qint64(*pid);
    return std::nullopt;
}

std::optional<AccessFailure> claimOpenDevice(int fd, const QString &device)
{
    if (!::isatty(fd))
        return AccessFailure{CommError::Kind::NotTerminal,
                             QStringLiteral("%1 is not a terminal device").arg(device)};
    // picocom, tio and others mark a port theirs with flock alone, without a lock file.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return AccessFailure{CommError::Kind::InUse, inUseReason(device)};
    return std::nullopt;
}

QString inUseReason(const QString &device)
{
    if (const std::optional<pid_t> pid = flockHolder(device))
        return heldBy(*pid);
    return QStringLiteral("the port is in use by another program");
}

QString permissionFix(const QString &device)
{
    struct stat info = {};
    const group *owner = ::stat(QFile::encodeName(device).constData(), &info) == 0
                             ? ::getgrgid(info.st_gid)
                             : nullptr;
    const QString name =
        owner != nullptr ? QString::fromLocal8Bit(owner->gr_name) : QStringLiteral("dialout");
    return QStringLiteral("only members of the group %1 may use %2. Add your user to it "
                          "(sudo adduser $USER %1), then log out and in again: a new group "
                          "counts only from the next login")
        .arg(name, device);
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
