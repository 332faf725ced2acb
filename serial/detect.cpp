#include "detect.h"

#include "commands.h"
#include "commcontrol.h"
#include "exchange.h"
#include "networkaddress.h"
#include "portnames.h"
#include "protocollimits.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

namespace {

std::string_view view(const QByteArray &bytes)
{
    return std::string_view(bytes.constData(), std::size_t(bytes.size()));
}

} // namespace

QList<LineSettings> detectTries()
{
    // Most likely first, so that a typical display is found in the first few tries.
    // RTU is what nearly every Modbus network runs and it needs 8 data bits; 7 data bits
    // only serve ASCII mode, so those come last. Even parity is the Modbus default and the
    // display's factory setting, None is the usual other choice of a master, Odd is rare.
    // The baud rate is what technicians change most (to match the bus), so each framing
    // is tried at every rate before the next framing, 9600 (the factory rate) first and
    // the slower rates, chosen less often, after it.
    struct Framing
    {
        int dataBits;
        char parity;
    };
    constexpr Framing kFramings[] = {{8, 'E'}, {8, 'N'}, {8, 'O'}, {7, 'E'}, {7, 'O'}};

    QList<LineSettings> tries;
    for (const Framing &framing : kFramings) {
        for (auto rate = qm::kBaudRates.rbegin(); rate != qm::kBaudRates.rend(); ++rate) {
            LineSettings settings;
            settings.baud = *rate;
            settings.parity = framing.parity;
            settings.dataBits = framing.dataBits;
            tries.append(settings);
        }
    }
    return tries;
}

// One port of a scan: its own port control and reply timer, stepping through the tries.
class PortScanner
{
public:
    PortScanner(DetectScan &scan, const Port &port)
        : m_scan(scan), m_control(std::make_unique<CommControl>()), m_exchange(*m_control)
    {
        m_result.port = port;
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, &scan, [this] { endTry(); });
        QObject::connect(m_control.get(), &CommControl::inputArrived, &scan,
                         [this] { takeInput(); });
    }

    void start()
    {
        try {
            const Port &port = m_result.port;
            if (port.isNumber())
                m_control->setCommPort(port.number);
            else
                m_control->setDevice(port.device);
            m_result.gatewayLine =
                gatewayKeepsLine(port.isNumber() ? portDevice(port.number) : port.device);
        } catch (const CommError &error) {
            finish(DetectResult::Outcome::Failed, error);
            return;
        }
        nextTry();
    }

    const DetectResult &result() const { return m_result; }

    void stop()
    {
        m_timer.stop();
        finish(DetectResult::Outcome::Stopped, std::nullopt);
    }

