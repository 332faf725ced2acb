#include "command.h"
#include "console.h"
#include "exitcodes.h"
#include "modbuscheck.h"
#include "steps.h"

#include <QJsonObject>

namespace cli {
namespace {

int runRead(const Invocation &invocation, Console &console)
{
    const auto link = openLink(invocation, console);
    const CommsSettings comms = link->readComms();
    if (console.json())
        console.document({{QStringLiteral("port"), link->label()},
                          {QStringLiteral("modbus"), commsJson(comms)}});
    else
        console.data(describeComms(comms));
    return kExitOk;
}

int runWrite(const Invocation &invocation, Console &console)
{
    bool missing = false;
    CommsSettings comms = commsFromWords(invocation.args, &missing);
    const bool modbus = invocation.has(QStringLiteral("modbus"));
    requireFollowForModbus(invocation);
    if (!missing) {
        QString why = checkWritable(comms);
        if (why.isEmpty() && modbus)
            why = modbusAddressProblem(comms.address);
        if (!why.isEmpty())
            throw Failure(kExitUsage, why);
    }

    const auto link = openLink(invocation, console);
    if (missing) {
        comms = link->readComms();
        QStringList given;
        assignWords(comms, invocation.args, given);
        QString why = checkWritable(comms);
        if (why.isEmpty() && modbus)
            why = modbusAddressProblem(comms.address);
        if (!why.isEmpty())
            throw Failure(kExitUsage,
                          QStringLiteral("%1: %2 (with the display's other settings %3); "
                                         "nothing was written")
                              .arg(link->label(), why, describeComms(comms)));
    }
    link->writeComms(comms);
    console.result(QStringLiteral("%1: wrote %2").arg(link->label(), describeComms(comms)));

    const bool follow = invocation.has(QStringLiteral("follow"));
    const CommsReadBack readBack = afterCommsWrite(*link, console, comms, follow, false);
    if (!readBack.difference.isEmpty())
        throw Failure(kExitDifferent, link->label() + QStringLiteral(": ") + readBack.difference);
    if (readBack.settings)
        console.result(QStringLiteral("%1: read back at %2: the same")
                           .arg(link->label(), formatLineSettings(link->line())));
    FollowCheck check;
    if (modbus)
        check = modbusAfterWrite(*link, comms);
    if (!check.result.isEmpty())
        console.result(check.result);
    if (console.json()) {
        QJsonObject document = {{QStringLiteral("port"), link->label()},
                                {QStringLiteral("modbus"), commsJson(comms)},
                                {QStringLiteral("line"), formatLineSettings(link->line())},
                                {QStringLiteral("readBack"), bool(readBack.settings)}};
        if (modbus)
            document.insert(QStringLiteral("modbusCheck"), check.json);
        if (!check.failure.isEmpty()) {
            document.insert(QStringLiteral("error"), check.failure);
            document.insert(QStringLiteral("exit"), int(kExitNoReply));
        }
        console.document(document);
    }
    if (!check.failure.isEmpty()) {
        console.error(check.failure);
        return kExitNoReply;
    }
    return kExitOk;
}

} // namespace

Command readCommand()
{
    return {QStringLiteral("read"),
            QString(),
            {QStringLiteral("print the display's Modbus settings ($M)")},
            {},
            0,
            0,
            runRead};
}

Command writeCommand()
{
    return {QStringLiteral("write"),
            QStringLiteral("KEY=VALUE... [--follow [--modbus]]"),
            {QStringLiteral("write the display's Modbus settings ($C), e.g."),
             QStringLiteral("mode=rtu baud=9600 bits=8 parity=even address=0A;"),
             QStringLiteral("--follow reopens the PC port at the display's"),
             QStringLiteral("new line settings and reads them back;"),
             QStringLiteral("--modbus then checks them with a Modbus request")},
            {followOption(), modbusOption()},
            1,
            -1,
            runWrite};
}

} // namespace cli
