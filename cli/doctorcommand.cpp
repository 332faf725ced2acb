// Why a port cannot be used, told from the PC side: each check's verdict and its fix.
#include "command.h"
#include "console.h"
#include "doctor.h"
#include "exitcodes.h"
#include "portnames.h"

#include <QJsonArray>
#include <QJsonObject>

namespace cli {
namespace {

const char *checkName(Verdict::Check check)
{
    switch (check) {
    case Verdict::Check::Device:
        return "device";
    case Verdict::Check::Access:
        return "access";
    case Verdict::Check::Holder:
        return "holder";
    case Verdict::Check::Grabber:
        return "service";
    case Verdict::Check::Server:
        return "server";
    case Verdict::Check::LinkFolder:
        break;
    }
    return "linkFolder";
}

const char *levelName(Verdict::Level level)
{
    switch (level) {
    case Verdict::Level::Ok:
        return "ok";
    case Verdict::Level::Warning:
        return "warning";
    case Verdict::Level::Problem:
        break;
    }
    return "problem";
}

int runDoctorCommand(const Invocation &invocation, Console &console)
{
    // A number is the window's port; a path names the device, as everywhere else.
    QList<Verdict> verdicts;
    if (!invocation.portGiven) {
        verdicts = runDoctor(std::nullopt);
    } else {
        const Port &port = invocation.port;
        const QString device = port.isNumber() ? portDevice(port.number) : port.device;
        // A serial device server has no device node, group or lock: it is asked once.
        if (isNetworkAddress(device))
            verdicts = {checkServer(port.label(), device, invocation.line)};
        else
            verdicts = port.isNumber() ? runDoctor(port.number) : runDoctorOnDevice(port.device);
    }

    bool problem = false;
    QJsonArray array;
    QStringList lines;
    for (const Verdict &verdict : verdicts) {
        problem = problem || verdict.level == Verdict::Level::Problem;
        array.append(QJsonObject{{QStringLiteral("check"), QLatin1String(checkName(verdict.check))},
                                 {QStringLiteral("level"), QLatin1String(levelName(verdict.level))},
                                 {QStringLiteral("text"), verdict.text},
                                 {QStringLiteral("fix"),
                                  verdict.fix.isEmpty() ? QJsonValue() : QJsonValue(verdict.fix)}});
        lines.append(formatVerdict(verdict));
    }
    if (console.json())
        console.document({{QStringLiteral("ok"), !problem}, {QStringLiteral("checks"), array}});
    else
        console.data(lines.join(QLatin1Char('\n')));
    return problem ? kExitPort : kExitOk;
}

} // namespace

Command doctorCommand()
{
    return {QStringLiteral("doctor"),
            QStringLiteral("[--port N|DEVICE]"),
            {QStringLiteral("check why a port cannot be used: the device, your"),
             QStringLiteral("groups, other programs holding it, services that"),
             QStringLiteral("take serial devices, the link folder; changes nothing")},
            {},
            0,
            0,
            runDoctorCommand};
}

} // namespace cli
