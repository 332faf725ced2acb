#pragma once

#include "linesettings.h"

#include "portaccess.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <sys/types.h>

// The checks of the PC side that tell why a port cannot be used. Each check takes the
// facts it judges and returns a verdict; gathering the facts from the running system is
// separate, so the verdicts can be tried on any made-up situation.

struct Verdict
{
    enum class Check { Device, Access, Holder, Grabber, LinkFolder, Server };
    enum class Level { Ok, Warning, Problem };
    Check check = Check::Device;
    Level level = Level::Ok;
    QString text; // one line: what was found
    QString fix;  // what to do about it; empty when nothing needs doing
};

struct DeviceFacts
{
    QString label; // "COM 33 (/dev/ttyUSB0)", or the device alone
    QString device;
    bool exists = false;
    bool isCharDevice = false;
    bool isTerminal = false; // a terminal driver serves it (not /dev/null, say)
    uid_t owner = 0;
    QString ownerName;
    gid_t group = 0;
    QString groupName;
    mode_t mode = 0; // the permission bits
};

struct UserFacts
{
    QString name;
    uid_t uid = 0;
    QList<gid_t> accountGroups; // what the account database gives a fresh login
    QList<gid_t> processGroups; // what this login has now
};

// A lock file naming the device whose process is alive.
struct LockHolder
{
    QString lockFile;
    ProcessRef process;
};

struct HolderFacts
{
    std::optional<LockHolder> lock;
    QList<ProcessRef> openedBy; // other processes of this user with the device open
    // How a trial open went: 0 when it opened, otherwise the errno; none when not tried.
    std::optional<int> openErrno;
    bool flockHeld = false; // another descriptor holds flock() on the device
    qint64 flockPid = 0;    // its holder, when the kernel's lock table names it
    QString flockName;      // and that holder's name
};

struct LinkFolderFacts
{
    QString path;
    bool exists = false;
    QString refusal;   // why its links are not followed, with the fix; empty if they are
    QStringList links; // the comN links it holds
    // By link name ("com6"): "comN -> target" of links whose target is missing, and why
    // each link left by a stopped program is refused.
    QMap<QString, QString> danglingLinks;
    QMap<QString, QString> staleLinks;
};

Verdict checkDevice(const DeviceFacts &device);
Verdict checkAccess(const DeviceFacts &device, const UserFacts &user);
Verdict checkHolders(const DeviceFacts &device, const HolderFacts &holders);
// Services known to take serial devices from under a program; `device` and `vendorId`
// narrow the verdict to one port when given.
QList<Verdict> checkGrabbers(const QStringList &runningProcesses, const QString &device = {},
                             std::optional<quint16> vendorId = std::nullopt);
// With `askedLink` ("com5"), the port asked about: a stale link of another port is only a
// warning then, since it stands in the way of that port alone.
QList<Verdict> checkLinkFolder(const LinkFolderFacts &folder, const QString &askedLink = {});

// "ok   ...", "warn ...", "FAIL ..." and, below a finding, "     fix: ...".
QString formatVerdict(const Verdict &verdict);

// ---- gathering the facts from the running system ----

// Finds a lock file naming the device that is to be respected. A parameter wherever locks
// are read, so that tests can make up the lock folders' contents.
using LockLookup = std::function<std::optional<LockHolder>(const QString &device)>;

// The serial layer's own reading of the lock folders (findLiveLock), with the holder's
// name; a lock of this very process does not count.
std::optional<LockHolder> liveLockHolder(const QString &device);

DeviceFacts deviceFacts(const QString &device, const QString &label = {});
UserFacts currentUserFacts();
// The command names of running processes, from `procRoot` (/proc).
QStringList runningProcessNames(const QString &procRoot = QStringLiteral("/proc"));
// With `trialOpen`, the device is also opened and closed again, without changing its
// settings, to see whether another program holds it exclusively or by flock().
// Without a lookup, liveLockHolder() is used.
HolderFacts holderFacts(const QString &device, bool trialOpen, const LockLookup &lockLookup = {});
LinkFolderFacts linkFolderFacts(const QString &path);

// Every check for port `port`, or without a port for the system and each port that is
// present; reads the running system and changes nothing.
QList<Verdict> runDoctor(std::optional<int> port, const LockLookup &lockLookup = {});
// The checks of one device named by its path, as for a port asked about.
QList<Verdict> runDoctorOnDevice(const QString &device, const LockLookup &lockLookup = {});
// A serial device server (rfc2217://, tcp://): connects once at `line`, as a command would,
// and says what it found; `label` names the port.
Verdict checkServer(const QString &label, const QString &address, const LineSettings &line);
