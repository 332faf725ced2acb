#pragma once

#include "commerror.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

// What the operating system has to say before and right after a device is opened as our
// port: that it is a terminal, that no other program holds it, and whether the link
// folder may be trusted. Each check returns the failure, or nothing when all is well.

// The device a path leads to, links resolved: the name our port is opened by, and so the
// name of its lock file, since other programs look for the lock of the device itself
// (LCK..ttyUSB0), not of a link that led to it. The path as given when it cannot be
// resolved.
QString deviceItself(const QString &device);

// Refuses a device that is missing or no terminal (a file, a folder, /dev/null), before
// anything opens it; the reason says what it is instead.
std::optional<CommError> checkTerminalNode(const QString &device);
// The same, for a device about to be opened as our port.
std::optional<CommError> checkDeviceNode(const QString &device);

// A process as the system names it: its command name from /proc (empty when unknown).
struct ProcessRef
{
    qint64 pid = 0;
    QString name;
};
ProcessRef processRef(qint64 pid, const QString &procRoot = QStringLiteral("/proc"));
// "picocom (pid 4242)", or "another program (pid 4242)" when its name cannot be read.
QString holderText(const ProcessRef &process);

// Processes other than this one that have the terminal `device` open, matched by device
// number whatever name they opened it by. The program that made a pseudo-terminal (the
// simulator) keeps its master end open to serve it: that is the device, not a holder.
// Other users' descriptors are unreadable without privileges, so their programs stay
// unseen here; the device's permissions and the lock files still keep them apart.
// Holders::First stops at the first one found.
enum class Holders { All, First };
QList<ProcessRef> processesWithDeviceOpen(const QString &device,
                                          const QString &procRoot = QStringLiteral("/proc"),
                                          Holders first = Holders::All);

// Before opening: refuses a device that another program holds without a lock file, with
// a flock on it (as picocom and tio do) or merely open (as minicom does), naming it.
std::optional<CommError> checkOpenHolders(const QString &device);

// Looks for other programs' lock files of `device` in the lock folders. A lock whose
// process lives is respected whatever its age or process name; a lock whose process is
// gone is removed. Also refuses when no lock file could be made for the device.
std::optional<CommError> checkLockFiles(const QString &device);

// A lock file of `device` that checkLockFiles would respect: its process lives, or it
// names none. Only looks; removes nothing. `pid` is 0 when the file names no process.
struct LiveLock
{
    QString lockFile;
    qint64 pid = 0;
};
std::optional<LiveLock> findLiveLock(const QString &device);

// The pid of a process holding a flock on `device`, from the kernel's lock table.
std::optional<qint64> flockHolderPid(const QString &device);

// Right after the open: the descriptor must be a terminal, and we take an exclusive flock
// on it, held until it is closed, as the terminal programs that lock that way expect.
std::optional<CommError> claimOpenDevice(int fd, const QString &device);

// The reason for a holder of `device` that our checks did not see: "in use", with the pid
// of a program holding a flock on it when there is one.
QString inUseReason(const QString &device);

// Whether this user's access to `device` is refused by its permissions: the operating
// system's own answer, whatever a library left in errno after a failed open.
bool accessRefused(const QString &device);

// What to do about "Permission denied" on `device`: join its group and log in again when
// its group may use it, or have a udev rule give it one when no group may.
QString permissionFix(const QString &device);
// The fix alone, for a device of group `group` and permission bits `mode` that `user` may
// not open: the doctor gives the same one.
QString accessFix(const QString &group, mode_t mode, const QString &user);

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
