#include "commcontrol.h"

#include "bytetrace.h"
#include "networkline.h"
#include "portaccess.h"
#include "portnames.h"
#include "portparameters.h"
#include "terminal.h"

#include <QSerialPort>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

namespace {

constexpr qint64 kReceiveBufferSize = 1024;
constexpr qint64 kTransmitBufferSize = 512;

} // namespace

CommControl::CommControl(QObject *parent) : Line(parent), m_port(new QSerialPort(this))
{
    m_port->setReadBufferSize(kReceiveBufferSize);
    connect(m_port, &QSerialPort::errorOccurred, this, &CommControl::handleError);
    connect(m_port, &QSerialPort::readyRead, this, &CommControl::inputArrived);
}

CommControl::~CommControl()
{
    closePort();
}

bool CommControl::portOpen() const
{
    if (m_network)
        return m_network->portOpen();
    return m_port->isOpen() && m_lostReason.isEmpty();
}

void CommControl::setPortOpen(bool open)
{
    if (open && portOpen())
        return;
    closePort();
    m_lostReason.clear();
    m_openFailure.clear();
    if (!open)
        return;
    try {
        openPort();
    } catch (const CommError &error) {
        m_openFailure = error.description();
        throw;
    }
    bytetrace::record(portLabel(), settings(), "open");
}

QString CommControl::settings() const
{
    return formatLineSettings(m_settings);
}

void CommControl::setSettings(const QString &settings)
{
    QString error;
    const std::optional<LineSettings> parsed = parseLineSettings(settings, &error);
    if (!parsed)
        fail(CommError::Kind::BadSettings,
             QStringLiteral("the settings \"%1\" are refused: %2").arg(settings, error));
    setLineSettings(*parsed);
}

void CommControl::setLineSettings(const LineSettings &settings)
{
    const QString error = lineSettingsProblem(settings);
    if (!error.isEmpty())
        fail(CommError::Kind::BadSettings, QStringLiteral("the settings \"%1\" are refused: %2")
                                               .arg(formatLineSettings(settings), error));
    if (m_network)
        m_network->setLineSettings(settings);
    else if (portOpen())
        applySettings(settings);
    m_settings = settings;
}

void CommControl::setCommPort(int port)
{
    requirePortNumber(port);
    m_commPort = port;
}

void CommControl::setDevice(const QString &device)
{
    m_device = device;
}

void CommControl::setOutput(const QByteArray &data)
{
    if (m_network)
        return m_network->setOutput(data);
    if (!portOpen() || checkHangUp())
        failClosed();
    if (m_port->bytesToWrite() + data.size() > kTransmitBufferSize)
        fail(CommError::Kind::Io,
             QStringLiteral("%1 bytes do not fit the transmit buffer of %2 bytes")
                 .arg(m_port->bytesToWrite() + data.size())
                 .arg(kTransmitBufferSize));
    if (m_port->write(data) != data.size())
        fail(CommError::Kind::Io, m_port->errorString());
    // Hand the bytes to the driver now rather than on the next turn of the event loop, so
    // that a reply timer started after this call runs from the moment they leave.
    m_port->flush();
    bytetrace::record(portLabel(), settings(), "send", data);
    if (!m_lostReason.isEmpty())
        throw CommError(CommError::Kind::Lost, m_lostReason);
}

QByteArray CommControl::input()
{
    if (m_network)
        return m_network->input();
    if (!portOpen() || checkHangUp())
        failClosed();
    takeWaitingBytes();
    if (!m_lostReason.isEmpty())
        throw CommError(CommError::Kind::Lost, m_lostReason);
    const QByteArray received = m_port->readAll();
    if (!m_parityMarked) {
        if (!received.isEmpty())
            bytetrace::record(portLabel(), settings(), "recv", received);
        return received;
    }
    const std::string decoded =
        m_decoder.feed(std::string_view(received.constData(), std::size_t(received.size())));
    const QByteArray bytes(decoded.data(), qsizetype(decoded.size()));
    if (!bytes.isEmpty())
        bytetrace::record(portLabel(), settings(), "recv", bytes);
    return bytes;
}

bool CommControl::waitForInput(int msecs)
{
    if (m_network)
        return m_network->waitForInput(msecs);
    if (!portOpen())
        failClosed();
    if (m_port->bytesAvailable() > 0)
        return true;
    switch (terminal::waitReadable(m_port->handle(), msecs)) {
    case terminal::Wait::TimedOut:
        return false;
    case terminal::Wait::Readable:
        // A read that fails reports the loss through handleError; input() throws it.
        m_port->waitForReadyRead(0);
        return true;
    case terminal::Wait::HungUp:
        break;
    }
    const QString reason = disconnectedReason(portLabel());
    closePort();
    m_lostReason = reason;
    emit portLost(m_lostReason);
    return true;
}

