#pragma once

#include <QString>

#include <optional>

// A display behind a serial device server: "rfc2217://HOST:PORT" (the Telnet COM-port
// option, which carries the line settings) or "tcp://HOST:PORT" (bytes as they are; the
// gateway keeps its own line settings). HOST is a name, an IPv4 address or a bracketed
// IPv6 address.
struct NetworkAddress
{
    enum class Kind { Rfc2217, Tcp };

    Kind kind = Kind::Rfc2217;
    QString host; // without brackets
    quint16 port = 0;

    // "10.0.0.7:4001", "[::1]:4001".
    QString hostPort() const;
    // "rfc2217://10.0.0.7:4001", as it is written.
    QString url() const;
};

// Whether `text` is written as a network address (its scheme), valid or not: such a text
// is never a device path.
bool isNetworkAddress(const QString &text);

// Whether `device` is a raw TCP gateway's address: its line settings are the gateway's
// own, and nothing we set reaches them.
bool gatewayKeepsLine(const QString &device);

// Whether two addresses name one server port: the same host (an IP address however it is
// written; IPv4 and IPv6 loopback kept apart, as a server may listen on one only) and port,
// whichever way it is spoken to.
bool sameServer(const NetworkAddress &a, const NetworkAddress &b);

// The one reader of a network address; nothing, with `why` set, for a malformed one.
std::optional<NetworkAddress> readNetworkAddress(const QString &text, QString *why);
