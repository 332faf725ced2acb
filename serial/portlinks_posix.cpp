#include "portlinks.h"

#include "commerror.h"
#include "linkfolder.h"
#include "networkaddress.h"
#include "portaccess.h"
#include "portnames.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString osText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A program that publishes a link (the simulator) holds a lock beside it while it serves;
// its link is not ours to take. A lock nobody holds is what a stopped program left: it
// goes with the link, or it would refuse the next link of that number as stale.
void takeOverServingLock(int port, const QString &link)
{
    const std::string lock = qm::servingLockPath(QFile::encodeName(link).toStdString());
    struct stat info = {};
    if (::stat(lock.c_str(), &info) != 0)
        return;
    if (!qm::servingLockAbandoned(lock))
        throw CommError(CommError::Kind::InUse,
                        QStringLiteral("%1: %2 is served by a running program (it holds %3); "
                                       "stop that program first")
                            .arg(portName(port))
                            .arg(link, QFile::decodeName(lock.c_str())));
    ::unlink(lock.c_str());
}

// Why `target` may not become port `port`'s link: following it passes through that very
// link, so the link would lead to itself. Empty when it does not.
QString linkLoop(int port, const QString &target)
{
    struct stat link = {};
    if (::lstat(QFile::encodeName(portLinkPath(port)).constData(), &link) != 0)
        return {};
    // The kernel gives up after 40 links; so does this walk.
    constexpr int kMostHops = 40;
    QString hop = target;
    for (int step = 0; step < kMostHops; ++step) {
        struct stat info = {};
        if (::lstat(QFile::encodeName(hop).constData(), &info) != 0)
            return {};
        if (info.st_dev == link.st_dev && info.st_ino == link.st_ino)
            return QStringLiteral("%1: %2 leads back to %3, the link of %1 itself; link "
                                  "the device")
                .arg(portName(port))
                .arg(target, portLinkPath(port));
        if (!S_ISLNK(info.st_mode))
            return {};
        const QString next = QFileInfo(hop).symLinkTarget();
        if (next.isEmpty())
            return {};
        hop = next;
    }
    return QStringLiteral("%1: %2 is a loop of links").arg(portName(port)).arg(target);
}

} // namespace

QString makePortLink(int port, const QString &target)
{
    requirePortNumber(port);
    const QByteArray targetPath = QFile::encodeName(target);
    // A server's address is checked for its form only: linking connects to nothing.
    if (isNetworkAddress(target)) {
        QString why;
        if (!readNetworkAddress(target, &why))
            throw CommError(CommError::Kind::NoSuchPort,
                            QStringLiteral("COM %1: %2").arg(port).arg(why));
    } else if (const QString loop = linkLoop(port, target); !loop.isEmpty())
        throw CommError(CommError::Kind::LinkRefused, loop);
    else if (const std::optional<CommError> refusal = checkTerminalNode(target)) {
        if (refusal->kind() == CommError::Kind::NotTerminal)
            throw CommError(
                refusal->kind(),
                QStringLiteral("%1: %2 is not a serial device").arg(portName(port)).arg(target));
        throw CommError(
            refusal->kind(),
            QStringLiteral("%1: %2: %3").arg(portName(port)).arg(target, refusal->description()));
    }

    const QString folder = portLinkFolder();
    if (const std::string refusal = qm::ensureLinkFolder(QFile::encodeName(folder).toStdString());
        !refusal.empty())
        throw CommError(QFileInfo(folder).isDir() ? CommError::Kind::LinkRefused
                                                  : CommError::Kind::Io,
                        QString::fromStdString(refusal));

    const QString name = portLinkPath(port);
    const QFileInfo existing(name);
    QString previous;
    if (existing.isSymLink()) {
        previous = QFile::decodeName(qm::linkText(QFile::encodeName(name).toStdString()).c_str());
        if (!isNetworkAddress(previous))
            previous = existing.symLinkTarget();
    } else if (existing.exists())
        throw CommError(
            CommError::Kind::Io,
            QStringLiteral("%1: %2 is not a link; remove it first").arg(portName(port)).arg(name));
    takeOverServingLock(port, name);

    // A link made aside and renamed over the old one: the port never names nothing, and a
    // program opening it meanwhile gets either the old device or the new one.
    const QString aside = name + QStringLiteral(".new");
    const QByteArray asidePath = QFile::encodeName(aside);
    ::unlink(asidePath.constData());
    if (::symlink(targetPath.constData(), asidePath.constData()) != 0 ||
        ::rename(asidePath.constData(), QFile::encodeName(name).constData()) != 0) {
        const int error = errno;
        ::unlink(asidePath.constData());
        throw CommError(CommError::Kind::Io, QStringLiteral("%1: cannot make the link %2: %3")
                                                 .arg(portName(port))
                                                 .arg(name, osText(error)));
    }
    return previous;
}

bool removePortLink(int port)
{
    requirePortNumber(port);
    const QString folder = portLinkFolder();
    struct stat info = {};
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0)
        return false;
    // Removing a link of our own from a folder open to others is harmless; reaching
    // through a folder that is a link or someone else's is not.
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
        throw CommError(CommError::Kind::LinkRefused, linkFolderRefusal(folder));

    const QString name = portLinkPath(port);
    const QFileInfo existing(name);
    if (!existing.isSymLink()) {
        if (existing.exists())
            throw CommError(CommError::Kind::Io,
                            QStringLiteral("%1: %2 is not a link; it is left alone")
                                .arg(portName(port))
                                .arg(name));
        return false;
    }
    takeOverServingLock(port, name);
    if (::unlink(QFile::encodeName(name).constData()) != 0)
        throw CommError(CommError::Kind::Io, QStringLiteral("%1: cannot remove %2: %3")
                                                 .arg(portName(port))
                                                 .arg(name, osText(errno)));
    return true;
}