void CommControl::handleError()
{
    const QSerialPort::SerialPortError error = m_port->error();
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError &&
        error != QSerialPort::WriteError)
        return;
    if (!m_port->isOpen() || !m_lostReason.isEmpty())
        return;
    markLost(error == QSerialPort::WriteError
                 ? portLabel() + QStringLiteral(": writing failed: %1").arg(m_port->errorString())
                 : disconnectedReason(portLabel()));
}

void CommControl::handleHangUpNotice()
{
    if (!m_hangUpWatch || !m_hangUpWatch->hungUp())
        return;
    m_hangUpNotifier->setEnabled(false);
    markLost(disconnectedReason(portLabel()));
}

bool CommControl::checkHangUp()
{
    if (m_port->isOpen() && m_lostReason.isEmpty() && terminal::hungUp(m_port->handle()))
        markLost(disconnectedReason(portLabel()));
    return !m_lostReason.isEmpty();
}

void CommControl::markLost(const QString &reason)
{
    if (!m_port->isOpen() || !m_lostReason.isEmpty())
        return;
    m_lostReason = reason;
    m_lostPending = true;
    // After a hang-up Qt's read notifier fires on every turn of the event loop for as long
    // as the descriptor stays open (and, depending on the Qt release, reports an error each
    // time), and closing it right here would delete the socket notifier that may be
    // delivering this very call; close on the next turn instead.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!m_lostPending)
                return;
            closePort();
            emit portLost(m_lostReason);
        },
        Qt::QueuedConnection);
}

QString CommControl::portLabel() const
{
    if (m_port->isOpen() || !m_lostReason.isEmpty())
        return m_openLabel;
    return closedLabel();
}

QString CommControl::closedLabel() const
{
    return m_device.isEmpty() ? ::portLabel(m_commPort) : m_device;
}

void CommControl::fail(CommError::Kind kind, const QString &reason) const
{
    throw CommError(kind, portLabel() + QStringLiteral(": ") + reason);
}

void CommControl::failClosed() const
{
    if (!m_lostReason.isEmpty())
        throw CommError(CommError::Kind::Lost, m_lostReason);
    // "Not open" alone reads like a fault of its own; the failed open is what happened.
    if (!m_openFailure.isEmpty())
        throw CommError(CommError::Kind::NotOpen,
                        m_openFailure + QStringLiteral("; the port is not open"));
    fail(CommError::Kind::NotOpen, QStringLiteral("the port is not open"));
}

void CommControl::openPort()
{
    if (const QString refusal = m_device.isEmpty() ? portLinkRefusal(m_commPort) : QString();
        !refusal.isEmpty())
        fail(CommError::Kind::LinkRefused, refusal);
    const QString device = m_device.isEmpty() ? portDevice(m_commPort) : m_device;
    if (device.isEmpty())
        fail(CommError::Kind::NoSuchPort,
             QStringLiteral("no device is assigned to this port number"));
    if (isNetworkAddress(device))
        return openNetworkLine(device);
    // Nothing is opened, not even for a moment, before we know that it is a terminal and
    // that no other program holds it: opening alone can disturb the other's line.
    for (auto check : {checkDeviceNode, checkLockFiles, checkOpenHolders}) {
        if (const std::optional<CommError> failure = check(device))
            fail(failure->kind(), failure->description());
    }

    // Qt's serial port names its lock file after the path it opens.
    m_port->setPortName(deviceItself(device));
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    applySettings(m_settings);
    errno = 0;
    if (!m_port->open(QIODevice::ReadWrite)) {
        // Read before anything else can touch errno: the open's own reason.
        const int osError = errno;
        const CommError failure =
            openFailure(m_port->error(), osError, m_port->errorString(), device);
        fail(failure.kind(), failure.description());
    }
    if (const std::optional<CommError> failure = claimOpenDevice(m_port->handle(), device)) {
        closePort();
        fail(failure->kind(), failure->description());
    }
    m_openLabel = closedLabel();

    // A line without modem control (a pseudo-terminal, some USB adapters) refuses DTR and
    // RTS as an unsupported operation; the port works all the same.
    auto setModemLine = [this](bool done) {
        if (done)
            return;
        if (m_port->error() != QSerialPort::UnsupportedOperationError) {
            const QString reason = m_port->errorString();
            closePort();
            fail(CommError::Kind::Io, reason);
        }
        m_port->clearError();
    };
    // The kernel raised both lines inside open(); RTS goes down first to keep that pulse
    // as short as we can (see the README's hardware section).
    setModemLine(m_port->setRequestToSend(false));
    setModemLine(m_port->setDataTerminalReady(true));

    try {
        applyFraming();
    } catch (...) {
        closePort();
        throw;
    }

    // Bytes that arrived before the port was opened answer nothing sent through it. Qt
    // 6.6.1 and later discard them inside open(), earlier releases keep them: discard them
    // here, on every release, so the first reply read is the reply to the first command.
    if (!m_port->clear(QSerialPort::Input)) {
        const QString reason = m_port->errorString();
        closePort();
        fail(CommError::Kind::Io, QStringLiteral("cannot discard old input: %1").arg(reason));
    }
    startHangUpWatch();
}

