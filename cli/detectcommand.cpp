// Finding a display whose line settings are unknown: "$M" at every setting it can run, on
// several ports side by side.
#include "command.h"
#include "console.h"
#include "detect.h"
#include "displaylink.h"
#include "exitcodes.h"
#include "interruption.h"
#include "portinfo.h"
#include "portnames.h"
#include "settings.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

#include <chrono>

namespace cli {

QList<int> parsePortList(const QString &text)
{
    QList<int> ports;
    auto number = [&text](const QString &word) {
        const std::optional<int> port = readPortNumber(word);
        if (!port)
            throw Failure(kExitUsage,
                          QStringLiteral("--ports: ") +
                              notAPortNumber(QStringLiteral("\"%1\" in \"%2\"").arg(word, text)));
        return *port;
    };
    const QStringList words = text.split(QLatin1Char(','));
    for (const QString &word : words) {
        const QStringList ends = word.split(QLatin1Char('-'));
        if (ends.size() > 2)
            throw Failure(kExitUsage, QStringLiteral("--ports: \"%1\" is not a port or a range "
                                                     "like 33-40")
                                          .arg(word));
        const int first = number(ends.first());
        const int last = number(ends.last());
        if (last < first)
            throw Failure(kExitUsage,
                          QStringLiteral("--ports: the range \"%1\" runs backwards").arg(word));
        for (int port = first; port <= last; ++port) {
            if (!ports.contains(port))
                ports.append(port);
        }
    }
    return ports;
}

namespace {

const char *outcomeName(DetectResult::Outcome outcome)
{
    switch (outcome) {
    case DetectResult::Outcome::Found:
        return "found";
    case DetectResult::Outcome::NotFound:
        return "none";
    case DetectResult::Outcome::Stopped:
        return "stopped";
    case DetectResult::Outcome::Failed:
        break;
    }
    return "failed";
}

// The ports to scan: --ports, --port, or every port that is present; a device reached by
// two numbers once.
QList<int> choosePorts(const Invocation &invocation, Console &console)
{
    QList<int> ports;
    if (invocation.has(QStringLiteral("ports"))) {
        ports = parsePortList(invocation.value(QStringLiteral("ports")));
    } else if (invocation.portGiven) {
        ports = parsePortList(invocation.portArgument);
    } else {
        for (const PortInfo &info : gatherPortInfo(allPortNumbers())) {
            if (portInUse(info))
                ports.append(info.port);
        }
        if (ports.isEmpty())
            throw Failure(kExitNoReply, QStringLiteral("no serial port is present to scan; plug "
                                                       "the adapter in, or name ports with "
                                                       "--ports"));
    }

    // Two numbers for one device (a link beside the fixed table) would fight over it.
    QList<int> scanned;
    QStringList devices;
    for (int port : ports) {
        const QString device = QFileInfo(portDevice(port)).canonicalFilePath();
        const int twin = device.isEmpty() ? -1 : int(devices.indexOf(device));
        if (twin >= 0) {
            console.note(QStringLiteral("%1 is the same device as %2; scanned once")
                             .arg(portName(port), portName(scanned.at(twin))));
            continue;
        }
        scanned.append(port);
        devices.append(device);
    }

    return scanned;
}

// One port's result: its answers traced and noted, its settings put on `lines`; returns
// its entry of the JSON document.
QJsonObject showResult(const DetectResult &result, Console &console, QStringList &lines)
{
    const QString label = portLabel(result.port);
    QJsonArray answers;
    int answered = 0;
    for (const DetectTry &each : result.tries) {
        const QString at = formatLineSettings(each.line);
        const QString bytes = printable(each.received);
        console.trace(QStringLiteral("%1: at %2: %3")
                          .arg(label, at,
                               each.received.isEmpty()
                                   ? QStringLiteral("nothing received")
                                   : QStringLiteral("received \"%1\"").arg(bytes)));
        if (each.received.isEmpty())
            continue;
        answers.append(QJsonObject{{QStringLiteral("line"), at},
                                   {QStringLiteral("received"), bytes},
                                   {QStringLiteral("unconfirmed"), each.unconfirmed}});
        if (result.outcome == DetectResult::Outcome::Found && each.line == result.line)
            continue;
        ++answered;
        if (each.unconfirmed)
            console.note(QStringLiteral("%1: a valid reply \"%2\" came during the try at %3 but "
                                        "not again when asked there: a late answer to an "
                                        "earlier try, credited to no setting (a longer "
                                        "--timeout may find the display)")
                             .arg(label, bytes, at));
        else
            console.note(QStringLiteral("%1: something answered at %2, but not validly: \"%3\"")
                             .arg(label, at, bytes));
    }
    QJsonObject entry{{QStringLiteral("port"), result.port},
                      {QStringLiteral("name"), portName(result.port)},
                      {QStringLiteral("device"), portDevice(result.port)},
                      {QStringLiteral("outcome"), QLatin1String(outcomeName(result.outcome))},
                      {QStringLiteral("tries"), result.triesMade},
                      {QStringLiteral("answers"), answers}};
    if (result.gatewayLine)
        console.note(QStringLiteral("%1: one line setting tried: the gateway's own line settings "
                                    "apply")
                         .arg(label));
    if (result.echo) {
        entry.insert(QStringLiteral("echo"), true);
        console.note(echoNote(label));
    }
    switch (result.outcome) {
    case DetectResult::Outcome::Found: {
        const CommsSettings &comms = result.comms;
        const QString line = formatLineSettings(result.line);
        entry.insert(QStringLiteral("line"), line);
        entry.insert(QStringLiteral("modbus"), commsJson(comms));
        lines.append(
            QStringLiteral("%1: answered at %2: %3").arg(label, line, describeComms(comms)));
        // On a real line a display may answer at a framing close to its own (7 data
        // bits with even parity look much like 8 without); what it reports is its own.
        const QString own = formatLineSettings(lineSettingsFor(comms));
        if (own != line)
            console.note(
                QStringLiteral("%1: the display reports its line as %2; use that").arg(label, own));
        console.note(QStringLiteral("%1: talk to it with: quillmark-cli --port %2 --line %3 "
                                    "read")
                         .arg(label)
                         .arg(result.port)
                         .arg(own));
        break;
    }
    case DetectResult::Outcome::NotFound:
        if (answered == 0)
            console.note(QStringLiteral("%1: no display answered at any of the %2 settings")
                             .arg(label)
                             .arg(result.triesMade));
        else
            console.note(QStringLiteral("%1: no valid answer at any of the %2 settings; "
                                        "something answered at %3 of them (above)")
                             .arg(label)
                             .arg(result.triesMade)
                             .arg(answered));
        break;
    case DetectResult::Outcome::Stopped:
        console.note(QStringLiteral("%1: stopped after %2 of the settings; the port is closed")
                         .arg(label)
                         .arg(result.triesMade));
        break;
    case DetectResult::Outcome::Failed:
        entry.insert(QStringLiteral("error"), result.error->description());
        console.error(result.error->description());
        break;
    }
    return entry;
}

int runDetectCommand(const Invocation &invocation, Console &console)
{
    const QList<int> scanned = choosePorts(invocation, console);
    const int tries = int(detectTries().size());
    console.note(QStringLiteral("scanning %1 port(s), %2 line settings each, up to %3 ms per "
                                "setting")
                     .arg(scanned.size())
                     .arg(tries)
                     .arg(invocation.timeoutMs));
    const QList<DetectResult> results = runDetect(
        scanned, std::chrono::milliseconds(invocation.timeoutMs),
        [&console](int port, int number, int count, const LineSettings &settings) {
            console.note(QStringLiteral("%1: try %2 of %3 at %4")
                             .arg(portName(port))
                             .arg(number)
                             .arg(count)
                             .arg(formatLineSettings(settings)));
        },
        interruptionDescriptor());

    int found = 0;
    int failed = 0;
    QJsonArray array;
    QStringList lines;
    for (const DetectResult &result : results) {
        found += result.outcome == DetectResult::Outcome::Found ? 1 : 0;
        failed += result.outcome == DetectResult::Outcome::Failed ? 1 : 0;
        array.append(showResult(result, console, lines));
    }

    QJsonObject document{{QStringLiteral("found"), found}, {QStringLiteral("ports"), array}};
    if (interruption() != 0)
        document.insert(QStringLiteral("stopped"), signalName(interruption()));
    if (console.json())
        console.document(document);
    else if (!lines.isEmpty())
        console.data(lines.join(QLatin1Char('\n')));
    if (interruption() != 0) {
        console.error(QStringLiteral("detect: stopped by %1 before the scan ended; every port is "
                                     "closed")
                          .arg(signalName(interruption())));
        return exitCodeOfSignal(interruption());
    }
    if (found > 0)
        return kExitOk;
    if (failed == int(results.size()))
        return kExitPort;
    console.note(QStringLiteral("no display found; check its power and wiring, and `quillmark-cli "
                                "doctor`"));
    return kExitNoReply;
}

} // namespace

Command detectCommand()
{
    return {QStringLiteral("detect"),
            QStringLiteral("[--ports LIST]"),
            {QStringLiteral("find displays whose line settings are unknown:"),
             QStringLiteral("tries $M at each setting a display can run, on"),
             QStringLiteral("all ports at once, and reports where one answered")},
            {QCommandLineOption(QStringLiteral("ports"),
                                QStringLiteral("the ports detect scans, e.g. 1,3,33-40; default "
                                               "every port that is present"),
                                QStringLiteral("LIST"))},
            0,
            0,
            runDetectCommand};
}

} // namespace cli
