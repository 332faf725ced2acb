#include "command.h"
#include "console.h"
#include "dumpfile.h"
#include "exitcodes.h"
#include "records.h"
#include "steps.h"

#include <QJsonArray>

namespace cli {
namespace {

// Compares the display with a dump file and writes nothing.
int runVerify(const Invocation &invocation, Console &console)
{
    const QString path = invocation.args.at(0);
    QString why;
    const auto expected = parseDump(readInputFile(path), &why);
    if (!expected)
        throw Failure(kExitUsage, QStringLiteral("%1: %2; nothing was sent").arg(path, why));
    const auto link = openLink(invocation, console);
    const DisplaySettings has = readWholeDisplay(*link);

    QJsonArray differences;
    QStringList lines;
    for (const QJsonValue &change : settingsChanges(*expected, has)) {
        const QJsonObject object = change.toObject();
        const QJsonObject one = {{QStringLiteral("key"), object.value(QStringLiteral("key"))},
                                 {QStringLiteral("file"), object.value(QStringLiteral("from"))},
                                 {QStringLiteral("display"), object.value(QStringLiteral("to"))}};
        differences.append(one);
        lines << QStringLiteral("%1: %2 differs: the file has %3, the display %4")
                     .arg(
                         link->label(),
                         printableText(object.value(QStringLiteral("key")).toString()),
                         printableText(object.value(QStringLiteral("from")).toVariant().toString()),
                         printableText(object.value(QStringLiteral("to")).toVariant().toString()));
    }
    if (console.json())
        console.document({{QStringLiteral("port"), link->label()},
                          {QStringLiteral("file"), path},
                          {QStringLiteral("equal"), differences.isEmpty()},
                          {QStringLiteral("differences"), differences}});
    if (!lines.isEmpty()) {
        for (const QString &line : lines)
            console.error(line);
        return kExitDifferent;
    }
    console.result(
        QStringLiteral("%1: equal to %2: %3").arg(link->label(), path, describeComms(has.comms)));
    return kExitOk;
}

} // namespace

Command verifyCommand()
{
    return {QStringLiteral("verify"),
            QStringLiteral("FILE"),
            {QStringLiteral("compare the display with a dump, writing nothing;"),
             QStringLiteral("each differing key with both values")},
            {},
            1,
            1,
            runVerify};
}

} // namespace cli
