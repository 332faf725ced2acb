#include "doctor.h"

#include "networkline.h"

#include "portinfo.h"
#include "portnames.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace {

Verdict verdict(Verdict::Check check, Verdict::Level level, const QString &text,
                const QString &fix = {})
{
    return Verdict{check, level, text, fix};
}

QString octal(mode_t mode)
{
    return QStringLiteral("%1").arg(uint(mode & 07777), 4, 8, QLatin1Char('0'));
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

constexpr quint16 kCh340Vendor = 0x1a86;
constexpr quint16 kCp210xVendor = 0x10c4;

} // namespace

Verdict checkDevice(const DeviceFacts &device)
{
    using L = Verdict::Level;
    const auto check = Verdict::Check::Device;
    if (!device.exists)
        return verdict(check, L::Problem,
                       QStringLiteral("%1: the device does not exist").arg(device.label),
                       QStringLiteral("plug the adapter in, or find its name with "
                                      "`ls /dev/serial/by-id` and link a port number to it"));
    if (!device.isCharDevice || !device.isTerminal)
        return verdict(
            check, L::Problem,
            QStringLiteral("%1: %2 is not a serial device").arg(device.label, device.device),
            QStringLiteral("point the port at the adapter's device instead"));
    return verdict(check, L::Ok, QStringLiteral("%1: the device exists").arg(device.label));
}

Verdict checkAccess(const DeviceFacts &device, const UserFacts &user)
{
    using L = Verdict::Level;
    const auto check = Verdict::Check::Access;
    const QString &label = device.label;
    const QString &group = device.groupName;
    if (user.uid == 0)
        return verdict(check, L::Ok, QStringLiteral("%1: you are root and may open it").arg(label));

    constexpr mode_t kOwnerRw = 0600, kGroupRw = 0060, kOtherRw = 0006;
    const bool groupMay = (device.mode & kGroupRw) == kGroupRw;
    if (device.owner == user.uid && (device.mode & kOwnerRw) == kOwnerRw)
        return verdict(check, L::Ok, QStringLiteral("%1: it is yours; you may open it").arg(label));
    if ((device.mode & kOtherRw) == kOtherRw)
        return verdict(
            check, L::Ok,
            QStringLiteral("%1: everyone may open it (mode %2)").arg(label, octal(device.mode)));
    if (groupMay && user.processGroups.contains(device.group))
        return verdict(
            check, L::Ok,
            QStringLiteral("%1: you may open it as a member of group %2").arg(label, group));
    if (groupMay && user.accountGroups.contains(device.group))
        // Group membership is read once, at login: joining a group changes nothing for
        // the sessions that are already running.
        return verdict(check, L::Problem,
                       QStringLiteral("%1: you are in group %2, but this login started before "
                                      "you joined it")
                           .arg(label, group),
                       QStringLiteral("log out and in again (or run `newgrp %1` in this "
                                      "terminal)")
                           .arg(group));
    const QString fix = accessFix(group, device.mode, user.name);
    if (groupMay)
        return verdict(check, L::Problem,
                       QStringLiteral("%1: only members of group %2 may open it, and you are not "
                                      "one")
                           .arg(label, group),
                       fix);
    return verdict(check, L::Problem,
                   QStringLiteral("%1: only %2 may open it (mode %3, group %4)")
                       .arg(label, device.ownerName, octal(device.mode), group),
                   fix);
}

Verdict checkHolders(const DeviceFacts &device, const HolderFacts &holders)
{
    using L = Verdict::Level;
    const auto check = Verdict::Check::Holder;
    const QString &label = device.label;
    if (holders.lock && holders.lock->process.pid == 0)
        return verdict(check, L::Problem,
                       QStringLiteral("%1: locked by %2, which names no process")
                           .arg(label, holders.lock->lockFile),
                       QStringLiteral("remove it if no program uses the port"));
    if (holders.lock)
        return verdict(check, L::Problem,
                       QStringLiteral("%1: in use by %2, which holds the lock file %3")
                           .arg(label, holderText(holders.lock->process), holders.lock->lockFile),
                       QStringLiteral("close that program"));
    if (!holders.openedBy.isEmpty()) {
        QStringList names;
        for (const ProcessRef &process : holders.openedBy)
            names.append(holderText(process));
        return verdict(check, L::Problem,
                       QStringLiteral("%1: open in %2").arg(label, names.join(QLatin1String(", "))),
                       QStringLiteral("close that program"));
    }
    if (holders.flockHeld && holders.flockPid > 0)
        return verdict(check, L::Problem,
                       QStringLiteral("%1: %2 holds it (flock)")
                           .arg(label, holderText({holders.flockPid, holders.flockName})),
                       QStringLiteral("close that program"));
    if (holders.flockHeld)
        return verdict(check, L::Problem,
                       QStringLiteral("%1: another program holds it (flock)").arg(label),
                       QStringLiteral("close the program that has it open (`sudo fuser -v %1` "
                                      "names it)")
                           .arg(device.device));
    if (holders.openErrno && *holders.openErrno == EBUSY)
        return verdict(
            check, L::Problem,
            QStringLiteral("%1: another program has it open for itself alone").arg(label),
            QStringLiteral("close the program that has it open (`sudo fuser -v %1` "
                           "names it)")
                .arg(device.device));
    // Permission and absence have checks of their own; anything else is worth a word.
    if (holders.openErrno && *holders.openErrno != 0 && *holders.openErrno != EACCES &&
        *holders.openErrno != EPERM && *holders.openErrno != ENOENT)
        return verdict(check, L::Warning,
                       QStringLiteral("%1: a trial open failed: %2")
                           .arg(label, errnoText(*holders.openErrno)));
    if (holders.openErrno)
        return verdict(check, L::Ok, QStringLiteral("%1: no other program holds it").arg(label));
    return verdict(
        check, L::Ok,
        QStringLiteral("%1: no lock file, and none of your programs has it open").arg(label));
}

