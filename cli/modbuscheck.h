#pragma once

#include "settings.h"

#include <QCommandLineOption>
#include <QJsonObject>
#include <QString>

#include <optional>

// The Modbus check: one read of a holding register at the display's slave address, in its
// mode, on the open port. It proves what the set-up commands cannot: that a Modbus master
// reaches the display with these settings.
namespace cli {

class Console;
class DisplayLink;

struct ModbusTarget
{
    int address = 0x0A;
    int mode = 1; // 0 ASCII, 1 RTU, as in CommsSettings
    int reg = 0;  // 0-based holding register
};

// What the display answered: a register's value, or a Modbus exception. Either proves
// the address, the mode and the line; neither a missing nor a foreign answer does.
struct ModbusAnswer
{
    bool exception = false;
    int value = 0;
    int exceptionCode = 0;
};

// One request and its answer. No answer, an answer from another address or an invalid
// one throws Failure (exit 4) naming address, mode and line; a port failure CommError.
ModbusAnswer checkModbus(DisplayLink &link, const ModbusTarget &target);

// "Modbus RTU, address 0A, at 9600,E,8,1: holding register 0 reads 1 (0x0001)"
QString describeModbusCheck(const DisplayLink &link, const ModbusTarget &target,
                            const ModbusAnswer &answer);
QJsonObject modbusCheckJson(const ModbusTarget &target, const ModbusAnswer &answer);

// Why no Modbus master can reach a display with this address (248 to 250 are reserved
// by Modbus), or empty.
QString modbusAddressProblem(int address);

// --modbus of write and apply: the check at the settings just written, after --follow
// has read them back. Its outcome is returned, not thrown or printed, so that the command
// reports it with what it wrote.
struct FollowCheck
{
    QJsonObject json;
    QString result;  // the result line when the check passed
    QString failure; // the message when it failed
};
FollowCheck modbusAfterWrite(DisplayLink &link, const CommsSettings &written);

QCommandLineOption modbusOption();

} // namespace cli