void CommControl::openNetworkLine(const QString &address)
{
    QString why;
    const std::optional<NetworkAddress> parsed = readNetworkAddress(address, &why);
    if (!parsed)
        fail(CommError::Kind::NoSuchPort, why);
    m_network = new NetworkLine(*parsed, closedLabel(), this);
    connect(m_network, &Line::inputArrived, this, &Line::inputArrived);
    connect(m_network, &Line::portLost, this, &Line::portLost);
    m_network->setLineSettings(m_settings);
    m_network->setPortOpen(true);
    m_openLabel = closedLabel();
}

void CommControl::startHangUpWatch()
{
    // Qt's serial port learns of a hang-up only from a failing read, and a read of a
    // hung-up terminal returns 0, which Qt releases report differently (6.7.1 and later
    // not at all, while their read notifier keeps firing); a read notifier also sleeps
    // while Qt's read buffer is full. The driver's own flags, watched here, say it always.
    m_hangUpWatch = std::make_unique<terminal::HangUpWatch>(m_port->handle());
    if (m_hangUpWatch->descriptor() < 0)
        return;
    m_hangUpNotifier =
        new QSocketNotifier(qintptr(m_hangUpWatch->descriptor()), QSocketNotifier::Read, this);
    connect(m_hangUpNotifier, &QSocketNotifier::activated, this, &CommControl::handleHangUpNotice);
}

void CommControl::stopHangUpWatch()
{
    if (m_hangUpNotifier) {
        // Possibly called while the notifier delivers its signal.
        m_hangUpNotifier->setEnabled(false);
        m_hangUpNotifier->deleteLater();
        m_hangUpNotifier = nullptr;
    }
    m_hangUpWatch.reset();
}

void CommControl::closePort()
{
    if (m_network) {
        m_network->setPortOpen(false);
        // Possibly called from inside one of its signals.
        m_network->deleteLater();
        m_network = nullptr;
    }
    m_lostPending = false;
    stopHangUpWatch();
    if (m_port->isOpen())
        m_port->close();
    m_decoder.reset();
    m_parityMarked = false;
}

void CommControl::applySettings(const LineSettings &settings)
{
    // Qt is asked for 8 data bits and no parity, which every terminal keeps: through
    // Qt, a pseudo-terminal left by a killed program in just the state Qt would set
    // refuses parity or 7 bits (see setFraming), and the open fails. setFraming sets both.
    auto apply = [this](const LineSettings &s) {
        const PortParameters parameters = portParameters(s);
        return m_port->setBaudRate(parameters.baudRate) &&
               m_port->setDataBits(QSerialPort::Data8) &&
               m_port->setParity(QSerialPort::NoParity) && m_port->setStopBits(parameters.stopBits);
    };
    if (!apply(settings)) {
        const QString reason = m_port->errorString();
        apply(m_settings);
        m_port->clearError();
        fail(CommError::Kind::BadSettings,
             QStringLiteral("the settings \"%1\" cannot be applied: %2")
                 .arg(formatLineSettings(settings), reason));
    }
    if (!m_port->isOpen())
        return;

    const LineSettings previous = m_settings;
    m_settings = settings;
    try {
        applyFraming();
    } catch (...) {
        m_settings = previous;
        throw;
    }
}

void CommControl::applyFraming()
{
    // Qt's own setters rewrite the terminal's flags, so this follows every change of
    // settings.
    const bool marked = m_settings.parity != 'N';
    if (const int error =
            terminal::setFraming(m_port->handle(), m_settings.dataBits, m_settings.parity))
        fail(CommError::Kind::Io, QString::fromLocal8Bit(std::strerror(error)));
    if (marked != m_parityMarked)
        m_decoder.reset();
    m_parityMarked = marked;
}

void CommControl::takeWaitingBytes()
{
    // Qt moves bytes out of the driver only when the event loop gets a turn; a caller that
    // reads without giving it one still expects everything the line has delivered.
    while (m_lostReason.isEmpty() && m_port->bytesAvailable() < kReceiveBufferSize &&
           terminal::bytesWaiting(m_port->handle())) {
        if (!m_port->waitForReadyRead(0))
            break;
    }
}
