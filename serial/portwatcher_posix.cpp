#include "portwatcher.h"

#include "portnames.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QTimer>

#include <libudev.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

namespace {

constexpr int kPollIntervalMs = 1000;

// ttyS0, ttyUSB0, ttyACM0, ttyAMA0, ttymxc0, rfcomm0: the kernel names of serial lines.
// tty, tty0..tty63 (the virtual consoles) and the pty master ptmx are no serial lines.
bool isSerialName(const char *name)
{
    if (std::strncmp(name, "rfcomm", 6) == 0)
        return true;
    return std::strncmp(name, "tty", 3) == 0 && name[3] != '\0' && (name[3] < '0' || name[3] > '9');
}

// One readdir of /dev; no stat of each entry: the name says enough.
QSet<QString> kernelDevices()
{
    QSet<QString> devices;
    DIR *dev = ::opendir("/dev");
    if (!dev)
        return devices;
    while (const dirent *entry = ::readdir(dev)) {
        if (isSerialName(entry->d_name))
            devices.insert(QStringLiteral("/dev/") + QFile::decodeName(entry->d_name));
    }
    ::closedir(dev);
    return devices;
}

// The devices the comN links lead to, by their real paths so that a link to a by-id name
// and the kernel's own name count once; a link whose device is not there counts not at
// all. A folder that is not trusted leads nowhere, as for the port table.
QSet<QString> linkedDevices()
{
    QSet<QString> devices;
    if (!portLinkFolderUsable())
        return devices;
    const QByteArray folder = QFile::encodeName(portLinkFolder());
    DIR *links = ::opendir(folder.constData());
    if (!links)
        return devices;
    while (const dirent *entry = ::readdir(links)) {
        const char *name = entry->d_name;
        if (std::strncmp(name, "com", 3) != 0 || name[3] == '\0' ||
            std::strspn(name + 3, "0123456789") != std::strlen(name + 3))
            continue;
        char real[PATH_MAX];
        const QByteArray link = folder + '/' + name;
        if (::realpath(link.constData(), real))
            devices.insert(QFile::decodeName(real));
    }
    ::closedir(links);
    return devices;
}

QStringList sorted(const QSet<QString> &set)
{
    QStringList list(set.begin(), set.end());
    list.sort();
    return list;
}

} // namespace

// udev's monitor: a netlink socket that udev writes to after its rules ran, so that a
// device's by-id and by-path links are there when its "add" arrives.
class SystemPortSource::Udev
{
public:
    Udev()
    {
        m_udev = udev_new();
        if (!m_udev)
            return;
        m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
        if (!m_monitor ||
            udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "tty", nullptr) < 0 ||
            udev_monitor_enable_receiving(m_monitor) < 0)
            return;
        m_descriptor = udev_monitor_get_fd(m_monitor);
    }
    ~Udev()
    {
        if (m_monitor)
            udev_monitor_unref(m_monitor);
        if (m_udev)
            udev_unref(m_udev);
    }
    Udev(const Udev &) = delete;
    Udev &operator=(const Udev &) = delete;

    int descriptor() const { return m_descriptor; }
    udev_monitor *monitor() const { return m_monitor; }

private:
    struct udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
    int m_descriptor = -1;
};

SystemPortSource::SystemPortSource(Mode mode, QObject *parent) : PortEventSource(parent)
{
    m_devices = kernelDevices();
    m_linked = linkedDevices();
    if (mode == Mode::Udev || (mode == Mode::Automatic && udevRunning())) {
        auto udev = std::make_unique<Udev>();
        if (udev->descriptor() >= 0) {
            m_udev = std::move(udev);
            m_mode = Mode::Udev;
            m_notifier = std::make_unique<QSocketNotifier>(qintptr(m_udev->descriptor()),
                                                           QSocketNotifier::Read);
            connect(m_notifier.get(), &QSocketNotifier::activated, this,
                    &SystemPortSource::udevEvents);
            watchLinkFolder();
            return;
        }
    }
    m_mode = Mode::Polling;
    auto *timer = new QTimer(this);
    timer->setTimerType(Qt::CoarseTimer);
    connect(timer, &QTimer::timeout, this, &SystemPortSource::rescan);
    timer->start(kPollIntervalMs);
}

SystemPortSource::~SystemPortSource()
{
    // The notifier goes before the socket it watches.
    m_notifier.reset();
    m_udev.reset();
}

bool SystemPortSource::udevRunning()
{
    // What libudev itself looks at to tell whether udev is active.
    return ::access("/run/udev/control", F_OK) == 0;
}

QStringList SystemPortSource::devices() const
{
    return sorted(m_devices | m_linked);
}

void SystemPortSource::rescan()
{
    update(kernelDevices(), linkedDevices());
}

void SystemPortSource::udevEvents()
{
    // The socket does not block: read every event that is waiting, each one on its own,
    // so that an adapter unplugged and plugged again is seen go and come.
    while (udev_device *device = udev_monitor_receive_device(m_udev->monitor())) {
        const char *action = udev_device_get_action(device);
        const char *node = udev_device_get_devnode(device);
        const char *name = udev_device_get_sysname(device);
        if (action && node && name && isSerialName(name)) {
            QSet<QString> devices = m_devices;
            if (std::strcmp(action, "add") == 0)
                devices.insert(QFile::decodeName(node));
            else if (std::strcmp(action, "remove") == 0)
                devices.remove(QFile::decodeName(node));
            update(devices, linkedDevices());
        }
        udev_device_unref(device);
    }
}

// The kernel tells of links made and removed in the folder; the folder's parent is
// watched too, for a folder made after the start.
void SystemPortSource::watchLinkFolder()
{
    auto *watcher = new QFileSystemWatcher(this);
    const QString folder = portLinkFolder();
    const QString parent = QFileInfo(folder).path();
    auto follow = [watcher, folder] {
        if (watcher->directories().contains(folder) || !QFileInfo(folder).isDir())
            return false;
        return watcher->addPath(folder);
    };
    if (QFileInfo(parent).isDir())
        watcher->addPath(parent);
    follow();
    // The parent (XDG_RUNTIME_DIR, or /tmp) changes for many reasons; only the folder's
    // own appearance matters there.
    connect(watcher, &QFileSystemWatcher::directoryChanged, this,
            [this, folder, follow](const QString &path) {
                if (path == folder || follow()) {
                    update(m_devices, linkedDevices());
                    emit linkFolderChanged();
                }
            });
}

void SystemPortSource::update(const QSet<QString> &devices, const QSet<QString> &linked)
{
    const QSet<QString> before = m_devices | m_linked;
    m_devices = devices;
    m_linked = linked;
    const QSet<QString> after = m_devices | m_linked;
    for (const QString &device : sorted(before - after))
        emit deviceRemoved(device);
    for (const QString &device : sorted(after - before))
        emit deviceAdded(device);
}
