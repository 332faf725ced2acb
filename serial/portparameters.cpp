#include "portparameters.h"

#include <cerrno>

PortParameters portParameters(const LineSettings &settings)
{
    PortParameters parameters;
    parameters.baudRate = settings.baud;
    parameters.dataBits = settings.dataBits == 7 ? QSerialPort::Data7 : QSerialPort::Data8;
    switch (settings.parity) {
    case 'E':
        parameters.parity = QSerialPort::EvenParity;
        break;
    case 'O':
        parameters.parity = QSerialPort::OddParity;
        break;
    default:
        parameters.parity = QSerialPort::NoParity;
        break;
    }
    parameters.stopBits = QSerialPort::OneStop;
    return parameters;
}

CommError openFailure(QSerialPort::SerialPortError error, int osError, const QString &text,
                      const QString &device)
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return {CommError::Kind::NoDevice, text};
    case QSerialPort::PermissionError:
        // Qt's serial port reports a lock file it cannot take as a permission error, and
        // EBUSY is how a holder with exclusive access (TIOCEXCL) shows; the lock folders
        // were checked before, so anything but a refused access means that someone else
        // has just taken the port. (Not EPERM: Qt's look at a lock's process leaves that
        // when the process is another user's.)
        if (osError == EACCES || accessRefused(device))
            return {CommError::Kind::NoPermission,
                    text + QStringLiteral(": ") + permissionFix(device)};
        return {CommError::Kind::InUse, inUseReason(device)};
    default:
        // The library's set-up of the line is what finds a device that is no terminal.
        if (osError == ENOTTY)
            return {CommError::Kind::NotTerminal,
                    QStringLiteral("%1 is not a terminal device").arg(device)};
        return {CommError::Kind::Io, text};
    }
}
