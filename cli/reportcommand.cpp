#include "command.h"
#include "console.h"
#include "exitcodes.h"
#include "recordcheck.h"
#include "records.h"

#include <QFile>
#include <QFileInfo>

namespace cli {
namespace {

// Rows go out a block at a time: a year of records is never held as text at once.
constexpr qsizetype kRowBlock = 1 << 20;

int runReport(const Invocation &invocation, Console &console)
{
    const QString path = invocation.args.at(0);
    if (!QFile::exists(path))
        throw Failure(kExitUsage, QStringLiteral("%1: no such record file").arg(path));
    const bool check = invocation.has(QStringLiteral("check"));
    const bool csv = invocation.has(QStringLiteral("csv"));
    const QString allowedSigners = invocation.value(QStringLiteral("allowed-signers"));
    if (!allowedSigners.isEmpty() && !check)
        throw Failure(kExitUsage, QStringLiteral("report: --allowed-signers goes with --check"));
    if (!allowedSigners.isEmpty() && !QFileInfo(allowedSigners).isFile())
        throw Failure(kExitUsage,
                      QStringLiteral("%1: no such allowed-signers file").arg(allowedSigners));

    ChainChecker checker;
    QList<int> unreadable;
    QByteArray rows = (check ? QString()
                       : csv ? recordsCsvHeader()
                             : recordsTableHeader())
                          .toUtf8();
    rows.reserve(kRowBlock + 4096);
    const QString error = forEachLine(path, [&](int number, const QByteArray &line) {
        if (line.isEmpty())
            return;
        // The row is written before the line goes: its texts may point into it.
        const LineFacts facts = readLineFacts(line, check ? LineDepth::Index : LineDepth::Summary);
        checker.take(number, line, facts);
        if (check)
            return;
        if (facts.kind == LineKind::NotRecord && !line.trimmed().isEmpty())
            unreadable << number;
        if (facts.kind != LineKind::Record)
            return;
        if (csv)
            appendCsvRow(rows, facts.row);
        else
            appendTableRow(rows, facts.row);
        if (rows.size() >= kRowBlock) {
            console.data(rows);
            rows.resize(0);
        }
    });
    if (!error.isEmpty())
        throw Failure(kExitUsage, QStringLiteral("%1: cannot be read: %2").arg(path, error));
    const ChainState state = checker.finish(allowedSigners);
    if (check) {
        if (console.json())
            console.document(state.json());
        else
            console.data(QStringLiteral("%1: %2\n").arg(path, state.text()));
        return state.intact() ? kExitOk : kExitDifferent;
    }
    if (!unreadable.isEmpty())
        console.warning(
            QStringLiteral("%1: %2: no record, skipped").arg(path, linesText(unreadable)));
    // The CSV is a spreadsheet's input: the chain's state goes beside it, not into it.
    if (csv) {
        // A block that ended with the last row leaves nothing: no empty line after the rows.
        if (!rows.isEmpty())
            console.data(rows);
        console.note(QStringLiteral("%1: %2").arg(path, state.text()));
    } else {
        console.data(rows + QStringLiteral("\nchain: %1\n").arg(state.text()).toUtf8());
    }
    return kExitOk;
}

} // namespace

Command reportCommand()
{
    return {QStringLiteral("report"),
            QStringLiteral("FILE [--csv | --check [--allowed-signers FILE]]"),
            {QStringLiteral("print a record file as a table: time, address,"),
             QStringLiteral("outcome, changes, and the state of its chain;"),
             QStringLiteral("--csv for a spreadsheet; --check walks the chain"),
             QStringLiteral("and names the first line that breaks it (exit 5)")},
            {QCommandLineOption(QStringLiteral("csv"),
                                QStringLiteral("report: comma-separated values with a header")),
             QCommandLineOption(QStringLiteral("check"),
                                QStringLiteral("report: check the chain of the records and "
                                               "their seals; exit 5 when it is broken")),
             QCommandLineOption(QStringLiteral("allowed-signers"),
                                QStringLiteral("report --check: also verify every seal's "
                                               "signature against FILE (ssh-keygen's allowed "
                                               "signers) and refuse unsealed records"),
                                QStringLiteral("FILE"))},
            1,
            1,
            runReport};
}

} // namespace cli
