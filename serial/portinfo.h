#pragma once

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

#include <functional>
#include <optional>

// What the system knows about one serial device, as Qt's port enumeration (udev on
// Linux) reports it.
struct SystemPort
{
    QString systemLocation; // e.g. "/dev/ttyUSB0"
    QString description;    // e.g. "FT232R USB UART"
    QString manufacturer;   // e.g. "FTDI"
    QString serialNumber;
    std::optional<quint16> vendorId;
    std::optional<quint16> productId;
};

// Where port information comes from. The defaults read the running system; tests hand
// in a folder of symbolic links and a list of made-up ports instead.
struct PortInfoSources
{
    // The folders of stable names that udev keeps for serial devices: by-id follows the
    // adapter (maker, model, serial number), by-path the socket it is plugged into.
    QString byIdFolder;
    QString byPathFolder;
    std::function<QList<SystemPort>()> systemPorts;

    static PortInfoSources system();
};

// One port number of the window's table, with whatever is known about its device.
struct PortInfo
{
    int port = 0;
    QString device;   // empty when no device is assigned
    QString linkPath; // the comN link that named the device, when one did
    QString refusal;  // why the port's link is not followed (then no device), with the fix
    bool present = false;
    // The device is a serial device server's address (rfc2217://, tcp://): never connected
    // to for a listing, so neither present nor missing.
    bool network = false;
    bool enumerated = false; // the system lists the device as a serial port
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId;
    std::optional<quint16> productId;
    QString byId;   // the by-id link that leads to the device, e.g. /dev/serial/by-id/usb-...
    QString byPath; // the by-path link, e.g. /dev/serial/by-path/pci-...-usb-0:2:1.0-port0
};

Q_DECLARE_METATYPE(PortInfo)

// The information for each of `ports`, in that order. The system is asked once for all.
QList<PortInfo> gatherPortInfo(const QList<int> &ports,
                               const PortInfoSources &sources = PortInfoSources::system());

// The information for a device named by its path rather than a port number (port 0).
PortInfo deviceInfo(const QString &device,
                    const PortInfoSources &sources = PortInfoSources::system());

// For each of `devices` (as a device list names them, e.g. /dev/ttyUSB0), the port number
// that leads to it and what is known of it: a comN link that names it before the number
// the table gives it; port 0 when no number leads there. The system is asked once for all.
QList<PortInfo> portInfoOfDevices(const QStringList &devices,
                                  const PortInfoSources &sources = PortInfoSources::system());

// Every port number of the table, kFirstPort..kLastPort.
QList<int> allPortNumbers();

// Whether a port belongs in a list of the ports in use: present, and either listed by the
// system or named by a link. /dev/ttyS0..31 exist on most PCs whether or not a port is
// behind them; the system lists only those with one.
bool portInUse(const PortInfo &info);

// "FTDI FT232R USB UART": the maker and the model, without saying the maker twice.
QString portProductName(const PortInfo &info);

// One line of a port list: "COM 33  /dev/ttyUSB0  FTDI FT232R USB UART  A50285BI
// /dev/serial/by-id/usb-FTDI_...  /dev/serial/by-path/pci-...", with "(not present)" or
// "(no device)" where they apply, and "(no port number)" in place of "COM N" for port 0.
QString formatPortLine(const PortInfo &info);

// What the system says about the device beyond its name, for a tooltip after the
// device's presence: "FTDI FT232R USB UART, serial A50285BI, USB 0403:6001,
// /dev/serial/by-id/usb-FTDI_..., /dev/serial/by-path/pci-...". Empty when nothing is known.
QString portInfoDetails(const PortInfo &info);

// The same facts for scripts; unknown values (and port 0) are null, ids four hex digits.
QJsonObject portInfoJson(const PortInfo &info);