QList<Verdict> checkGrabbers(const QStringList &runningProcesses, const QString &device,
                             std::optional<quint16> vendorId)
{
    using L = Verdict::Level;
    const auto check = Verdict::Check::Grabber;
    QList<Verdict> verdicts;
    const QString name = QFileInfo(device).fileName();

    if (runningProcesses.contains(QLatin1String("ModemManager"))) {
        // It sends AT commands to every new modem-like device for some seconds and keeps
        // it open meanwhile; USB CDC-ACM adapters (ttyACM) look like modems to it.
        const QString fix = QStringLiteral("sudo systemctl stop ModemManager (disable it if this "
                                           "PC has no modem)");
        if (device.isEmpty())
            verdicts.append(verdict(check, L::Warning,
                                    QStringLiteral("ModemManager is running; it probes ttyACM "
                                                   "devices when they appear"),
                                    fix));
        else if (name.startsWith(QLatin1String("ttyACM")))
            verdicts.append(verdict(check, L::Problem,
                                    QStringLiteral("ModemManager is running and probes %1 as a "
                                                   "modem, sending it AT commands")
                                        .arg(device),
                                    fix));
    }
    if (runningProcesses.contains(QLatin1String("brltty"))) {
        // Its device rules claim the common CH340 and CP210x USB chips for braille
        // displays; the adapter's ttyUSB device then vanishes right after it appears.
        const QString fix = QStringLiteral("sudo apt remove brltty if no braille display is "
                                           "used, or sudo systemctl mask brltty-udev.service");
        const bool claimedChip =
            vendorId && (*vendorId == kCh340Vendor || *vendorId == kCp210xVendor);
        const bool usb = name.startsWith(QLatin1String("ttyUSB"));
        if (device.isEmpty())
            verdicts.append(verdict(check, L::Warning,
                                    QStringLiteral("brltty is running; it may take CH340 and "
                                                   "CP210x USB adapters"),
                                    fix));
        else if (usb && (claimedChip || (!vendorId && !QFileInfo::exists(device))))
            verdicts.append(verdict(check, L::Problem,
                                    QStringLiteral("brltty is running and may take %1 for a "
                                                   "braille display")
                                        .arg(device),
                                    fix));
    }
    if (verdicts.isEmpty())
        verdicts.append(verdict(check, L::Ok,
                                device.isEmpty()
                                    ? QStringLiteral("neither ModemManager nor brltty is running")
                                    : QStringLiteral("no known service takes %1").arg(device)));
    return verdicts;
}

QList<Verdict> checkLinkFolder(const LinkFolderFacts &folder, const QString &askedLink)
{
    using L = Verdict::Level;
    const auto check = Verdict::Check::LinkFolder;
    const QString &path = folder.path;
    QList<Verdict> verdicts;
    if (path.isEmpty() || !folder.exists) {
        verdicts.append(verdict(check, L::Ok,
                                QStringLiteral("link folder %1: not there, so no port number is "
                                               "linked")
                                    .arg(path)));
        return verdicts;
    }
    // The refusal says what is wrong and what to do in one text.
    if (!folder.refusal.isEmpty())
        verdicts.append(verdict(check, L::Problem, folder.refusal));
    else
        verdicts.append(verdict(check, L::Ok,
                                QStringLiteral("link folder %1 is private; its %2 link(s) are "
                                               "followed")
                                    .arg(path)
                                    .arg(folder.links.size())));
    for (auto stale = folder.staleLinks.cbegin(); stale != folder.staleLinks.cend(); ++stale)
        verdicts.append(verdict(
            check, askedLink.isEmpty() || stale.key() == askedLink ? L::Problem : L::Warning,
            stale.value()));
    for (const QString &dangling : folder.danglingLinks)
        verdicts.append(verdict(check, L::Warning,
                                QStringLiteral("link %1, which does not exist").arg(dangling),
                                QStringLiteral("plug the device in, or remove the link")));
    return verdicts;
}

