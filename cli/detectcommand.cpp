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

QList<Port> parsePortList(const QString &text)
{
    QList<Port> ports;
    auto refuse = [](const QString &why) {
        throw Failure(kExitUsage, QStringLiteral("--ports: ") + why);
    };
    auto number = [&](const QString &word) {
        const std::optional<int> port = readPortNumber(word);
        if (!port)
            refuse(notAPortNumber(QStringLiteral("\"%1\" in \"%2\"").arg(word, text)) +
                   QStringLiteral(", nor an address like rfc2217://HOST:PORT"));
        return *port;
    };
    // Two lines on one port, or two connections to one server (which serves one client),
    // would fight over it.
    auto add = [&](const Port &port) {
        for (const Port &given : std::as_const(ports)) {
            if (given.isNumber() ? given.number == port.number
                                 : port.network && sameServer(*given.network, *port.network))
                refuse(QStringLiteral("%1 is given twice").arg(port.name()));
        }
        ports.append(port);
    };
    const QStringList words = text.split(QLatin1Char(','));
    for (const QString &word : words) {
        // Before the ranges: a host name may hold a '-'.
        if (isNetworkAddress(word)) {
            QString why;
            const std::optional<Port> port = readPort(word, &why);
            if (!port)
                refuse(why);
            add(*port);
            continue;
        }
        const QStringList ends = word.split(QLatin1Char('-'));
        if (ends.size() > 2)
            refuse(QStringLiteral("\"%1\" is not a port or a range like 33-40").arg(word));
        const int first = number(ends.first());
        const int last = number(ends.last());
        if (last < first)
            refuse(QStringLiteral("the range \"%1\" runs backwards").arg(word));
        for (int port = first; port <= last; ++port)
            add(Port::ofNumber(port));
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

// What a port reaches: its device's real path, or its server.
struct Reach
{
    QString device;
    std::optional<NetworkAddress> network;

    bool operator==(const Reach &other) const
    {
        if (network || other.network)
            return network && other.network && sameServer(*network, *other.network);
        return !device.isEmpty() && device == other.device;
    }
};

Reach reachOf(const Port &port)
{
    if (port.network)
        return {QString(), port.network};
    const QString device = portDevice(port.number);
    if (isNetworkAddress(device)) {
        QString why;
        return {QString(), readNetworkAddress(device, &why)};
    }
    return {QFileInfo(device).canonicalFilePath(), std::nullopt};
}

// The ports to scan: --ports, --port, or every port that is present; a device or a server
// reached twice (a link beside the fixed table, a link beside its address) once.
QList<Port> choosePorts(const Invocation &invocation, Console &console)
{
    QList<Port> ports;
    if (invocation.has(QStringLiteral("ports"))) {
        ports = parsePortList(invocation.value(QStringLiteral("ports")));
    } else if (invocation.portGiven) {
        ports = parsePortList(invocation.portArgument);
    } else {
        for (const PortInfo &info : gatherPortInfo(allPortNumbers())) {
            if (portInUse(info))
                ports.append(Port::ofNumber(info.port));
        }
        if (ports.isEmpty())
            throw Failure(kExitNoReply, QStringLiteral("no serial port is present to scan; plug "
                                                       "the adapter in, or name ports with "
                                                       "--ports"));
    }

    // Two scans of one device, or two clients of one server, would fight over it.
    QList<Port> scanned;
    QList<Reach> reached;
    for (const Port &port : std::as_const(ports)) {
        const Reach reach = reachOf(port);
        const int twin = int(reached.indexOf(reach));
        if (twin >= 0) {
            console.note(
                QStringLiteral("%1 is the same %2 as %3; scanned once")
                    .arg(port.name(),
                         reach.network ? QStringLiteral("server") : QStringLiteral("device"),
                         scanned.at(twin).name()));
            continue;
        }
        scanned.append(port);
        reached.append(reach);
    }

    return scanned;
}

// One port's result: its answers traced and noted, its settings put on `lines`; returns
// its entry of the JSON document.
QJsonObject showResult(const DetectResult &result, Console &console, QStringList &lines)
{
    const QString label = result.port.label();
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
    // An address is its own port, name and device.
    const Port &port = result.port;
    QJsonObject entry{
        {QStringLiteral("port"),
         port.isNumber() ? QJsonValue(port.number) : QJsonValue(port.device)},
        {QStringLiteral("name"), port.name()},
        {QStringLiteral("device"), port.isNumber() ? portDevice(port.number) : port.device},
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
                         .arg(label, port.argument(), own));
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
    const QList<Port> scanned = choosePorts(invocation, console);
    const int tries = int(detectTries().size());
    console.note(QStringLiteral("scanning %1 port(s), %2 line settings each, up to %3 ms per "
                                "setting")
                     .arg(scanned.size())
                     .arg(tries)
                     .arg(invocation.timeoutMs));
    const QList<DetectResult> results = runDetect(
        scanned, std::chrono::milliseconds(invocation.timeoutMs),
        [&console](const Port &port, int number, int count, const LineSettings &settings) {
            console.note(QStringLiteral("%1: try %2 of %3 at %4")
                             .arg(port.name())
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
                                QStringLiteral("the ports detect scans, e.g. 1,3,33-40,"
                                               "rfc2217://10.0.0.7:4001: numbers, ranges and "
                                               "network addresses, each once; default every "
                                               "port that is present"),
                                QStringLiteral("LIST"))},
            0,
            0,
            runDetectCommand};
}

} // namespace cli
