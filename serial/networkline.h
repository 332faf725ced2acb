#pragma once

#include "commerror.h"
#include "line.h"
#include "networkaddress.h"
#include "telnet.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>

class QTcpSocket;

// A line to a serial device server: raw TCP (bytes as they are; the gateway keeps its own
// line settings) or RFC 2217 (Telnet with the COM-port option: the line settings are set
// and confirmed before the first command, 0xFF doubled both ways). Only connects, never
// listens. A connection that fails or goes is a lost port, told by the socket; a silent
// display on a healthy connection is merely no reply.
class NetworkLine : public Line
{
    Q_OBJECT

public:
    // `label` names the line in messages ("COM 12 (rfc2217://10.0.0.7:4001)").
    NetworkLine(const NetworkAddress &address, const QString &label, QObject *parent = nullptr);
    ~NetworkLine() override;

    bool portOpen() const override;
    void setPortOpen(bool open) override;

    LineSettings lineSettings() const override { return m_settings; }
    void setLineSettings(const LineSettings &settings) override;

    void setOutput(const QByteArray &data) override;
    QByteArray input() override;
    bool waitForInput(int msecs) override;

    const NetworkAddress &address() const { return m_address; }

private:
    void connectToServer();
    void negotiateComPort();
    // Sets the line and purges the gateway's receive buffer; fails naming a setting the
    // server did not confirm or kept otherwise.
    void sendSettings(const LineSettings &settings);
    // Fails naming what was under way when the server has closed the connection.
    void failIfClosed(const QString &during);
    void readSocket();
    void handleEvent(const telnet::Event &event);
    void handleSocketError();
    void handleDisconnected();
    void markLost(const QString &reason);
    // Reads the socket, blocking, until `done` or `msecs` passed; false on a time-out.
    bool waitUntil(const std::function<bool()> &done, int msecs);
    void send(const std::string &bytes);
    QString socketReason() const;
    [[noreturn]] void fail(CommError::Kind kind, const QString &reason);
    [[noreturn]] void failClosed() const;
    void closeSocket();
    bool rfc2217() const { return m_address.kind == NetworkAddress::Kind::Rfc2217; }

    NetworkAddress m_address;
    QString m_label;
    QTcpSocket *m_socket = nullptr;
    LineSettings m_settings;
    telnet::Decoder m_decoder;
    QByteArray m_data;
    // The server's answers to COM-PORT-OPTION commands, by answer number.
    std::map<unsigned char, std::string> m_answers;
    bool m_comPortAgreed = false;
    bool m_comPortRefused = false;
    bool m_open = false;
    QString m_lostReason;
    QString m_openFailure;
};
