#include "portparameters.h"

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
