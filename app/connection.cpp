// The window's connection sequence and its command exchange with the display.
#include "frmmain.h"

#include "combobox.h"
#include "commcontrol.h"
#include "exchange.h"
#include "networkaddress.h"
#include "optionlists.h"
#include "portnames.h"
#include "shape.h"
#include "timer.h"

#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

void frmMain::cmdConnect_Click()
{
    // Reopening the port under a waiting exchange would pull the line from under it.
    if (exchangeWaiting())
        return;

    if (cm->portOpen())
        cm->setPortOpen(false);

    // A list holding typed text has no setting to offer; refuse before touching the port.
    for (ComboBox *list : {cmbBaud, cmbPar, cmbBits}) {
        if (list->listIndex() < 0) {
            reportCommError(CommError(CommError::Kind::BadSettings, chooseFromListText(list)));
            return;
        }
    }
    try {
        cm->setLineSettings(optionlists::portSettings(cmbBaud->listIndex(), cmbPar->listIndex(),
                                                      cmbBits->listIndex()));
        shpPort->setBackColor(indicator::kWhite);

        // A typed entry would be port 0, which names no port.
        if (cmbPort->listIndex() < 0)
            throw CommError(CommError::Kind::NoSuchPort,
                            chooseFromListText(cmbPort, QStringLiteral("a port")));
        cm->setCommPort(cmbPort->listIndex() + 1);
        cm->setPortOpen(true);
        shpPort->setBackColor(indicator::kYellow);
        cmdConnect->setText(QStringLiteral("Reconnect"));
        lblSettings->setText(formatLineSettings(cm->lineSettings()));
        // The settings chosen went nowhere on a raw TCP gateway; its own apply.
        const QString device = portDevice(cm->commPort());
        lblSettings->setToolTip(
            gatewayKeepsLine(device)
                ? QStringLiteral("%1: the gateway's own line settings apply").arg(device)
                : QString());
        ReadCommSettings();
    } catch (const CommError &error) {
        reportCommError(error);
    }
}

bool frmMain::SendCommand()
{
    if (m_wait)
        return false;

    // The window's exchange: no early end, the reply is whatever came in the interval, and
    // bytes from before the command lead it (a late reply shows in the next exchange).
    ReplyRule everything;
    everything.discardStale = false;
    m_exchange->send(strCommand, everything);
    blnTimeout = false;
    m_closing = false;
    tmrTout->setEnabled(true);

    // Block on the event loop, not in a spin: the window stays live and the tick ends
    // the wait after exactly one interval.
    QEventLoop wait;
    m_wait = &wait;
    bool quitting = false;
    while (!blnTimeout && !m_closing && !quitting) {
        // Once the application is exiting (quit() or exit() from anywhere), exec() returns
        // -1 at once every time: that ends the wait like a close of the window.
        quitting = wait.exec() < 0;
    }
    m_wait = nullptr;
    if (m_closing || quitting) {
        tmrTout->setEnabled(false);
        return false;
    }

    m_exchange->take();
    strResponse = m_exchange->finish().reply;
    return true;
}

void frmMain::tmrTout_Timer()
{
    blnTimeout = true;
    tmrTout->setEnabled(false);
    if (m_wait)
        m_wait->quit();
}

bool frmMain::exchange()
{
    try {
        return SendCommand();
    } catch (const CommError &error) {
        reportCommError(error);
        return false;
    }
}

void frmMain::reportCommError(const CommError &error)
{
    shpPort->setBackColor(indicator::kRed);
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Comm Port Error!"), error.description(),
                    QMessageBox::Ok, this);
    box.exec();
}
