#pragma once

#include "commerror.h"

#include <QString>
#include <QStringList>

#include <optional>

// What the operating system has to say before and right after a device is opened as our
// port: that it is a terminal, that no other program holds it, and whether the link
// folder may be trusted. Each check returns the failure, or nothing when all is well.
struct AccessFailure
{
    CommError::Kind kind;
    QString reason;
};

// Refuses a device that is missing or not a character device, before anything opens it.
std::optional<AccessFailure> checkDeviceNode(const QString &device);

// Looks for other programs' lock files of `device` in the lock folders. A lock whose
// process lives is respected whatever its age or process name; a lock whose process is
// gone is removed. Also refuses when no lock file could be made for the device.
std::optional<AccessFailure> checkLockFiles(const QString &device);

// Right after the open: the descriptor must be a terminal, and we take an exclusive flock
// on it, held until it is closed, as the terminal programs that lock that way expect.
std::optional<AccessFailure> claimOpenDevice(int fd, const QString &device);

// The reason for a holder of `device` that our checks did not see: "in use", with the pid
// of a program holding a flock on it when there is one.
QString inUseReason(const QString &device);

// What to do about "Permission denied" on `device`: join its group and log in again.
QString permissionFix(const QString &device);

// The folders where serial programs leave lock files; a lock of ours goes in the first one
// that exists. Tests point them at a private folder, so that the machine's stay untouched.
QStringList lockFolders();
void setLockFolders(const QStringList &folders);

// Why the link folder is not trusted and how to fix that; empty when it is trusted or
// does not exist.
QString linkFolderRefusal(const QString &folder);

// A program that publishes a comN link (the simulator does) may hold a flock on
// "comN.lock" beside it while it serves. When that file is there and nobody holds it, the
// program has stopped and the link is stale: this says so; otherwise it is empty.
QString staleLinkRefusal(const QString &link);
