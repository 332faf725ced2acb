#include "portlinks.h"

#include "commerror.h"
#include "doctor.h"
#include "portnames.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString osText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The link folder as it must be before a link in it is touched.
void requireSafeFolder(const QString &folder)
{
    for (const Verdict &verdict : checkLinkFolder(linkFolderFacts(folder))) {
        if (verdict.level == Verdict::Level::Problem)
            throw CommError(CommError::Kind::NoPermission,
                            verdict.text + QStringLiteral("; fix: ") + verdict.fix);
    }
}

QString linkName(int port)
{
    return portLinkFolder() + QStringLiteral("/com%1").arg(port);
}

} // namespace

QString makePortLink(int port, const QString &target)
{
    requirePortNumber(port);
    struct stat info = {};
    const QByteArray targetPath = QFile::encodeName(target);
    if (::stat(targetPath.constData(), &info) != 0)
        throw CommError(CommError::Kind::NoDevice,
                        QStringLiteral("COM %1: %2: %3").arg(port).arg(target, osText(errno)));
    if (!S_ISCHR(info.st_mode))
        throw CommError(CommError::Kind::NoDevice,
                        QStringLiteral("COM %1: %2 is not a serial device").arg(port).arg(target));

    const QString folder = portLinkFolder();
    const QByteArray folderPath = QFile::encodeName(folder);
    struct stat folderInfo = {};
    if (::lstat(folderPath.constData(), &folderInfo) != 0) {
        // mkdir honours the umask; the mode is set again explicitly.
        if (::mkdir(folderPath.constData(), 0700) != 0 ||
            ::chmod(folderPath.constData(), 0700) != 0)
            throw CommError(
                CommError::Kind::Io,
                QStringLiteral("cannot make the link folder %1: %2").arg(folder, osText(errno)));
    }
    requireSafeFolder(folder);

    const QString name = linkName(port);
    const QFileInfo existing(name);
    QString previous;
    if (existing.isSymLink())
        previous = existing.symLinkTarget();
    else if (existing.exists())
        throw CommError(
            CommError::Kind::Io,
            QStringLiteral("COM %1: %2 is not a link; remove it first").arg(port).arg(name));

    // A link made aside and renamed over the old one: the port never names nothing, and a
    // program opening it meanwhile gets either the old device or the new one.
    const QString aside = name + QStringLiteral(".new");
    const QByteArray asidePath = QFile::encodeName(aside);
    ::unlink(asidePath.constData());
    if (::symlink(targetPath.constData(), asidePath.constData()) != 0 ||
        ::rename(asidePath.constData(), QFile::encodeName(name).constData()) != 0) {
        const int error = errno;
        ::unlink(asidePath.constData());
        throw CommError(CommError::Kind::Io, QStringLiteral("COM %1: cannot make the link %2: %3")
                                                 .arg(port)
                                                 .arg(name, osText(error)));
    }
    return previous;
}

bool removePortLink(int port)
{
    requirePortNumber(port);
    const QString folder = portLinkFolder();
    if (!QFileInfo(folder).exists())
        return false;
    const LinkFolderFacts facts = linkFolderFacts(folder);
    // Removing a link of our own from a folder open to others is harmless; reaching
    // through a folder that is a link or someone else's is not.
    if (facts.isSymLink || !facts.isDir || facts.owner != facts.uid)
        requireSafeFolder(folder);

    const QString name = linkName(port);
    const QFileInfo existing(name);
    if (!existing.isSymLink()) {
        if (existing.exists())
            throw CommError(
                CommError::Kind::Io,
                QStringLiteral("COM %1: %2 is not a link; it is left alone").arg(port).arg(name));
        return false;
    }
    if (::unlink(QFile::encodeName(name).constData()) != 0)
        throw CommError(
            CommError::Kind::Io,
            QStringLiteral("COM %1: cannot remove %2: %3").arg(port).arg(name, osText(errno)));
    return true;
}
