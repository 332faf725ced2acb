#include "portinfo.h"

#include "networkaddress.h"

#include "portnames.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonValue>

namespace {

// Both names lead to the same device when their resolved paths agree; a name that
// resolves nowhere only matches itself.
QString resolved(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

// The link in `folder` (by-id, by-path) for each device it resolves to. Several links may
// lead to one device (a multi-port adapter lists each interface); the first by name is
// kept, so the choice does not change from one run to the next.
QHash<QString, QString> stableLinks(const QString &folder)
{
    QHash<QString, QString> links;
    if (folder.isEmpty())
        return links;
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink())
            continue;
        const QString target = entry.canonicalFilePath();
        if (!target.isEmpty() && !links.contains(target))
            links.insert(target, entry.absoluteFilePath());
    }
    return links;
}

QString hexId(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

// A path as one line can hold it: a control character in a file name (a newline, say)
// would break the list into lines that are not ports. Shown as the CLI shows bytes.
QString printablePath(const QString &path)
{
    QString text;
    for (const QChar c : path) {
        if (c == QLatin1Char('\\'))
            text += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            text += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            text += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            text += QStringLiteral("\\r");
        else if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))
            text += QString::asprintf("\\x%02X", unsigned(c.unicode()));
        else
            text += c;
    }
    return text;
}

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonValue idOrNull(const std::optional<quint16> &id)
{
    return id ? QJsonValue(hexId(*id)) : QJsonValue();
}

} // namespace

namespace {

// What the system knows of every device, gathered once for any number of ports.
class SystemFacts
{
public:
    explicit SystemFacts(const PortInfoSources &sources)
        : m_ports(sources.systemPorts ? sources.systemPorts() : QList<SystemPort>()),
          m_byId(stableLinks(sources.byIdFolder)), m_byPath(stableLinks(sources.byPathFolder))
    {
        for (const SystemPort &port : std::as_const(m_ports))
            m_byDevice.insert(resolved(port.systemLocation), &port);
    }

    // Fills in everything but the port number and the link.
    void describe(PortInfo &info) const
    {
        if (isNetworkAddress(info.device)) {
            info.network = true;
            return;
        }
        info.present = QFileInfo::exists(info.device);
        const QString device = resolved(info.device);
        if (const SystemPort *known = m_byDevice.value(device)) {
            info.enumerated = true;
            info.description = known->description;
            info.manufacturer = known->manufacturer;
            info.serialNumber = known->serialNumber;
            info.vendorId = known->vendorId;
            info.productId = known->productId;
        }
        info.byId = m_byId.value(device);
        info.byPath = m_byPath.value(device);
    }

private:
    QList<SystemPort> m_ports;
    QHash<QString, QString> m_byId;
    QHash<QString, QString> m_byPath;
    QHash<QString, const SystemPort *> m_byDevice;
};

} // namespace

namespace {

QList<PortInfo> portInfoOf(const QList<int> &ports, const SystemFacts &facts)
{
    const bool linksFollowed = portLinkFolderUsable();
    QList<PortInfo> infos;
    infos.reserve(ports.size());
    for (int port : ports) {
        PortInfo info;
        info.port = port;
        info.device = portDevice(port);
        if (info.device.isEmpty())
            info.refusal = portLinkRefusal(port);
        if (!info.device.isEmpty()) {
            const QString link = portLinkPath(port);
            if (linksFollowed && QFileInfo(link).isSymLink())
                info.linkPath = link;
            facts.describe(info);
        }
        infos.append(info);
    }
    return infos;
}

} // namespace

QList<PortInfo> gatherPortInfo(const QList<int> &ports, const PortInfoSources &sources)
{
    return portInfoOf(ports, SystemFacts(sources));
}

QList<PortInfo> portInfoOfDevices(const QStringList &devices, const PortInfoSources &sources)
{
    const SystemFacts facts(sources);
    const QList<PortInfo> table = portInfoOf(allPortNumbers(), facts);
    QList<PortInfo> infos;
    for (const QString &device : devices) {
        const QString wanted = resolved(device);
        const PortInfo *numbered = nullptr;
        for (const PortInfo &info : table) {
            if (info.device.isEmpty() || resolved(info.device) != wanted)
                continue;
            // The number the user gave the device beats the one its kernel name implies.
            if (!numbered || (numbered->linkPath.isEmpty() && !info.linkPath.isEmpty()))
                numbered = &info;
        }
        if (numbered) {
            infos.append(*numbered);
        } else {
            PortInfo info;
            info.device = device;
            facts.describe(info);
            infos.append(info);
        }
    }
    return infos;
}

