#pragma once

#include "commerror.h"
#include "linesettings.h"
#include "portnames.h"
#include "replies.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// The line settings a display can run, in the order a scan tries them: every setting
// the display offers except parity None with 7 data bits.
QList<LineSettings> detectTries();

// What came back to one try's "$M".
struct DetectTry
{
    LineSettings line;
    QByteArray received; // the bytes of its reply window, any echo removed; empty when none
    // A valid reply came in its window but not again when asked at the same setting: most
    // likely a late answer to an earlier try, which is credited to no setting.
    bool unconfirmed = false;
};

// What a scan found on one port.
struct DetectResult
{
    enum class Outcome {
        Found,    // a valid reply came at `line`, and again when asked once more
        NotFound, // every setting was tried without a valid reply
        Failed,   // the port could not be used; `error` says why
        Stopped,  // stop() ended the scan first
    };
    Port port;
    Outcome outcome = Outcome::NotFound;
    int triesMade = 0;
    int triesSkipped = 0; // settings the port could not be set to
    LineSettings line;
    qm::CommsSettings comms; // what the display reported, when Found
    QByteArray received;
    // The adapter handed back what was sent (an RS-485 adapter without echo suppression);
    // the echo was taken away before judging.
    bool echo = false;
    // The port is a raw TCP gateway: one setting tried, since its own line settings apply.
    bool gatewayLine = false;
    std::optional<CommError> error;
    // Every try made, in order, with what it received.
    QList<DetectTry> tries;
};

class PortScanner;

// Looks for a display on several ports at once: on each port it sends "$M" at one line
// setting after another and stops at the first valid reply. The ports run side by side on
// the caller's event loop, each on its own CommControl, so eight ports take about as long
// as one.
class DetectScan : public QObject
{
    Q_OBJECT

public:
    // Called as each try starts; `tryNumber` counts from 1.
    using Progress = std::function<void(const Port &port, int tryNumber, int tryCount,
                                        const LineSettings &settings)>;

    DetectScan(const QList<Port> &ports, std::chrono::milliseconds replyWindow,
               QObject *parent = nullptr);
    ~DetectScan() override;

    // Replaces detectTries(); set before start().
    void setTries(const QList<LineSettings> &tries) { m_tries = tries; }
    void setProgress(Progress progress) { m_progress = std::move(progress); }

    void start();
    // Ends the scan of every port at once, closing each; those still running end Stopped.
    void stop();
    bool isFinished() const { return m_running == 0 && m_started; }
    // One result per port, in the order the ports were given; complete once finished.
    QList<DetectResult> results() const;

signals:
    void finished();

private:
    friend class PortScanner;
    void portDone();

    QList<LineSettings> m_tries;
    std::chrono::milliseconds m_replyWindow;
    Progress m_progress;
    std::vector<std::unique_ptr<PortScanner>> m_scanners;
    int m_running = 0;
    bool m_started = false;
};

// Runs a scan to its end on a local event loop. When `stopDescriptor` is given, the scan
// stops as soon as it becomes readable (a signal's self-pipe).
QList<DetectResult> runDetect(const QList<Port> &ports, std::chrono::milliseconds replyWindow,
                              const DetectScan::Progress &progress = {}, int stopDescriptor = -1);
