#pragma once

#include "testlinkfolder.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <termios.h>

#include <vector>

class QSocketNotifier;

// The device end of a pseudo-terminal, for tests: the slave end is what the serial layer
// opens, through a comN link in the current link folder (see TestLinkFolder). Everything
// runs on the event loop; nothing here blocks it.
class PtyPeer : public QObject
{
    Q_OBJECT

public:
    explicit PtyPeer(int port = 7, QObject *parent = nullptr);
    ~PtyPeer() override;

    // False when the pty or the link could not be made; errorString() says why.
    bool isValid() const { return m_master >= 0 && m_error.isEmpty(); }
    QString errorString() const { return m_error; }

    QString slavePath() const { return m_slavePath; }
    int port() const { return m_port; }

    // Sends bytes to the serial layer as the device would.
    void write(const QByteArray &data);
    // Everything the device received so far.
    QByteArray received() const { return m_received; }
    void clearReceived();
    // Runs the event loop until at least `nBytes` have been received in total, or the
    // time is up; returns whether they were.
    bool waitForReceived(int nBytes, int timeoutMs);

    // Scripts the device: each time `command` has arrived complete, `reply` is sent,
    // after `delayMs` when given. Several rules may answer the same command.
    void respond(const QByteArray &command, const QByteArray &reply, int delayMs = 0);

    // Closes the master end, as when a device is unplugged.
    void hangUp();

    // Bytes that reached the slave end and wait there to be read by the serial layer.
    int slavePending() const;

    // The line settings the serial layer left on the slave end, read afresh on each call.
    const termios &slaveTermios() const;
    // Sets them, as another program using the line would; false when that fails.
    bool setSlaveTermios(const termios &tio);

signals:
    void dataReceived();

private:
    struct Rule
    {
        QByteArray command;
        QByteArray reply;
        int delayMs = 0;
        qsizetype searchFrom = 0;
    };

    void handleReadable();
    void handleWritable();
    void answerRules();

    int m_port = 0;
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QString m_linkPath;
    QString m_error;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_received;
    QByteArray m_unsent;
    std::vector<Rule> m_rules;
    mutable termios m_slaveTermios = {};
};
