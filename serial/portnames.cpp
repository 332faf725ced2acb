#include "portnames.h"

#include <QByteArray>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct FixedRange
{
    int firstPort;
    const char *prefix;
};

// Thirty-two ports each for on-board, USB and USB-modem serial lines.
constexpr FixedRange kFixedRanges[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
constexpr int kRangeSize = 32;

QString fixedDevice(int port)
{
    for (const FixedRange &range : kFixedRanges) {
        const int index = port - range.firstPort;
        if (index >= 0 && index < kRangeSize)
            return QLatin1String(range.prefix) + QString::number(index);
    }
    return {};
}

} // namespace

QString portLinkFolder()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        return QFile::decodeName(runtime) + QStringLiteral("/quillmark");
    return QStringLiteral("/tmp/quillmark-%1").arg(getuid());
}

bool portLinkFolderUsable()
{
    // In a shared place like /tmp anyone could plant the folder or its links and send our
    // commands to a device of their choosing, so only a private folder of ours counts.
    struct stat info = {};
    if (::lstat(QFile::encodeName(portLinkFolder()).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == getuid() && (info.st_mode & 077) == 0;
}

QString portDevice(int port)
{
    if (port < kFirstPort || port > kLastPort)
        return {};
    if (portLinkFolderUsable()) {
        const QFileInfo link(portLinkFolder() + QStringLiteral("/com%1").arg(port));
        if (link.isSymLink())
            return link.symLinkTarget();
    }
    return fixedDevice(port);
}

static bool devicePresent(const QString &device)
{
    return QFileInfo::exists(device);
}

QString portLabel(int port)
{
    const QString device = portDevice(port);
    if (device.isEmpty())
        return QStringLiteral("COM %1").arg(port);
    return QStringLiteral("COM %1 (%2)").arg(port).arg(device);
}

QString portDeviceDescription(int port)
{
    if (port < kFirstPort || port > kLastPort)
        return QStringLiteral("COM %1 is not a port number; they run from %2 to %3")
            .arg(port)
            .arg(kFirstPort)
            .arg(kLastPort);
    const QString device = portDevice(port);
    if (device.isEmpty())
        return QStringLiteral("no device is assigned to COM %1; a link com%1 in %2 can name one")
            .arg(port)
            .arg(portLinkFolder());
    return devicePresent(device) ? QStringLiteral("%1 (present)").arg(device)
                                 : QStringLiteral("%1 (not present)").arg(device);
}
