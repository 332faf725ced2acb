#include "networkline.h"

#include "bytetrace.h"
#include "networksocket.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

namespace {

// A connect that does not complete within a few reply windows will not complete.
constexpr int kConnectMs = 3000;
// How long a server may take to answer the Telnet negotiation and each line setting.
constexpr int kNegotiationMs = 3000;

std::string bigEndian(quint32 value)
{
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

unsigned char parityCode(char parity)
{
    switch (parity) {
    case 'O':
        return 2;
    case 'E':
        return 3;
    case 'M':
        return 4;
    case 'S':
        return 5;
    default:
        return 1;
    }
}

QString parityName(unsigned char code)
{
    switch (code) {
    case 1:
        return QStringLiteral("None");
    case 2:
        return QStringLiteral("Odd");
    case 3:
        return QStringLiteral("Even");
    case 4:
        return QStringLiteral("Mark");
    case 5:
        return QStringLiteral("Space");
    default:
        return QStringLiteral("code %1").arg(code);
    }
}

struct SettingRequest
{
    unsigned char command;
    std::string value;
    const char *name;
};

} // namespace

NetworkLine::NetworkLine(const NetworkAddress &address, const QString &label, QObject *parent)
    : Line(parent), m_address(address), m_label(label)
{
}

NetworkLine::~NetworkLine()
{
    closeSocket();
}

bool NetworkLine::portOpen() const
{
    return m_open && m_lostReason.isEmpty();
}

void NetworkLine::setPortOpen(bool open)
{
    if (open && portOpen())
        return;
    closeSocket();
    m_lostReason.clear();
    m_openFailure.clear();
    if (!open)
        return;
    try {
        connectToServer();
        if (rfc2217()) {
            negotiateComPort();
            sendSettings(m_settings);
        }
    } catch (const CommError &error) {
        closeSocket();
        m_openFailure = error.description();
        throw;
    }
    m_open = true;
}

void NetworkLine::setLineSettings(const LineSettings &settings)
{
    if (portOpen() && rfc2217())
        sendSettings(settings);
    m_settings = settings;
}

void NetworkLine::setOutput(const QByteArray &data)
{
    if (!portOpen())
        failClosed();
    const std::string_view bytes(data.constData(), std::size_t(data.size()));
    const std::string wire = rfc2217() ? telnet::escape(bytes) : std::string(bytes);
    send(wire);
    bytetrace::record(m_label, formatLineSettings(m_settings), "send", data);
    if (!m_lostReason.isEmpty())
        throw CommError(CommError::Kind::Lost, m_lostReason);
}

QByteArray NetworkLine::input()
{
    if (!m_socket)
        failClosed();
    // Without an event loop the bytes stay in the kernel until asked for.
    if (m_socket->state() == QAbstractSocket::ConnectedState && m_lostReason.isEmpty())
        m_socket->waitForReadyRead(0);
    readSocket();
    QByteArray data;
    data.swap(m_data);
    if (!data.isEmpty()) {
        bytetrace::record(m_label, formatLineSettings(m_settings), "recv", data);
        return data;
    }
    if (!m_lostReason.isEmpty())
        throw CommError(CommError::Kind::Lost, m_lostReason);
    if (!m_open)
        failClosed();
    return data;
}

bool NetworkLine::waitForInput(int msecs)
{
    if (!m_socket)
        failClosed();
    return waitUntil([this] { return !m_data.isEmpty() || !m_lostReason.isEmpty(); }, msecs);
}

void NetworkLine::connectToServer()
{
    m_decoder.reset();
    m_data.clear();
    m_answers.clear();
    m_comPortAgreed = false;
    m_comPortRefused = false;
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &NetworkLine::readSocket);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &NetworkLine::handleSocketError);
    connect(m_socket, &QTcpSocket::disconnected, this, &NetworkLine::handleDisconnected);
    m_socket->connectToHost(m_address.host, m_address.port);
    if (!m_socket->waitForConnected(kConnectMs)) {
        if (m_socket->state() != QAbstractSocket::UnconnectedState ||
            m_socket->error() == QAbstractSocket::SocketTimeoutError)
            fail(CommError::Kind::NoDevice,
                 QStringLiteral("%1 did not accept the connection within %2 s")
                     .arg(m_address.hostPort())
                     .arg(kConnectMs / 1000));
        fail(CommError::Kind::NoDevice, socketReason());
    }
    // A command is a few bytes that wait for their reply: send each at once.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    // RFC 2217 has no keepalive of its own, and a gateway that lost power sends nothing.
    networksocket::shortenKeepAlive(m_socket->socketDescriptor());
    networksocket::acknowledgeAtOnce(m_socket->socketDescriptor());
}

