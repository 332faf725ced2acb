#include "command.h"
#include "console.h"
#include "exitcodes.h"
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
    if (!missing) {
        const QString why = checkWritable(comms);
        if (!why.isEmpty())
            throw Failure(kExitUsage, why);
    }

    const auto link = openLink(invocation, console);
    if (missing) {
        comms = link->readComms();
        QStringList given;
        assignWords(comms, invocation.args, given);
        const QString why = checkWritable(comms);
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
    if (console.json()) {
        QJsonObject document = {{QStringLiteral("port"), link->label()},
                                {QStringLiteral("modbus"), commsJson(comms)},
                                {QStringLiteral("line"), formatLineSettings(link->line())},
                                {QStringLiteral("readBack"), bool(readBack.settings)}};
        console.document(document);
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
            QStringLiteral("KEY=VALUE... [--follow]"),
            {QStringLiteral("write the display's Modbus settings ($C), e.g."),
             QStringLiteral("mode=rtu baud=9600 bits=8 parity=even address=0A;"),
             QStringLiteral("--follow reopens the PC port at the display's"),
             QStringLiteral("new line settings and reads them back")},
            {followOption()},
            1,
            -1,
            runWrite};
}

} // namespace cli
