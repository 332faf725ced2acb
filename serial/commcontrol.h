#pragma once

#include "commerror.h"
#include "linesettings.h"
#include "paritymark.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class QSerialPort;
class QSocketNotifier;

namespace terminal {
class HangUpWatch;
}

// The window's serial port control: open, configure and close one PC port, queue
// bytes for sending and take everything received. Every failure is thrown as a
// CommError whose description names the port and the reason.
class CommControl : public QObject
{
    Q_OBJECT

public:
    explicit CommControl(QObject *parent = nullptr);
    ~CommControl() override;

    bool portOpen() const;
    void setPortOpen(bool open);

    // "baud,parity,bits,stop", e.g. "9600,N,8,1"; applied at once when the port is open.
    QString settings() const;
    void setSettings(const QString &settings);

    int commPort() const { return m_commPort; }
    void setCommPort(int port);

    // A device path opened instead of the port number's device; empty to use the number.
    QString device() const { return m_device; }
    void setDevice(const QString &device);

    // Queues the bytes for sending and returns at once.
    void setOutput(const QByteArray &data);
    // Every byte received and not yet taken; empty when none.
    QByteArray input();
    // Blocks until input() has bytes to take or `msecs` have passed; true when it has.
    bool waitForInput(int msecs);

signals:
    // Bytes have arrived; input() takes them. May be emitted again from inside input().
    void inputArrived();
    // The device went away while the port was open; the port is closed by then.
    void portLost(const QString &description);

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
    void closePort();
    void applySettings(const LineSettings &settings);
    void applyFraming();
    void takeWaitingBytes();

    QSerialPort *m_port = nullptr;
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
