#include "portaccess.h"

// Elsewhere the operating system's own exclusive open guards the port, and there are no
// lock files or link folders to look at.

std::optional<AccessFailure> checkDeviceNode(const QString &)
{
    return std::nullopt;
}

std::optional<AccessFailure> checkLockFiles(const QString &)
{
    return std::nullopt;
}

std::optional<AccessFailure> claimOpenDevice(int, const QString &)
{
    return std::nullopt;
}

QString inUseReason(const QString &)
{
    return QStringLiteral("the port is in use by another program");
}

QString permissionFix(const QString &)
{
    return {};
}

QStringList lockFolders()
{
    return {};
}

void setLockFolders(const QStringList &) {}

QString staleLinkRefusal(const QString &)
{
    return {};
}

QString linkFolderRefusal(const QString &)
{
    return {};
}
