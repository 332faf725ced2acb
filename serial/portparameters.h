#pragma once

#include "linesettings.h"

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
