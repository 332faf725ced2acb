#include "command.h"
#include "console.h"
#include "exitcodes.h"
#include "steps.h"

#include <QJsonObject>

namespace cli {
namespace {

int blockNumber(const QString &text)
{
    const auto number = parseBlockNumber(text);
    if (!number)
        throw Failure(kExitUsage, QStringLiteral("\"%1\" is not a block number from 1 to %2")
                                      .arg(text)
                                      .arg(qm::kBlockCount));
    return *number;
}

QString blockLine(int number, const BlockSettings &block)
{
    return QStringLiteral("block %1: %2").arg(number).arg(describeBlock(block));
}

int runGet(const Invocation &invocation, Console &console)
{
    const int number = blockNumber(invocation.args.at(0));
    const auto link = openLink(invocation, console);
    const BlockSettings block = link->readBlock(number);
    if (console.json())
        console.document({{QStringLiteral("port"), link->label()},
                          {QStringLiteral("block"), blockJson(number, block)}});
    else
        console.data(blockLine(number, block));
    return kExitOk;
}

int runSet(const Invocation &invocation, Console &console)
{
    const int number = blockNumber(invocation.args.at(0));
    bool missing = false;
    BlockSettings block = blockFromWords(invocation.args.mid(1), &missing);

    const auto link = openLink(invocation, console);
    if (missing) {
        block = link->readBlock(number);
        QStringList given;
        assignWords(block, invocation.args.mid(1), given);
    }
    link->writeBlock(number, block);
    console.result(QStringLiteral("%1: wrote %2").arg(link->label(), blockLine(number, block)));

    const bool verify = invocation.has(QStringLiteral("verify"));
    if (verify) {
        const BlockSettings readBack = link->readBlock(number);
        if (readBack != block)
            throw Failure(kExitDifferent,
                          link->label() + QStringLiteral(": ") +
                              differenceText(QStringLiteral("block %1").arg(number),
                                             describeBlock(block), describeBlock(readBack)));
        console.result(QStringLiteral("%1: read back: the same").arg(link->label()));
    }
    if (console.json())
        console.document({{QStringLiteral("port"), link->label()},
                          {QStringLiteral("block"), blockJson(number, block)},
                          {QStringLiteral("verified"), verify}});
    return kExitOk;
}

} // namespace

Command getCommand()
{
    return {QStringLiteral("get"),
            QStringLiteral("BLOCK"),
            {QStringLiteral("print the data type and decimal point of block"),
             QStringLiteral("1 to 9 ($N)")},
            {},
            1,
            1,
            runGet};
}

Command setCommand()
{
    return {QStringLiteral("set"),
            QStringLiteral("BLOCK KEY=VALUE... [--verify]"),
            {QStringLiteral("write them ($D), e.g. set 3 type=long point=2;"),
             QStringLiteral("--verify reads them back")},
            {verifyOption()},
            2,
            -1,
            runSet};
}

} // namespace cli
