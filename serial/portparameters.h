#pragma once

#include "linesettings.h"
#include "portaccess.h"

#include <QSerialPort>

// The line settings in the terms QSerialPort takes them.
struct PortParameters
{
    qint32 baudRate = QSerialPort::Baud9600;
    QSerialPort::DataBits dataBits = QSerialPort::Data8;
    QSerialPort::Parity parity = QSerialPort::NoParity;
    QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};

// Expects settings that parseLineSettings accepted.
PortParameters portParameters(const LineSettings &settings);

// Why QSerialPort's open of `device` failed, decided from Qt's error code and the
// operating system's `osError` (errno as the open left it); Qt's `text` is only shown,
// never read, since Qt translates it and words it differently from release to release.
CommError openFailure(QSerialPort::SerialPortError error, int osError, const QString &text,
                      const QString &device);