private:
    void nextTry()
    {
        QList<LineSettings> tries = m_scan.m_tries;
        if (m_result.gatewayLine)
            tries = tries.mid(0, 1);
        while (m_result.triesMade < tries.size()) {
            const LineSettings settings = tries[m_result.triesMade++];
            if (m_scan.m_progress)
                m_scan.m_progress(m_result.port, m_result.triesMade, int(tries.size()), settings);
            try {
                prepareLine(settings);
            } catch (const CommError &error) {
                // An adapter that cannot run one framing (some lack 7 data bits) can still
                // be tried at the others; anything else ends the scan of this port.
                if (error.kind() != CommError::Kind::BadSettings) {
                    finish(DetectResult::Outcome::Failed, error);
                    return;
                }
                ++m_result.triesSkipped;
                continue;
            }
            m_line = settings;
            m_result.tries.append({settings, {}, false});
            ask();
            return;
        }
        finish(DetectResult::Outcome::NotFound, std::nullopt);
    }

    // Sends "$M" at the current setting and opens its reply window.
    void ask()
    {
        try {
            // Whatever an earlier try stirred up must not pass for this try's reply: the
            // exchange drops it. The reply is judged whole, bytes after its end included.
            const std::string command = qm::readCommsCommand();
            ReplyRule rule = ReplyRule::forCommand(command);
            rule.size = nullptr;
            m_exchange.send(QByteArray::fromStdString(command), rule);
            m_timer.start(m_scan.m_replyWindow);
        } catch (const CommError &error) {
            finish(DetectResult::Outcome::Failed, error);
        }
    }

    void prepareLine(const LineSettings &settings)
    {
        if (m_control->portOpen()) {
            try {
                m_control->setLineSettings(settings);
                return;
            } catch (const CommError &error) {
                if (error.kind() != CommError::Kind::BadSettings)
                    throw;
            }
            // Some lines, a pseudo-terminal among them, refuse a change of data bits while
            // open but take it when opened with it.
            m_control->setPortOpen(false);
        }
        m_control->setLineSettings(settings);
        m_control->setPortOpen(true);
    }

    void takeInput()
    {
        // Taking lets Qt read, which may announce more input from inside this call.
        if (m_taking || !m_timer.isActive())
            return;
        m_taking = true;
        bool whole = false;
        try {
            whole = m_exchange.take();
        } catch (const CommError &error) {
            m_taking = false;
            m_timer.stop();
            finish(DetectResult::Outcome::Failed, error);
            return;
        }
        m_taking = false;
        // Once the reply is whole, waiting longer cannot make it valid.
        if (whole) {
            m_timer.stop();
            QTimer::singleShot(0, &m_scan, [this] { endTry(); });
        }
    }

    void endTry()
    {
        if (m_done)
            return;
        m_timer.stop();
        ExchangeResult exchanged;
        try {
            m_exchange.take();
            exchanged = m_exchange.finish();
        } catch (const CommError &error) {
            finish(DetectResult::Outcome::Failed, error);
            return;
        }
        const QByteArray &received = exchanged.reply;
        // A field garbled into a non-digit (a parity error arrives as "?") is no answer.
        const qm::CommsReply reply = qm::judgeCommsReply(view(received), qm::FieldReading::Strict);
        DetectTry &current = m_result.tries.last();
        m_result.echo = m_result.echo || !exchanged.echo.isEmpty();
        if (!m_confirming) {
            current.received = received;
            // A display answering later than the window answers during a later try, at a
            // setting it does not run; only a reply that comes again when asked at the same
            // setting belongs to it.
            if (reply.complete()) {
                m_confirming = true;
                ask();
                return;
            }
        } else {
            m_confirming = false;
            if (reply.complete()) {
                m_result.line = m_line;
                m_result.comms = reply.settings();
                m_result.received = received;
                finish(DetectResult::Outcome::Found, std::nullopt);
                return;
            }
            current.unconfirmed = true;
        }
        nextTry();
    }

    void finish(DetectResult::Outcome outcome, const std::optional<CommError> &error)
    {
        if (m_done)
            return;
        m_done = true;
        m_result.outcome = outcome;
        m_result.error = error;
        m_control->setPortOpen(false);
        m_scan.portDone();
    }

    DetectScan &m_scan;
    std::unique_ptr<CommControl> m_control;
    QTimer m_timer;
    DetectResult m_result;
    Exchange m_exchange;
    LineSettings m_line;
    bool m_taking = false;
    bool m_confirming = false;
    bool m_done = false;
};

DetectScan::DetectScan(const QList<Port> &ports, std::chrono::milliseconds replyWindow,
                       QObject *parent)
    : QObject(parent), m_tries(detectTries()), m_replyWindow(replyWindow)
{
    for (const Port &port : ports)
        m_scanners.push_back(std::make_unique<PortScanner>(*this, port));
}

DetectScan::~DetectScan() = default;

void DetectScan::start()
{
    if (m_started)
        return;
    m_started = true;
    m_running = int(m_scanners.size());
    if (m_running == 0) {
        QTimer::singleShot(0, this, &DetectScan::finished);
        return;
    }
    for (const auto &scanner : m_scanners)
        scanner->start();
}

void DetectScan::stop()
{
    for (const auto &scanner : m_scanners)
        scanner->stop();
}

QList<DetectResult> DetectScan::results() const
{
    QList<DetectResult> results;
    for (const auto &scanner : m_scanners)
        results.append(scanner->result());
    return results;
}

void DetectScan::portDone()
{
    if (--m_running == 0)
        QTimer::singleShot(0, this, &DetectScan::finished);
}

QList<DetectResult> runDetect(const QList<Port> &ports, std::chrono::milliseconds replyWindow,
                              const DetectScan::Progress &progress, int stopDescriptor)
{
    DetectScan scan(ports, replyWindow);
    scan.setProgress(progress);
    QEventLoop loop;
    QObject::connect(&scan, &DetectScan::finished, &loop, &QEventLoop::quit);
    std::unique_ptr<QSocketNotifier> stopper;
    if (stopDescriptor >= 0) {
        stopper = std::make_unique<QSocketNotifier>(stopDescriptor, QSocketNotifier::Read);
        QObject::connect(stopper.get(), &QSocketNotifier::activated, &scan, [&scan, &stopper] {
            stopper->setEnabled(false);
            scan.stop();
        });
    }
    scan.start();
    if (!scan.isFinished())
        loop.exec();
    return scan.results();
}
