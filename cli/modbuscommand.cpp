#include "command.h"
#include "console.h"
#include "exitcodes.h"
#include "modbuscheck.h"
#include "numbers.h"
#include "steps.h"

#include <QJsonObject>

namespace cli {
namespace {

int runModbusCheck(const Invocation &invocation, Console &console)
{
    // The address and mode are read as write reads them; what is not given comes from "$M".
    CommsSettings given;
    for (const QString &key : {QStringLiteral("address"), QStringLiteral("mode")}) {
        if (!invocation.has(key))
            continue;
        const QString why = assignComms(given, key, invocation.value(key));
        if (!why.isEmpty())
            throw Failure(kExitUsage, QStringLiteral("--") + why);
    }
    if (invocation.has(QStringLiteral("address"))) {
        const QString why = modbusAddressProblem(given.address);
        if (!why.isEmpty())
            throw Failure(kExitUsage, QStringLiteral("--address: ") + why);
    }
    ModbusTarget target{given.address, given.mode, 0};
    if (invocation.has(QStringLiteral("register"))) {
        const QString text = invocation.value(QStringLiteral("register"));
        const std::optional<int> reg = qm::readNumber(text.toStdString(), 0, 0xFFFF);
        if (!reg)
            throw Failure(kExitUsage, QStringLiteral("--register: \"%1\" is not a register "
                                                     "number from 0 to 65535")
                                          .arg(text));
        target.reg = *reg;
    }

    const auto link = openLink(invocation, console);
    if (!invocation.has(QStringLiteral("address")) || !invocation.has(QStringLiteral("mode"))) {
        const CommsSettings display = link->readComms();
        if (!invocation.has(QStringLiteral("address")))
            target.address = display.address;
        if (!invocation.has(QStringLiteral("mode")))
            target.mode = display.mode;
        console.note(QStringLiteral("%1: the display reports %2")
                         .arg(link->label(), describeComms(display)));
        // A master on the bus uses the display's own framing; the set-up commands get by
        // with less, so the PC's line may differ and the check then proves less.
        if (lineSettingsFor(display) != link->line())
            console.note(QStringLiteral("%1: checking at %2, the PC's line; a Modbus master "
                                        "uses the display's own, --line %3")
                             .arg(link->label(), formatLineSettings(link->line()),
                                  formatLineSettings(lineSettingsFor(display))));
        const QString why = modbusAddressProblem(target.address);
        if (!why.isEmpty())
            throw Failure(kExitNoReply,
                          QStringLiteral("%1: the display's %2").arg(link->label(), why));
    }

    const ModbusAnswer answer = checkModbus(*link, target);
    if (console.json())
        console.document({{QStringLiteral("port"), link->label()},
                          {QStringLiteral("line"), formatLineSettings(link->line())},
                          {QStringLiteral("modbusCheck"), modbusCheckJson(target, answer)}});
    else
        console.data(link->label() + QStringLiteral(": ") +
                     describeModbusCheck(*link, target, answer));
    return kExitOk;
}

} // namespace

Command modbusCheckCommand()
{
    return {
        QStringLiteral("modbus-check"),
        QStringLiteral("[--address HH] [--mode rtu|ascii] [--register N]"),
        {QStringLiteral("one Modbus request (read holding register N,"),
         QStringLiteral("default 0) at the display's address and mode,"),
         QStringLiteral("read with $M unless given; a value or a Modbus"),
         QStringLiteral("exception from that address passes")},
        {QCommandLineOption(QStringLiteral("address"),
                            QStringLiteral("modbus-check: the slave address, two "
                                           "hexadecimal digits 01 to F7"),
                            QStringLiteral("HH")),
         QCommandLineOption(QStringLiteral("mode"), QStringLiteral("modbus-check: rtu or ascii"),
                            QStringLiteral("MODE")),
         QCommandLineOption(QStringLiteral("register"),
                            QStringLiteral("modbus-check: the holding register to read, 0 "
                                           "to 65535 (0-based); default 0"),
                            QStringLiteral("N"))},
        0,
        0,
        runModbusCheck};
}

} // namespace cli