PortInfo deviceInfo(const QString &device, const PortInfoSources &sources)
{
    PortInfo info;
    info.device = device;
    SystemFacts(sources).describe(info);
    return info;
}

QList<int> allPortNumbers()
{
    QList<int> ports;
    for (int port = kFirstPort; port <= kLastPort; ++port)
        ports.append(port);
    return ports;
}

bool portInUse(const PortInfo &info)
{
    return (info.present || info.network) && (info.enumerated || !info.linkPath.isEmpty());
}

QString portProductName(const PortInfo &info)
{
    if (info.manufacturer.isEmpty())
        return info.description;
    if (info.description.isEmpty())
        return info.manufacturer;
    // Makers often give themselves a longer name than their products carry, as
    // "Arduino (www.arduino.cc)" for an "Arduino Uno".
    const QString maker = info.manufacturer.section(QLatin1Char(' '), 0, 0);
    if (info.description.startsWith(maker, Qt::CaseInsensitive))
        return info.description;
    return info.manufacturer + QLatin1Char(' ') + info.description;
}

QString formatPortLine(const PortInfo &info)
{
    QStringList fields{info.port == 0 ? QStringLiteral("(no port number)") : portName(info.port)};
    if (info.device.isEmpty()) {
        fields.append(info.refusal.isEmpty() ? QStringLiteral("(no device)")
                                             : QStringLiteral("(its link is refused)"));
        return fields.join(QLatin1String("  "));
    }
    fields.append(printablePath(info.device));
    if (info.network)
        fields.append(QStringLiteral("(a serial device server, not connected to)"));
    else if (!info.present)
        fields.append(QStringLiteral("(not present)"));
    const QString byId = info.byId == info.device ? QString() : info.byId;
    const QString byPath = info.byPath == info.device ? QString() : info.byPath;
    for (const QString &field : {portProductName(info), info.serialNumber, byId, byPath}) {
        if (!field.isEmpty())
            fields.append(printablePath(field));
    }
    if (!info.linkPath.isEmpty())
        fields.append(QStringLiteral("(linked by %1)").arg(printablePath(info.linkPath)));
    return fields.join(QLatin1String("  "));
}

QString portInfoDetails(const PortInfo &info)
{
    QStringList parts;
    const QString product = portProductName(info);
    if (!product.isEmpty())
        parts.append(product);
    if (!info.serialNumber.isEmpty())
        parts.append(QStringLiteral("serial %1").arg(info.serialNumber));
    if (info.vendorId && info.productId)
        parts.append(
            QStringLiteral("USB %1:%2").arg(hexId(*info.vendorId), hexId(*info.productId)));
    if (!info.byId.isEmpty() && info.byId != info.device)
        parts.append(info.byId);
    if (!info.byPath.isEmpty() && info.byPath != info.device)
        parts.append(info.byPath);
    return parts.join(QLatin1String(", "));
}

QJsonObject portInfoJson(const PortInfo &info)
{
    return QJsonObject{
        {QStringLiteral("port"), info.port == 0 ? QJsonValue() : QJsonValue(info.port)},
        {QStringLiteral("name"), info.port == 0 ? QJsonValue() : QJsonValue(portName(info.port))},
        {QStringLiteral("device"), textOrNull(info.device)},
        {QStringLiteral("link"), textOrNull(info.linkPath)},
        {QStringLiteral("refusal"), textOrNull(info.refusal)},
        {QStringLiteral("present"), info.present},
        {QStringLiteral("network"), info.network},
        {QStringLiteral("description"), textOrNull(info.description)},
        {QStringLiteral("manufacturer"), textOrNull(info.manufacturer)},
        {QStringLiteral("serialNumber"), textOrNull(info.serialNumber)},
        {QStringLiteral("vendorId"), idOrNull(info.vendorId)},
        {QStringLiteral("productId"), idOrNull(info.productId)},
        {QStringLiteral("byId"), textOrNull(info.byId)},
        {QStringLiteral("byPath"), textOrNull(info.byPath)},
    };
}