QString formatVerdict(const Verdict &verdict)
{
    static const char *const kMarks[] = {"ok  ", "warn", "FAIL"};
    QString line = QLatin1String(kMarks[int(verdict.level)]) + QLatin1Char(' ') + verdict.text;
    if (!verdict.fix.isEmpty())
        line += QStringLiteral("\n     fix: ") + verdict.fix;
    return line;
}

namespace {

// The checks of one port the system has a device for, or is asked about. `asked`: the
// user named this port, so it may be opened for a trial.
QList<Verdict> diagnose(const PortInfo &info, const QString &label, bool asked,
                        const QStringList &running, const UserFacts &user,
                        const LockLookup &lockLookup)
{
    QList<Verdict> verdicts;
    const DeviceFacts device = deviceFacts(info.device, label);
    const Verdict exists = checkDevice(device);
    verdicts.append(exists);
    if (asked)
        verdicts += checkGrabbers(running, info.device, info.vendorId);
    if (exists.level != Verdict::Level::Ok)
        return verdicts;
    const Verdict access = checkAccess(device, user);
    verdicts.append(access);
    // A trial open only for the port asked about: opening every port could disturb
    // devices that have nothing to do with the display.
    const bool trialOpen = asked && access.level == Verdict::Level::Ok;
    verdicts.append(checkHolders(device, holderFacts(info.device, trialOpen, lockLookup)));
    return verdicts;
}

} // namespace

QList<Verdict> runDoctor(std::optional<int> port, const LockLookup &lockLookup)
{
    QList<Verdict> verdicts =
        checkLinkFolder(linkFolderFacts(portLinkFolder()),
                        port ? QFileInfo(portLinkPath(*port)).fileName() : QString());
    const QStringList running = runningProcessNames();
    const UserFacts user = currentUserFacts();

    QList<PortInfo> ports;
    if (port) {
        ports = gatherPortInfo({*port});
    } else {
        verdicts += checkGrabbers(running);
        const QList<PortInfo> all = gatherPortInfo(allPortNumbers());
        for (const PortInfo &info : all) {
            if (portInUse(info))
                ports.append(info);
        }
        if (ports.isEmpty())
            verdicts.append(Verdict{Verdict::Check::Device, Verdict::Level::Warning,
                                    QStringLiteral("no serial adapter is present"),
                                    QStringLiteral("plug it in; `sudo dmesg | tail` tells whether "
                                                   "the system saw it")});
    }

    for (const PortInfo &info : ports) {
        if (!info.refusal.isEmpty()) {
            verdicts.append(
                Verdict{Verdict::Check::LinkFolder,
                        Verdict::Level::Problem,
                        QStringLiteral("%1: %2").arg(portName(info.port)).arg(info.refusal),
                        {}});
            continue;
        }
        if (info.device.isEmpty()) {
            verdicts.append(
                Verdict{Verdict::Check::Device, Verdict::Level::Problem,
                        QStringLiteral("%1: no device is assigned").arg(portName(info.port)),
                        QStringLiteral("link it to a device: quillmark-cli link %1 "
                                       "DEVICE")
                            .arg(info.port)});
            continue;
        }
        verdicts +=
            diagnose(info, QStringLiteral("%1 (%2)").arg(portName(info.port)).arg(info.device),
                     bool(port), running, user, lockLookup);
    }
    return verdicts;
}

QList<Verdict> runDoctorOnDevice(const QString &device, const LockLookup &lockLookup)
{
    return diagnose(deviceInfo(device), device, true, runningProcessNames(), currentUserFacts(),
                    lockLookup);
}

Verdict checkServer(const QString &label, const QString &address, const LineSettings &line)
{
    Verdict verdict;
    verdict.check = Verdict::Check::Server;
    QString why;
    const std::optional<NetworkAddress> parsed = readNetworkAddress(address, &why);
    if (!parsed) {
        verdict.level = Verdict::Level::Problem;
        verdict.text = label + QStringLiteral(": ") + why;
        verdict.fix = QStringLiteral("write it as rfc2217://HOST:PORT or tcp://HOST:PORT");
        return verdict;
    }
    NetworkLine network(*parsed, label);
    network.setLineSettings(line);
    try {
        network.setPortOpen(true);
    } catch (const CommError &error) {
        verdict.level = Verdict::Level::Problem;
        verdict.text = error.description();
        verdict.fix = error.kind() == CommError::Kind::BadSettings
                          ? QStringLiteral("set the gateway's port to allow that setting, or "
                                           "use the one it keeps")
                          : QStringLiteral("check the gateway's address and port, its power and "
                                           "its network, and whether it offers RFC 2217 or raw "
                                           "TCP on that port");
        return verdict;
    }
    network.setPortOpen(false);
    verdict.text = parsed->kind == NetworkAddress::Kind::Rfc2217
                       ? QStringLiteral("%1: connected to %2; the server took RFC 2217 and "
                                        "confirmed %3")
                             .arg(label, parsed->hostPort(), formatLineSettings(line))
                       : QStringLiteral("%1: connected to %2 (raw TCP: the gateway's own line "
                                        "settings apply)")
                             .arg(label, parsed->hostPort());
    return verdict;
}
