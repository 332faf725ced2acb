#include "bytetrace.h"
#include "command.h"
#include "commerror.h"
#include "console.h"
#include "exitcodes.h"
#include "interruption.h"
#include "numbers.h"
#include "portnames.h"
#include "settings.h"

#include <QCommandLineParser>
#include <QJsonObject>

#include <algorithm>

#ifndef QUILLMARK_VERSION
#define QUILLMARK_VERSION "unknown"
#endif

namespace cli {
namespace {

constexpr int kMaxTimeoutMs = 60000;

const QString kProgram = QStringLiteral("quillmark-cli");

QList<QCommandLineOption> globalOptions()
{
    using Option = QCommandLineOption;
    const QString none;
    return {Option({QStringLiteral("p"), QStringLiteral("port")}, none, QStringLiteral("PORT")),
            Option({QStringLiteral("l"), QStringLiteral("line")}, none, QStringLiteral("LINE")),
            Option({QStringLiteral("t"), QStringLiteral("timeout")}, none, QStringLiteral("MS")),
            Option(QStringLiteral("trace"), none, QStringLiteral("FILE")),
            Option(QStringLiteral("json")),
            Option(QStringList{QStringLiteral("q"), QStringLiteral("quiet")}),
            Option(QStringList{QStringLiteral("v"), QStringLiteral("verbose")}),
            Option(QStringList{QStringLiteral("h"), QStringLiteral("help")}),
            Option(QStringLiteral("version"))};
}

ParsedCommandLine usage(const QString &why)
{
    ParsedCommandLine parsed;
    parsed.text = why + QStringLiteral("\nTry '%1 --help' for more information.").arg(kProgram);
    parsed.exitCode = kExitUsage;
    return parsed;
}

const Command *findCommand(const QString &name)
{
    for (const Command &command : commandTable()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

int exitCodeOf(CommError::Kind kind)
{
    switch (kind) {
    case CommError::Kind::BadSettings:
        // --line was checked before; settings the driver still refuses are the port's doing.
    case CommError::Kind::NoSuchPort:
    case CommError::Kind::NoDevice:
    case CommError::Kind::NoPermission:
    case CommError::Kind::InUse:
    case CommError::Kind::LockFailed:
    case CommError::Kind::NotTerminal:
    case CommError::Kind::LinkRefused:
    case CommError::Kind::Lost:
    case CommError::Kind::NotOpen:
    case CommError::Kind::Io:
        break;
    }
    return kExitPort;
}

// What to do next about a port that failed, as its kind tells; empty where the message
// already says it (a refused link folder names its fix).
QString adviceFor(CommError::Kind kind, const Invocation &invocation)
{
    const QString doctor =
        QStringLiteral("`quillmark-cli doctor --port %1`").arg(invocation.port.argument());
    switch (kind) {
    case CommError::Kind::NoPermission:
        return doctor + QStringLiteral(" checks the device, its group and yours");
    case CommError::Kind::InUse:
    case CommError::Kind::LockFailed:
        return doctor + QStringLiteral(" names every program that holds the port and the "
                                       "lock folders");
    case CommError::Kind::NoSuchPort:
    case CommError::Kind::NoDevice:
        // A server's address is not a port that list could show; the message says it all.
        if (invocation.port.network || isNetworkAddress(portDevice(invocation.port.number)))
            return {};
        return QStringLiteral("`quillmark-cli list` shows the ports that are present");
    case CommError::Kind::NotTerminal:
    case CommError::Kind::LinkRefused:
    case CommError::Kind::Lost:
    case CommError::Kind::NotOpen:
    case CommError::Kind::BadSettings:
    case CommError::Kind::Io:
        break;
    }
    return {};
}

void reportFailure(Console &console, int code, const QString &message,
                   const QJsonObject &details = {})
{
    console.error(message);
    if (console.json()) {
        QJsonObject document = details;
        document.insert(QStringLiteral("error"), message);
        document.insert(QStringLiteral("exit"), code);
        console.document(document);
    }
}

// "mode ascii|rtu, baud 1200|...": the values the keys take, from the protocol's tables.
QString valuesText()
{
    auto names = [](auto table) {
        QStringList words;
        for (const auto &each : table)
            words << QString::fromLatin1(each.data(), qsizetype(each.size())).toLower();
        return words.join(QLatin1Char('|'));
    };
    QStringList rates;
    for (int rate : qm::kBaudRates)
        rates << QString::number(rate);
    QStringList bits;
    for (int each = qm::kMinDataBits; each <= qm::kMaxDataBits; ++each)
        bits << QString::number(each);
    return QStringLiteral("Values: mode %1, baud %2, bits %3, parity %4 (none with 7 data bits "
                          "is refused), address %5..%6 (hexadecimal), type %7, point 0..%8 "
                          "digits after the point. Keys left out of write and set keep the "
                          "display's current value.")
        .arg(names(qm::kModeNames), rates.join(QLatin1Char('|')), bits.join(QLatin1Char('|')),
             names(qm::kParityNames), addressText(qm::kMinAddress), addressText(qm::kMaxAddress),
             names(qm::kDataTypeNames), QString::number(qm::kDecimalPointCount - 1));
}

QString wrapped(const QString &head, const QString &description, int column = 23)
{
    // Without a head, the text wraps from the left edge.
    QString text = head.isEmpty() ? QString() : head.leftJustified(column - 1) + QLatin1Char(' ');
    if (!head.isEmpty() && head.size() >= column - 1)
        text = head + QLatin1Char('\n') + QString(column, QLatin1Char(' '));
    int width = column;
    for (const QString &word : description.split(QLatin1Char(' '))) {
        if (width > column && width + 1 + word.size() > 80) {
            text += QLatin1Char('\n') + QString(column, QLatin1Char(' '));
            width = column;
        } else if (width > column) {
            text += QLatin1Char(' ');
            ++width;
        }
        text += word;
        width += int(word.size());
    }
    return text + QLatin1Char('\n');
}

// A result that did not reach stdout (a full disk, a closed pipe) is no success.
int finish(Console &console, int code)
{
    const QString lost = console.finishOutput();
    if (lost.isEmpty())
        return code;
    console.error(
        QStringLiteral("the result could not be written to the standard output: %1").arg(lost));
    return code == kExitOk ? kExitOther : code;
}

} // namespace

QString helpText()
{
    QString text = QStringLiteral(
        "Usage: quillmark-cli [OPTIONS] COMMAND [ARGS]\n"
        "Reads and writes the set-up of a Modbus panel display on a serial port: its Modbus\n"
        "settings and the data type and decimal point of its nine blocks.\n"
        "\n"
        "Commands:\n");
    for (const Command &command : commandTable()) {
        const QString head = QStringLiteral("  %1 %2").arg(command.name, command.synopsis);
        for (qsizetype i = 0; i < command.summary.size(); ++i) {
            const QString left = i == 0 ? head : QString();
            if (i == 0 && head.size() > 30)
                text += head + QLatin1Char('\n') + QString(31, QLatin1Char(' '));
            else
                text += left.leftJustified(31);
            text += command.summary[i] + QLatin1Char('\n');
        }
    }
    text += QStringLiteral(
                "\n"
                "Options:\n"
                "  -p, --port PORT      port number as the window shows it (5, \"COM 5\", COM5,\n"
                "                       com5; 1 to 250), a device path, or a serial device\n"
                "                       server: rfc2217://HOST:PORT or tcp://HOST:PORT;\n"
                "                       default 1\n"
                "  -l, --line LINE      the PC side's line settings, baud,parity,bits,stop;\n"
                "                       default 9600,N,8,1\n"
                "  -t, --timeout MS     the longest wait for one reply; default %1\n"
                "      --trace FILE     append every byte sent and received to FILE, with the\n"
                "                       time, the port and its line settings\n"
                "      --json           print one JSON document on stdout\n"
                "  -q, --quiet          print only errors and the settings asked for\n"
                "  -v, --verbose        trace every byte sent and received, with timings\n"
                "  -h, --help           print this help\n"
                "      --version        print the version\n"
                "\n"
                "Options of some commands:\n")
                .arg(qm::kReplyWindowMs);
    QStringList listed;
    QList<QStringList> descriptions;
    QStringList heads;
    for (const Command &command : commandTable()) {
        for (const QCommandLineOption &option : command.options) {
            const QString name = option.names().constFirst();
            const qsizetype at = listed.indexOf(name);
            if (at >= 0) {
                if (!descriptions[at].contains(option.description()))
                    descriptions[at] << option.description();
                continue;
            }
            listed << name;
            descriptions << QStringList{option.description()};
            QString head = QStringLiteral("      --") + name;
            if (!option.valueName().isEmpty())
                head += QLatin1Char(' ') + option.valueName();
            heads << head;
        }
    }
    // An option of the same name in another command that means something else there
    // (commission's --address) gets a line of its own under the first.
    for (qsizetype i = 0; i < heads.size(); ++i) {
        for (qsizetype j = 0; j < descriptions[i].size(); ++j)
            text += wrapped(j == 0 ? heads[i] : QStringLiteral(" "), descriptions[i][j]);
    }
    text += QLatin1Char('\n') + wrapped(QString(), valuesText(), 0) +
            QStringLiteral("\nExit status:\n");
    for (const ExitStatusRow &row : kExitStatusTable) {
        const QString head = QStringLiteral("  ") + QLatin1String(row.codes);
        text += wrapped(head, QLatin1String(row.meaning), int(head.size()) + 2);
    }
    text += wrapped(QString(),
                    QStringLiteral("commission: the outcome of its units, whatever ended the run: "
                                   "0 when every unit passed, 5 when a unit failed its "
                                   "read-back; otherwise the first failed unit's: 4 it stopped "
                                   "answering or answered garbage while being written, or its "
                                   "Modbus check failed; 3 its port failed; 130, 143, 129 a "
                                   "signal interrupted it (finished on the wire and recorded "
                                   "as failed). With no failed unit: 1 when a record cannot be "
                                   "written (always 1 then) or the address range ran out, 3 "
                                   "when the port cannot be used at all (a missing device is "
                                   "waited for). A signal while waiting is the ordinary end."),
                    0);
    return text;
}

// The options every command takes: the port, the line, the time-out and the output's form.
// Returns why they are refused; empty when they are not.
QString readGlobalOptions(const QCommandLineParser &parser, Invocation &invocation)
{
    if (parser.isSet(QStringLiteral("port"))) {
        invocation.portArgument = parser.value(QStringLiteral("port"));
        invocation.portGiven = true;
        QString why;
        const std::optional<Port> port = readPort(invocation.portArgument, &why);
        if (!port)
            return QStringLiteral("--port: ") + why;
        invocation.port = *port;
    }
    if (parser.isSet(QStringLiteral("line"))) {
        QString why;
        const auto line = parseLineSettings(parser.value(QStringLiteral("line")), &why);
        if (!line)
            return QStringLiteral("--line: ") + why;
        invocation.line = *line;
    }
    if (parser.isSet(QStringLiteral("timeout"))) {
        const QString text = parser.value(QStringLiteral("timeout"));
        const std::optional<int> ms = qm::readNumber(text.toStdString(), 1, kMaxTimeoutMs);
        if (!ms)
            return QStringLiteral("--timeout: \"%1\" is not a number of milliseconds "
                                  "from 1 to %2")
                .arg(text)
                .arg(kMaxTimeoutMs);
        invocation.timeoutMs = *ms;
    }
    invocation.traceFile = parser.value(QStringLiteral("trace"));
    if (parser.isSet(QStringLiteral("trace")) && invocation.traceFile.isEmpty())
        return QStringLiteral("--trace: give a file");
    invocation.json = parser.isSet(QStringLiteral("json"));
    invocation.quiet = parser.isSet(QStringLiteral("quiet"));
    invocation.verbose = parser.isSet(QStringLiteral("verbose"));
    if (invocation.quiet && invocation.verbose)
        return QStringLiteral("--quiet and --verbose exclude each other");
    return {};
}

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.addOptions(globalOptions());
    QStringList commandOptions;
    for (const Command &command : commandTable()) {
        for (const QCommandLineOption &option : command.options) {
            if (!commandOptions.contains(option.names().constFirst())) {
                parser.addOption(option);
                commandOptions << option.names().constFirst();
            }
        }
    }
    if (!parser.parse(arguments))
        return usage(parser.errorText());

    ParsedCommandLine parsed;
    if (parser.isSet(QStringLiteral("help"))) {
        parsed.text = helpText();
        return parsed;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        parsed.text = kProgram + QStringLiteral(" ") + QStringLiteral(QUILLMARK_VERSION);
        return parsed;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usage(QStringLiteral("no command given"));
    const Command *command = findCommand(positional.constFirst());
    if (!command)
        return usage(QStringLiteral("unknown command \"%1\"").arg(positional.constFirst()));

    Invocation invocation;
    invocation.command = command->name;
    invocation.args = positional.mid(1);
    if (invocation.args.size() < command->minArgs ||
        (command->maxArgs >= 0 && invocation.args.size() > command->maxArgs))
        return usage(
            QStringLiteral("usage: %1 %2 %3").arg(kProgram, command->name, command->synopsis));
    for (const QString &name : commandOptions) {
        if (!parser.isSet(name))
            continue;
        const auto own = std::find_if(command->options.begin(), command->options.end(),
                                      [&name](const QCommandLineOption &option) {
                                          return option.names().constFirst() == name;
                                      });
        if (own == command->options.end())
            return usage(QStringLiteral("--%1 does not apply to %2").arg(name, command->name));
        invocation.flags << name;
        if (!own->valueName().isEmpty())
            invocation.values.insert(name, parser.value(name));
    }

    if (const QString why = readGlobalOptions(parser, invocation); !why.isEmpty())
        return usage(why);
    parsed.invocation = invocation;
    return parsed;
}

int runCommandLine(const QStringList &arguments, std::FILE *out, std::FILE *err)
{
    Console console(out, err);
    const ParsedCommandLine parsed = parseCommandLine(arguments);
    if (!parsed.invocation) {
        if (parsed.exitCode == kExitOk)
            console.data(parsed.text);
        else
            console.error(parsed.text);
        return finish(console, parsed.exitCode);
    }
    const Invocation &invocation = *parsed.invocation;
    console.setJson(invocation.json);
    console.setLevel(invocation.quiet     ? Console::Level::Quiet
                     : invocation.verbose ? Console::Level::Verbose
                                          : Console::Level::Normal);
    if (!invocation.traceFile.isEmpty()) {
        if (const QString why = bytetrace::start(invocation.traceFile); !why.isEmpty()) {
            reportFailure(console, kExitOther,
                          QStringLiteral("--trace: %1 cannot be written: %2; nothing was sent")
                              .arg(invocation.traceFile, why));
            return finish(console, kExitOther);
        }
    }
    int code = kExitOk;
    const Command *command = findCommand(invocation.command);
    try {
        code = command->run(invocation, console);
    } catch (const Failure &failure) {
        reportFailure(console, failure.code(), failure.message(), failure.details());
        code = failure.code();
    } catch (const CommError &error) {
        reportFailure(console, exitCodeOf(error.kind()), error.description());
        if (const QString advice = adviceFor(error.kind(), invocation); !advice.isEmpty())
            console.note(advice);
        code = exitCodeOf(error.kind());
    }
    // A trace that was asked for and lost is a failure of its own, though the command's
    // work is done.
    if (const QString why = bytetrace::problem(); !why.isEmpty()) {
        console.error(QStringLiteral("--trace: %1 is incomplete, tracing stopped: %2")
                          .arg(invocation.traceFile, why));
        if (code == kExitOk)
            code = kExitOther;
    }
    // A command that ran to its end while a signal waited has done its work; the exit
    // status still says that it was asked to stop.
    if (interruption() != 0 && code < kExitHangUp && !command->endsBySignal) {
        console.error(QStringLiteral("stopped by %1").arg(signalName(interruption())));
        code = exitCodeOfSignal(interruption());
    }
    return finish(console, code);
}

} // namespace cli
