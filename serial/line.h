#pragma once

#include "linesettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// One open line to a display, as the exchange (exchange.h) and everything above it use it:
// open and close, its settings, write, wait for input, take it, and notice the loss. A
// serial device (CommControl) is the first kind; another kind of line is one more class
// behind this interface, with no change to the exchange, the commands or the window.
// Every failure is thrown as a CommError naming the line and the reason.
class Line : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual bool portOpen() const = 0;
    // Opens (true) or closes (false) the line; opening an open line does nothing.
    virtual void setPortOpen(bool open) = 0;

    virtual LineSettings lineSettings() const = 0;
    // Applied at once when the line is open.
    virtual void setLineSettings(const LineSettings &settings) = 0;

    // Queues the bytes for sending and returns at once.
    virtual void setOutput(const QByteArray &data) = 0;
    // Every byte received and not yet taken; empty when none. Only the exchange takes them.
    virtual QByteArray input() = 0;
    // Blocks until input() has bytes to take or `msecs` have passed; true when it has.
    virtual bool waitForInput(int msecs) = 0;

signals:
    // Bytes have arrived; input() takes them. May be emitted again from inside input().
    void inputArrived();
    // The device went away while the line was open; the line is closed by then.
    void portLost(const QString &description);
};
