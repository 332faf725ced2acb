#include "networkaddress.h"

#include <QHostAddress>

#include <algorithm>

namespace {

constexpr QLatin1String kRfc2217Scheme("rfc2217://");
constexpr QLatin1String kTcpScheme("tcp://");

bool hostNameCharacter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') ||
           c == QLatin1Char('.') || c == QLatin1Char('_');
}

} // namespace

QString NetworkAddress::hostPort() const
{
    const QString shown = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1:%2").arg(shown).arg(port);
}

QString NetworkAddress::url() const
{
    return QString(kind == Kind::Rfc2217 ? kRfc2217Scheme : kTcpScheme) + hostPort();
}

bool isNetworkAddress(const QString &text)
{
    return text.startsWith(kRfc2217Scheme, Qt::CaseInsensitive) ||
           text.startsWith(kTcpScheme, Qt::CaseInsensitive);
}

bool sameServer(const NetworkAddress &a, const NetworkAddress &b)
{
    if (a.port != b.port)
        return false;
    const QHostAddress ipA(a.host);
    const QHostAddress ipB(b.host);
    if (!ipA.isNull() && !ipB.isNull())
        return ipA.isEqual(ipB, QHostAddress::StrictConversion);
    return a.host.compare(b.host, Qt::CaseInsensitive) == 0;
}

bool gatewayKeepsLine(const QString &device)
{
    return device.startsWith(kTcpScheme, Qt::CaseInsensitive);
}

std::optional<NetworkAddress> readNetworkAddress(const QString &text, QString *why)
{
    auto refuse = [&](const QString &reason) {
        *why = QStringLiteral("\"%1\": %2").arg(text, reason);
        return std::nullopt;
    };
    if (!isNetworkAddress(text))
        return refuse(QStringLiteral("a network address begins with rfc2217:// or tcp://"));
    NetworkAddress address;
    QString rest;
    if (text.startsWith(kRfc2217Scheme, Qt::CaseInsensitive)) {
        address.kind = NetworkAddress::Kind::Rfc2217;
        rest = text.mid(kRfc2217Scheme.size());
    } else {
        address.kind = NetworkAddress::Kind::Tcp;
        rest = text.mid(kTcpScheme.size());
    }

    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return refuse(QStringLiteral("the IPv6 address has no closing \"]\""));
        address.host = rest.mid(1, close - 1);
        QHostAddress ip;
        if (!ip.setAddress(address.host) || ip.protocol() != QAbstractSocket::IPv6Protocol)
            return refuse(QStringLiteral("\"%1\" is not an IPv6 address").arg(address.host));
        if (rest.mid(close + 1, 1) != QLatin1String(":"))
            return refuse(QStringLiteral("give the server's port after the address, as "
                                         "[%1]:4001")
                              .arg(address.host));
        portText = rest.mid(close + 2);
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return refuse(QStringLiteral("give the server's port after the host, as HOST:4001"));
        address.host = rest.left(colon);
        portText = rest.mid(colon + 1);
        if (address.host.contains(QLatin1Char(':')))
            return refuse(QStringLiteral("an IPv6 address is written in brackets, as [%1]:%2")
                              .arg(address.host, portText));
        if (address.host.isEmpty())
            return refuse(QStringLiteral("the host is missing"));
        for (QChar c : address.host) {
            if (!hostNameCharacter(c))
                return refuse(QStringLiteral("\"%1\" is not a host name or an IPv4 address")
                                  .arg(address.host));
        }
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    // toUInt would take a sign or blanks; a port is plain digits.
    const bool digits = !portText.isEmpty() && portText.size() <= 5 &&
                        std::all_of(portText.begin(), portText.end(), [](QChar c) {
                            return c >= QLatin1Char('0') && c <= QLatin1Char('9');
                        });
    if (!ok || !digits || port < 1 || port > 65535)
        return refuse(QStringLiteral("\"%1\" is not a TCP port from 1 to 65535").arg(portText));
    address.port = quint16(port);
    return address;
}
