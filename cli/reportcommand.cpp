#include "command.h"
#include "console.h"
#include "exitcodes.h"
#include "records.h"

#include <QFile>

namespace cli {
namespace {

int runReport(const Invocation &invocation, Console &console)
{
    const QString path = invocation.args.at(0);
    if (!QFile::exists(path))
        throw Failure(kExitUsage, QStringLiteral("%1: no such record file").arg(path));
    const RecordsRead read = readRecords(path);
    if (!read.error.isEmpty())
        throw Failure(kExitUsage, QStringLiteral("%1: cannot be read: %2").arg(path, read.error));
    if (!read.unreadableLines.isEmpty())
        console.warning(QStringLiteral("%1: %2: no record, skipped")
                            .arg(path, linesText(read.unreadableLines)));
    console.data(invocation.has(QStringLiteral("csv")) ? recordsCsv(read.records)
                                                       : recordsTable(read.records));
    return kExitOk;
}

} // namespace

Command reportCommand()
{
    return {QStringLiteral("report"),
            QStringLiteral("FILE [--csv]"),
            {QStringLiteral("print a record file as a table: time, address,"),
             QStringLiteral("outcome, changes; --csv for a spreadsheet")},
            {QCommandLineOption(QStringLiteral("csv"),
                                QStringLiteral("report: comma-separated values with a header"))},
            1,
            1,
            runReport};
}

} // namespace cli