void NetworkLine::negotiateComPort()
{
    using namespace telnet;
    // Every byte is data (BINARY, SUPPRESS-GO-AHEAD both ways), and we are the client of
    // the COM-port option (WILL; a DO would be refused).
    send(option(kWill, kComPort) + option(kWill, kBinary) + option(kDo, kBinary) +
         option(kWill, kSuppressGoAhead) + option(kDo, kSuppressGoAhead));
    const bool answered =
        waitUntil([this] { return m_comPortAgreed || m_comPortRefused; }, kNegotiationMs);
    if (!answered)
        failIfClosed(QStringLiteral("the RFC 2217 negotiation"));
    if (!answered)
        fail(CommError::Kind::Io,
             QStringLiteral("the server at %1 did not answer the RFC 2217 negotiation within %2 "
                            "s; a raw TCP port is tcp://%1")
                 .arg(m_address.hostPort())
                 .arg(kNegotiationMs / 1000));
    if (m_comPortRefused)
        fail(CommError::Kind::Io,
             QStringLiteral("the server at %1 does not offer RFC 2217 (it refused the COM-port "
                            "option); a raw TCP port is tcp://%1")
                 .arg(m_address.hostPort()));
}

void NetworkLine::sendSettings(const LineSettings &settings)
{
    using namespace telnet;
    const SettingRequest requests[] = {
        {kSetBaudRate, bigEndian(quint32(settings.baud)), "baud rate"},
        {kSetDataSize, std::string(1, char(settings.dataBits)), "data bits"},
        {kSetParity, std::string(1, char(parityCode(settings.parity))), "parity"},
        {kSetStopSize, std::string(1, char(settings.stopBits)), "stop bits"},
    };
    // Bytes the gateway holds from before answer nothing we send. The purge goes out with
    // the settings and all five answers are awaited at once: one round trip to the gateway
    // instead of two, which a distant gateway makes felt. A gateway may purge before its
    // settings have taken effect (ser2net answers the purge first), so what it forwarded
    // up to the last answer is dropped here too.
    const unsigned char purged = kPurgeData + kServerOffset;
    std::string wire;
    for (const SettingRequest &request : requests) {
        m_answers.erase(request.command + kServerOffset);
        wire += comPortCommand(request.command, request.value);
    }
    m_answers.erase(purged);
    wire += comPortCommand(kPurgeData, std::string(1, char(kPurgeReceive)));
    send(wire);
    const auto confirmed = [this, &requests] {
        for (const SettingRequest &request : requests) {
            if (m_answers.count(request.command + kServerOffset) == 0)
                return false;
        }
        return true;
    };
    const QDeadlineTimer deadline(kNegotiationMs);
    // The first command must go out at the line the server confirmed.
    waitUntil(confirmed, int(deadline.remainingTime()));
    // Judged in the order asked, whatever order the answers came in: the first setting
    // missing or kept otherwise is the one named.
    for (const SettingRequest &request : requests) {
        const unsigned char answer = request.command + kServerOffset;
        if (m_answers.count(answer) == 0) {
            failIfClosed(
                QStringLiteral("the negotiation of the %1").arg(QLatin1String(request.name)));
            fail(CommError::Kind::Io,
                 QStringLiteral("the server at %1 did not confirm the %2 within %3 s")
                     .arg(m_address.hostPort(), QLatin1String(request.name))
                     .arg(kNegotiationMs / 1000));
        }
        const std::string &got = m_answers[answer];
        if (got == request.value)
            continue;
        auto number = [](const std::string &value) {
            quint32 n = 0;
            for (char c : value)
                n = (n << 8) | static_cast<unsigned char>(c);
            return n;
        };
        QString kept;
        QString asked;
        switch (request.command) {
        case kSetBaudRate:
            kept = QStringLiteral("baud rate %1").arg(number(got));
            asked = QString::number(settings.baud);
            break;
        case kSetParity:
            kept = QStringLiteral("parity %1").arg(parityName(quint8(number(got))));
            asked = parityName(parityCode(settings.parity));
            break;
        case kSetDataSize:
            kept = QStringLiteral("%1 data bits").arg(number(got));
            asked = QString::number(settings.dataBits);
            break;
        default:
            kept = QStringLiteral("%1 stop bits").arg(number(got));
            asked = QString::number(settings.stopBits);
            break;
        }
        fail(CommError::Kind::BadSettings,
             QStringLiteral("the server at %1 kept %2 when asked for %3")
                 .arg(m_address.hostPort(), kept, asked));
    }
    // A server that does not confirm the purge still gets its bytes dropped as stale by
    // the exchange before each command.
    waitUntil([&] { return m_answers.count(purged) != 0; }, int(deadline.remainingTime()));
    m_data.clear();
}

void NetworkLine::failIfClosed(const QString &during)
{
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        return;
    // A server that takes one client per port closes another at once, saying why in text.
    const QByteArray said = m_data.simplified().left(80);
    fail(CommError::Kind::Io,
         QStringLiteral("the server at %1 closed the connection during %2%3")
             .arg(m_address.hostPort(), during,
                  said.isEmpty() ? QString()
                                 : QStringLiteral(": \"%1\"").arg(QString::fromLatin1(said))));
}

