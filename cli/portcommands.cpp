// Ports a technician recognises: list them, and give an adapter a port number of its own.
#include "command.h"
#include "console.h"
#include "exitcodes.h"
#include "interruption.h"
#include "portinfo.h"
#include "portlinks.h"
#include "portnames.h"
#include "portwatcher.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

namespace cli {
namespace {

int portNumber(const QString &text)
{
    const std::optional<int> port = readPortNumber(text);
    if (!port)
        throw Failure(kExitUsage, notAPortNumber(QStringLiteral("\"%1\"").arg(text)));
    return *port;
}

// One line per adapter plugged in ("+") or unplugged ("-"), or one JSON object per event,
// until a signal asks to stop or the output cannot be written any more.
int watchPorts(Console &console)
{
    QEventLoop loop;
    PortWatcher watcher;
    bool outputLost = false;
    auto report = [&](const PortInfo &info, bool plugged) {
        if (console.json()) {
            QJsonObject event = portInfoJson(info);
            event.insert(QStringLiteral("event"),
                         plugged ? QStringLiteral("plugged") : QStringLiteral("unplugged"));
            console.event(event);
        } else {
            console.data((plugged ? QStringLiteral("+ ") : QStringLiteral("- ")) +
                         formatPortLine(info));
        }
        // Nobody reads any more (a closed pipe, a full disk): the watch has no use.
        if (!console.finishOutput().isEmpty()) {
            outputLost = true;
            loop.quit();
        }
    };
    QObject::connect(&watcher, &PortWatcher::portAdded, &loop,
                     [&](const PortInfo &info) { report(info, true); });
    QObject::connect(&watcher, &PortWatcher::portRemoved, &loop,
                     [&](const PortInfo &info) { report(info, false); });

    std::unique_ptr<QSocketNotifier> stopper;
    QTimer stopCheck;
    if (interruptionDescriptor() >= 0) {
        stopper = std::make_unique<QSocketNotifier>(qintptr(interruptionDescriptor()),
                                                    QSocketNotifier::Read);
        QObject::connect(stopper.get(), &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    } else {
        // Without the signals' pipe, a look at the signal now and then.
        QObject::connect(&stopCheck, &QTimer::timeout, &loop, [&loop] {
            if (interruption() != 0)
                loop.quit();
        });
        stopCheck.start(200);
    }

    const auto *system = qobject_cast<const SystemPortSource *>(watcher.source());
    console.note(
        QStringLiteral("watching for adapters plugged in and unplugged (%1); Ctrl-C "
                       "stops")
            .arg(system && system->mode() == SystemPortSource::Mode::Udev
                     ? QStringLiteral("udev")
                     : QStringLiteral("a look at /dev and %1 every second").arg(portLinkFolder())));
    if (interruption() == 0)
        loop.exec();
    if (outputLost)
        return kExitOk; // the failed write makes the exit status
    console.note(QStringLiteral("stopped watching (%1)").arg(signalName(interruption())));
    return exitCodeOfSignal(interruption());
}

int runList(const Invocation &invocation, Console &console)
{
    if (invocation.has(QStringLiteral("watch"))) {
        if (invocation.has(QStringLiteral("all")))
            throw Failure(kExitUsage, QStringLiteral("list: --all and --watch do not go together; "
                                                     "--watch reports adapters as they come "
                                                     "and go"));
        return watchPorts(console);
    }
    const bool all = invocation.has(QStringLiteral("all"));
    QList<PortInfo> ports = gatherPortInfo(allPortNumbers());
    if (!all)
        ports.erase(std::remove_if(ports.begin(), ports.end(),
                                   [](const PortInfo &info) { return !portInUse(info); }),
                    ports.end());
    if (console.json()) {
        QJsonArray array;
        for (const PortInfo &info : ports)
            array.append(portInfoJson(info));
        console.document({{QStringLiteral("ports"), array}});
    } else {
        QStringList lines;
        for (const PortInfo &info : ports)
            lines.append(formatPortLine(info));
        if (!lines.isEmpty())
            console.data(lines.join(QLatin1Char('\n')));
    }
    if (ports.isEmpty())
        console.note(QStringLiteral("no serial port is present; --all lists every port number"));
    return kExitOk;
}

int runLink(const Invocation &invocation, Console &console)
{
    const int port = portNumber(invocation.args.at(0));
    // A path relative to where the command runs, as ln would take it; an address as
    // written, in its one form.
    const QString argument = invocation.args.at(1);
    QString why;
    const std::optional<Port> address =
        isNetworkAddress(argument) ? readPort(argument, &why) : std::nullopt;
    if (isNetworkAddress(argument) && !address)
        throw Failure(kExitUsage, why);
    const QString target =
        address ? address->device : QDir::cleanPath(QDir::current().absoluteFilePath(argument));
    const QString previous = makePortLink(port, target);
    if (!previous.isEmpty() && previous != target)
        console.note(QStringLiteral("%1 led to %2 before").arg(portName(port)).arg(previous));

    const PortInfo info = gatherPortInfo({port}).constFirst();
    if (console.json()) {
        QJsonObject document = portInfoJson(info);
        document.insert(QStringLiteral("previous"), previous.isEmpty() ? QJsonValue() : previous);
        console.document(document);
    } else {
        console.result(formatPortLine(info));
    }
    // A kernel name follows the plug order; the by-id name follows the adapter.
    if (!info.byId.isEmpty() && info.byId != target)
        console.note(QStringLiteral("%1 may get another number when adapters are plugged in "
                                    "another order; link its stable name instead: "
                                    "quillmark-cli link %2 %3")
                         .arg(target)
                         .arg(port)
                         .arg(info.byId));
    return kExitOk;
}

int runUnlink(const Invocation &invocation, Console &console)
{
    const int port = portNumber(invocation.args.at(0));
    const bool removed = removePortLink(port);
    if (console.json())
        console.document({{QStringLiteral("port"), port},
                          {QStringLiteral("removed"), removed},
                          {QStringLiteral("device"), portDevice(port)}});
    else if (removed)
        console.result(QStringLiteral("%1: link removed; the port is %2 again")
                           .arg(portName(port))
                           .arg(portDevice(port).isEmpty() ? QStringLiteral("without a device")
                                                           : portDevice(port)));
    if (!removed)
        console.note(QStringLiteral("%1 had no link in %2; nothing was changed")
                         .arg(portName(port))
                         .arg(portLinkFolder()));
    return kExitOk;
}

} // namespace

Command listCommand()
{
    return {QStringLiteral("list"),
            QStringLiteral("[--all | --watch]"),
            {QStringLiteral("list the ports that are present: number, device,"),
             QStringLiteral("adapter, serial number and stable by-id and by-path"),
             QStringLiteral("names; --all lists every port number; --watch prints"),
             QStringLiteral("a line for each adapter plugged in (+) or unplugged (-)"),
             QStringLiteral("until Ctrl-C")},
            {QCommandLineOption(QStringLiteral("all"),
                                QStringLiteral("list every port number, present or not")),
             QCommandLineOption(QStringLiteral("watch"),
                                QStringLiteral("report adapters as they are plugged in and "
                                               "unplugged"))},
            0,
            0,
            runList};
}

Command linkCommand()
{
    return {QStringLiteral("link"),
            QStringLiteral("COM-NUMBER DEVICE"),
            {QStringLiteral("give DEVICE the port number, for this program and"),
             QStringLiteral("the window (a comN link in the link folder)")},
            {},
            2,
            2,
            runLink};
}

Command unlinkCommand()
{
    return {QStringLiteral("unlink"),
            QStringLiteral("COM-NUMBER"),
            {QStringLiteral("remove the port number's link")},
            {},
            1,
            1,
            runUnlink};
}

} // namespace cli
