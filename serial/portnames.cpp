#include "portnames.h"

#include "numbers.h"

#include "commerror.h"
#include "linkfolder.h"
#include "networkaddress.h"
#include "portaccess.h"

#include <QByteArray>
#include <QFileInfo>

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

QString portLinkPath(int port)
{
    return QFile::decodeName(qm::portLinkPath(qm::linkFolder(), port).c_str());
}

QString portLinkFolder()
{
    return QFile::decodeName(qm::linkFolder().c_str());
}

bool portLinkFolderUsable()
{
    const QString folder = portLinkFolder();
    return QFileInfo(folder).isDir() && linkFolderRefusal(folder).isEmpty();
}

QString portLinkRefusal(int port)
{
    const QString link = portLinkPath(port);
    if (!QFileInfo(link).isSymLink())
        return {};
    if (const QString refusal = linkFolderRefusal(portLinkFolder()); !refusal.isEmpty())
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
        const QFileInfo link(portLinkPath(port));
        if (link.isSymLink()) {
            // A network address is no path: made absolute, it would name a file.
            const QString text = QFile::decodeName(
                qm::linkText(QFile::encodeName(link.filePath()).toStdString()).c_str());
            return isNetworkAddress(text) ? text : link.symLinkTarget();
        }
    }
    return fixedDevice(port);
}

static bool devicePresent(const QString &device)
{
    return QFileInfo::exists(device);
}

void requirePortNumber(int port)
{
    if (port < kFirstPort || port > kLastPort)
        throw CommError(CommError::Kind::NoSuchPort,
                        QStringLiteral("%1: there is no such port; port numbers run from %2 "
                                       "to %3")
                            .arg(portName(port))
                            .arg(kFirstPort)
                            .arg(kLastPort));
}

std::optional<int> readPortArgument(const QString &text)
{
    QString digits = text.trimmed();
    if (digits.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        digits = digits.mid(3);
    if (digits.startsWith(QLatin1Char(' ')))
        digits = digits.mid(1);
    constexpr int kSixDigits = 999999;
    return qm::readNumber(digits.toStdString(), 0, kSixDigits);
}

std::optional<int> readPortNumber(const QString &text)
{
    const std::optional<int> number = readPortArgument(text);
    if (!number || *number < kFirstPort || *number > kLastPort)
        return std::nullopt;
    return number;
}

QString notAPortNumber(const QString &what)
{
    return QStringLiteral("%1 is not a port number from %2 to %3")
        .arg(what)
        .arg(kFirstPort)
        .arg(kLastPort);
}

QString portName(int port)
{
    return QString::fromStdString(qm::portName(port));
}

QString portLabel(int port)
{
    const QString device = portDevice(port);
    if (device.isEmpty())
        return portName(port);
    return QStringLiteral("%1 (%2)").arg(portName(port), device);
}

std::optional<Port> readPort(const QString &text, QString *why)
{
    if (text.isEmpty()) {
        *why = QStringLiteral("give a port number or a device path");
        return std::nullopt;
    }
    Port port;
    if (isNetworkAddress(text)) {
        port.network = readNetworkAddress(text, why);
        if (!port.network)
            return std::nullopt;
        port.number = 0;
        port.device = port.network->url();
        return port;
    }
    if (!readPortArgument(text)) {
        port.number = 0;
        port.device = text;
        return port;
    }
    const std::optional<int> number = readPortNumber(text);
    if (!number) {
        *why = notAPortNumber(text);
        return std::nullopt;
    }
    port.number = *number;
    return port;
}

QString portDeviceDescription(int port)
{
    if (port < kFirstPort || port > kLastPort)
        return QStringLiteral("%1 is not a port number; they run from %2 to %3")
            .arg(portName(port))
            .arg(kFirstPort)
            .arg(kLastPort);
    if (const QString refusal = portLinkRefusal(port); !refusal.isEmpty())
        return refusal;
    const QString device = portDevice(port);
    if (device.isEmpty()) {
        const QString folder = portLinkFolder();
        if (folder.isEmpty())
            return QStringLiteral("no device is assigned to %1").arg(portName(port));
        return QStringLiteral("no device is assigned to %1; a link com%2 in %3 can name one")
            .arg(portName(port))
            .arg(port)
            .arg(folder);
    }
    // Whether a server answers is known only by connecting, which this never does.
    if (isNetworkAddress(device))
        return QStringLiteral("%1 (a serial device server; not checked)").arg(device);
    return devicePresent(device) ? QStringLiteral("%1 (present)").arg(device)
                                 : QStringLiteral("%1 (not present)").arg(device);
}
