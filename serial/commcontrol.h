#pragma once

#include "commerror.h"
#include "line.h"
#include "paritymark.h"

#include <QByteArray>
#include <QString>

#include <memory>

class NetworkLine;
class QSerialPort;
class QSocketNotifier;

namespace terminal {
class HangUpWatch;
}

// A PC port (a port number's device or a device path) behind the Line interface; a port
// whose device is a network address (rfc2217://, tcp://) is a NetworkLine underneath, which the window, the command-line companion and detect all use. Every
// failure is thrown as a CommError whose description names the port and the reason.
class CommControl : public Line
{
    Q_OBJECT

public:
    explicit CommControl(QObject *parent = nullptr);
    ~CommControl() override;

    bool portOpen() const override;
    void setPortOpen(bool open) override;

    LineSettings lineSettings() const override { return m_settings; }
    void setLineSettings(const LineSettings &settings) override;
    // The same as text, "baud,parity,bits,stop", e.g. "9600,N,8,1".
    QString settings() const;
    void setSettings(const QString &settings);

    int commPort() const { return m_commPort; }
    void setCommPort(int port);

    // A device path opened instead of the port number's device; empty to use the number.
    QString device() const { return m_device; }
    void setDevice(const QString &device);

    void setOutput(const QByteArray &data) override;
    QByteArray input() override;
    bool waitForInput(int msecs) override;

private:
    void handleError();
    void handleHangUpNotice();
    // Notices a hang-up the driver reports now; true when the port is lost.
    bool checkHangUp();
    // Records the loss; the port is closed and portLost emitted on the next turn.
    void markLost(const QString &reason);
    void startHangUpWatch();
    void stopHangUpWatch();
    QString portLabel() const;
    QString closedLabel() const;
    [[noreturn]] void fail(CommError::Kind kind, const QString &reason) const;
    [[noreturn]] void failClosed() const;
    void openPort();
    void openNetworkLine(const QString &address);
    void closePort();
    void applySettings(const LineSettings &settings);
    void applyFraming();
    void takeWaitingBytes();

    QSerialPort *m_port = nullptr;
    // The line when the port's device is a network address; everything goes to it then.
    NetworkLine *m_network = nullptr;
    std::unique_ptr<terminal::HangUpWatch> m_hangUpWatch;
    QSocketNotifier *m_hangUpNotifier = nullptr;
    LineSettings m_settings;
    int m_commPort = 1;
    QString m_device;
    // "COM n (device)" of the port while it is open or lost.
    QString m_openLabel;
    // The description of a loss, kept until the port is opened or closed again.
    QString m_lostReason;
    bool m_lostPending = false;
    // Why the last open failed, kept until the next open or close: a later use of the
    // port says that rather than merely "not open".
    QString m_openFailure;
    bool m_parityMarked = false;
    ParityMarkDecoder m_decoder;
};
