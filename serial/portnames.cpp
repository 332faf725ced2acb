#include "portnames.h"

#include "portaccess.h"

#include <QByteArray>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <QSerialPortInfo>
#else
#include <unistd.h>
#endif

#ifdef Q_OS_WIN

QString portLinkFolder()
{
    return {};
}

bool portLinkFolderUsable()
{
    return false;
}

QString portLinkRefusal(int)
{
    return {};
}

QString portDevice(int port)
{
    if (port < kFirstPort || port > kLastPort)
        return {};
    return QStringLiteral("COM%1").arg(port);
}

static bool devicePresent(const QString &device)
{
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        if (info.portName().compare(device, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

#else

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
    const QString folder = portLinkFolder();
    return QFileInfo(folder).isDir() && linkFolderRefusal(folder).isEmpty();
}

QString portLinkRefusal(int port)
{
    const QString folder = portLinkFolder();
    const QString link = folder + QStringLiteral("/com%1").arg(port);
    if (!QFileInfo(link).isSymLink())
        return {};
    if (const QString refusal = linkFolderRefusal(folder); !refusal.isEmpty())
        return refusal;
    return staleLinkRefusal(link);
}

QString portDevice(int port)
{
    if (port < kFirstPort || port > kLastPort)
        return {};
    // A refused link still says that the user meant the linked device, not the one the
    // number stands for without it.
    if (!portLinkRefusal(port).isEmpty())
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

#endif

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
    if (const QString refusal = portLinkRefusal(port); !refusal.isEmpty())
        return refusal;
    const QString device = portDevice(port);
    if (device.isEmpty()) {
        const QString folder = portLinkFolder();
        if (folder.isEmpty())
            return QStringLiteral("no device is assigned to COM %1").arg(port);
        return QStringLiteral("no device is assigned to COM %1; a link com%1 in %2 can name one")
            .arg(port)
            .arg(folder);
    }
    return devicePresent(device) ? QStringLiteral("%1 (present)").arg(device)
                                 : QStringLiteral("%1 (not present)").arg(device);
}