void NetworkLine::readSocket()
{
    if (!m_socket || !m_socket->isOpen())
        return;
    const QByteArray raw = m_socket->readAll();
    if (raw.isEmpty())
        return;
    networksocket::acknowledgeAtOnce(m_socket->socketDescriptor());
    const qsizetype before = m_data.size();
    if (!rfc2217()) {
        m_data += raw;
    } else {
        std::vector<telnet::Event> events;
        const std::string data =
            m_decoder.feed(std::string_view(raw.constData(), std::size_t(raw.size())), events);
        m_data.append(data.data(), qsizetype(data.size()));
        for (const telnet::Event &event : events)
            handleEvent(event);
    }
    if (m_data.size() > before && m_open)
        emit inputArrived();
}

void NetworkLine::handleEvent(const telnet::Event &event)
{
    using namespace telnet;
    const bool ours = event.option == kBinary || event.option == kSuppressGoAhead;
    switch (event.verb) {
    case kDo:
        // BINARY, SGA and COM-PORT were offered already; an answer needs no answer.
        if (event.option == kComPort)
            m_comPortAgreed = true;
        else if (!ours)
            send(option(kWont, event.option));
        break;
    case kDont:
        if (event.option == kComPort)
            m_comPortRefused = true;
        break;
    case kWill:
        if (!ours)
            send(option(kDont, event.option));
        break;
    case kSb:
        if (event.option == kComPort && !event.data.empty())
            m_answers[static_cast<unsigned char>(event.data[0])] = event.data.substr(1);
        break;
    default:
        break;
    }
}

void NetworkLine::handleSocketError()
{
    // A blocking wait that ends on its deadline reports it as an error of the socket.
    if (!m_socket || m_socket->error() == QAbstractSocket::SocketTimeoutError || !m_open)
        return;
    markLost(socketReason());
}

void NetworkLine::handleDisconnected()
{
    if (m_open)
        markLost(
            QStringLiteral("the server at %1 closed the connection").arg(m_address.hostPort()));
}

void NetworkLine::markLost(const QString &reason)
{
    if (!m_lostReason.isEmpty())
        return;
    m_lostReason = m_label + QStringLiteral(": ") + reason;
    m_open = false;
    // Not from inside the socket's own signal: a handler may close or reopen the line.
    QMetaObject::invokeMethod(
        this,
        [this, reason = m_lostReason] {
            if (m_lostReason == reason)
                emit portLost(reason);
        },
        Qt::QueuedConnection);
}

bool NetworkLine::waitUntil(const std::function<bool()> &done, int msecs)
{
    const QDeadlineTimer deadline(msecs);
    while (!done()) {
        if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
            return done();
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return false;
        m_socket->waitForReadyRead(int(left));
        // Inside a handler of readyRead the socket does not emit it again: read here.
        readSocket();
    }
    return true;
}

void NetworkLine::send(const std::string &bytes)
{
    if (!m_socket)
        failClosed();
    // While opening, the wait that follows finds the connection gone and says so.
    if (!m_socket->isOpen()) {
        if (m_open)
            markLost(socketReason());
        return;
    }
    if (m_socket->write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) && m_open)
        markLost(socketReason());
    // To the kernel now, not on the next turn of an event loop that may not run.
    m_socket->flush();
}

QString NetworkLine::socketReason() const
{
    const QString at = m_address.hostPort();
    switch (m_socket->error()) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("the connection to %1 was refused (nothing listens there)").arg(at);
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("the name %1 was not found").arg(m_address.host);
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("the server at %1 closed the connection").arg(at);
    case QAbstractSocket::NetworkError:
        return QStringLiteral("%1 cannot be reached: %2").arg(at, m_socket->errorString());
    default:
        return QStringLiteral("the connection to %1 failed: %2").arg(at, m_socket->errorString());
    }
}

void NetworkLine::fail(CommError::Kind kind, const QString &reason)
{
    throw CommError(kind, m_label + QStringLiteral(": ") + reason);
}

void NetworkLine::failClosed() const
{
    if (!m_lostReason.isEmpty())
        throw CommError(CommError::Kind::Lost, m_lostReason);
    if (!m_openFailure.isEmpty())
        throw CommError(CommError::Kind::NotOpen,
                        m_openFailure + QStringLiteral("; the port is not open"));
    throw CommError(CommError::Kind::NotOpen, m_label + QStringLiteral(": the port is not open"));
}

void NetworkLine::closeSocket()
{
    m_open = false;
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    m_socket->flush();
    m_socket->abort();
    // Possibly called from inside one of the socket's own signals.
    m_socket->deleteLater();
    m_socket = nullptr;
}
