#include "portinfo.h"

#include <QSerialPortInfo>

PortInfoSources PortInfoSources::system()
{
    PortInfoSources sources;
    // udev makes these names from the adapter's maker, model and serial number, so they
    // stay the same whatever order adapters are plugged in.
    sources.byIdFolder = QStringLiteral("/dev/serial/by-id");
    sources.byPathFolder = QStringLiteral("/dev/serial/by-path");
    sources.systemPorts = [] {
        QList<SystemPort> ports;
        const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo &info : infos) {
            SystemPort port;
            port.systemLocation = info.systemLocation();
            port.description = info.description();
            port.manufacturer = info.manufacturer();
            port.serialNumber = info.serialNumber();
            if (info.hasVendorIdentifier())
                port.vendorId = info.vendorIdentifier();
            if (info.hasProductIdentifier())
                port.productId = info.productIdentifier();
            ports.append(port);
        }
        return ports;
    };
    return sources;
}
