#pragma once

#include "linesettings.h"
#include "portnames.h"
#include "protocollimits.h"

#include <QCommandLineOption>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

// The commands of quillmark-cli. Each lives in a file of its own that defines the
// function returning its entry; commandtable.cpp lists them.
namespace cli {

class Console;

// A parsed command line.
struct Invocation
{
    Port port;
    QString portArgument;   // --port as given: detect reads a list of ports from it
    bool portGiven = false; // --port was on the command line
    LineSettings line;
    int timeoutMs = qm::kReplyWindowMs;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    QString traceFile; // --trace: every byte on the line goes there too
    QString command;
    QStringList args;
    // The command's own options that were given, by name ("follow"), and the values of
    // those that take one.
    QStringList flags;
    QHash<QString, QString> values;
    bool has(const QString &flag) const { return flags.contains(flag); }
    QString value(const QString &option) const { return values.value(option); }
};

struct Command
{
    QString name;
    QString synopsis;    // what follows the name in the usage, e.g. "BLOCK [--verify]"
    QStringList summary; // help lines, the first one says what the command does
    QList<QCommandLineOption> options;
    int minArgs = 0;
    int maxArgs = 0; // -1 for any number
    int (*run)(const Invocation &invocation, Console &console) = nullptr;
    // A signal is this command's ordinary end: its exit status stays what it returns.
    bool endsBySignal = false;
};

Command readCommand();
Command writeCommand();
Command getCommand();
Command setCommand();
Command dumpCommand();
Command applyCommand();
Command listCommand();
Command linkCommand();
Command unlinkCommand();
Command detectCommand();
Command doctorCommand();
Command modbusCheckCommand();
Command verifyCommand();
Command commissionCommand();
Command reportCommand();

// Every command, in the order of the help.
const QList<Command> &commandTable();

// --ports "1,3,33-40,rfc2217://10.0.0.7:4001": port numbers, ranges of them and network
// addresses, each once, in the order given. Throws a usage Failure naming the word it cannot
// read or the port given twice.
QList<Port> parsePortList(const QString &text);

// The outcome of reading the command line: an invocation, or the text for --help or
// --version (exit 0), or a usage error (exit 2).
struct ParsedCommandLine
{
    std::optional<Invocation> invocation;
    QString text;
    int exitCode = 0;
};

ParsedCommandLine parseCommandLine(const QStringList &arguments);
QString helpText();

// The whole program behind main(): parses, runs the command, reports any failure, and
// returns the exit code.
int runCommandLine(const QStringList &arguments, std::FILE *out, std::FILE *err);

} // namespace cli
