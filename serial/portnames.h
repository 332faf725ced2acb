#pragma once

#include "linkfolder.h"
#include "networkaddress.h"
#include "protocollimits.h"

#include <QString>

#include <optional>

// Port numbers as the window shows them ("COM 1" .. "COM 250").
using qm::kFirstPort;
using qm::kLastPort;

// The one reader of a port argument as people write it: "5", "COM 5", "COM5", "com5" (the
// window shows "COM 5"). The number, in range or not, so that the caller can say which
// range; nothing when the text is no port number at all (a device path, for instance).
std::optional<int> readPortArgument(const QString &text);
// The same, and only a number in range: nothing for a device path or a number out of range.
std::optional<int> readPortNumber(const QString &text);
// "<what> is not a port number from 1 to 250": how readPort, detect and link refuse one.
QString notAPortNumber(const QString &what);

// Throws CommError (NoSuchPort) naming the range when `port` is not a port number.
void requirePortNumber(int port);

// The folder whose `comN` symbolic links name the device for port N, whether or not it
// exists: $XDG_RUNTIME_DIR/quillmark, or /tmp/quillmark-<uid> without that variable.
QString portLinkFolder();

// The comN link for port `port` in the link folder, whether or not it exists.
QString portLinkPath(int port);

// Whether the link folder is a real directory of this user closed to everyone else;
// only then are its links followed.
bool portLinkFolderUsable();

// Why the link for port `port` is not followed, with the fix: the link folder holds one
// but is not trusted, or the link is stale (see staleLinkRefusal); empty otherwise.
QString portLinkRefusal(int port);

// The device for port `port`, e.g. "/dev/ttyS2" or "COM3"; empty when none is assigned.
// A link that points nowhere still names its target, which then fails to open. Empty too
// when a link for the port is refused (see portLinkRefusal).
QString portDevice(int port);

// "COM 3" (qm::portName) as the window and quillmark-cli show it.
QString portName(int port);

// "COM 3 (/dev/ttyS2)", or "COM 120" when no device is assigned.
QString portLabel(int port);

// A port as a person names it, read once (readPort) and passed on as this value: a port
// number (the window's "COM n"), a device path, or a serial device server's address.
struct Port
{
    int number = 1; // kFirstPort..kLastPort; 0 for a device path or an address
    QString device; // the device path or the address (as NetworkAddress::url()) then
    std::optional<NetworkAddress> network; // set for an address

    static Port ofNumber(int number) { return {number, QString(), std::nullopt}; }

    bool isNumber() const { return number != 0; }
    // "COM 3 (/dev/ttyS2)", or the device path, for messages.
    QString label() const { return isNumber() ? portLabel(number) : device; }
    // "COM 3", or the device path.
    QString name() const { return isNumber() ? portName(number) : device; }
    // As --port takes it again: "3", or the device path.
    QString argument() const { return isNumber() ? QString::number(number) : device; }
};

// "5", "COM 5", "COM5", "com5" as a port number, "rfc2217://HOST:PORT" or "tcp://HOST:PORT"
// as an address, anything else as a device path. Nothing, with `why` set, for an empty
// text, a number out of range or a malformed address.
std::optional<Port> readPort(const QString &text, QString *why);

// The tooltip of a port entry: its device and whether that device is present now.
QString portDeviceDescription(int port);
