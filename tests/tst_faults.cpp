#include "commcontrol.h"
#include "messageboxes.h"
#include "ptyrig.h"
#include "windowdriver.h"
#include "windowprobe.h"

#include <QTimer>
#include <QtTest>

#include <memory>

namespace {
constexpr int kPort = 5;
// What one exchange may hold at most: the port's receive buffer and what the driver
// still had waiting when it was read.
constexpr int kMostPerReply = 8192;
} // namespace

// Misbehaving devices and users: nothing hangs, nothing grows, every failure names its port.
class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void floodDuringAWaitStaysBounded();
    void floodWhileIdleStaysBounded();
    void portHeldByAnotherWindowIsReported();
    void portLostWhileIdleTurnsIndicatorRed();
    void everyPortWithoutDeviceIsReportedWithItsNumber();
    void rapidClicksDuringWaitsStartNothingExtra();
    void closingDuringConnectEndsTheWait();

private:
    void connect(const QByteArray &reply = ">13810A\r");

    std::unique_ptr<PtyRig> m_rig;
};

void tst_Faults::init()
{
    m_rig = std::make_unique<PtyRig>(kPort);
    QVERIFY2(m_rig->problem().isEmpty(), qPrintable(m_rig->problem()));
}

void tst_Faults::cleanup()
{
    m_rig.reset();
}

void tst_Faults::connect(const QByteArray &reply)
{
    m_rig->peer.respond("$M\r", reply);
    click(*m_rig->window, "cmdConnect");
}

void tst_Faults::floodDuringAWaitStaysBounded()
{
    connect();
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
    // A megabyte without a carriage return, sent while GET waits.
    m_rig->peer.respond("$N0\r", QByteArray(1 << 20, 'x'));
    click(*m_rig->window, "cmdGet");
    QVERIFY(WindowProbe::strResponse(*m_rig->window).size() > 0);
    QVERIFY(WindowProbe::strResponse(*m_rig->window).size() <= kMostPerReply);
    QCOMPARE(positions(*m_rig->window, kBlockLists), (QList<int>{0, 0, 0}));

    // The line keeps working: each later exchange takes a bounded share of the flood.
    for (int i = 0; i < 3; ++i) {
        click(*m_rig->window, "cmdSet");
        QVERIFY(WindowProbe::strResponse(*m_rig->window).size() <= kMostPerReply);
    }
    QVERIFY(control<CommControl>(*m_rig->window, "cm")->portOpen());
}

void tst_Faults::floodWhileIdleStaysBounded()
{
    connect();
    m_rig->peer.write(QByteArray(1 << 20, '7'));
    // Let the event loop serve the flood for a while with no exchange running.
    QTRY_VERIFY_WITH_TIMEOUT(m_rig->peer.slavePending() > 0, 5000);
    click(*m_rig->window, "cmdGet");
    QVERIFY(WindowProbe::strResponse(*m_rig->window).size() <= kMostPerReply);
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
}

void tst_Faults::portHeldByAnotherWindowIsReported()
{
    connect();
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);

    frmMain second;
    list(second, "cmbPort")->setListIndex(kPort - 1);
    MessageBoxes boxes;
    click(second, "cmdConnect");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QStringLiteral("Comm Port Error!"));
    QVERIFY2(boxes.last().text.startsWith(QStringLiteral("COM 5")), qPrintable(boxes.last().text));
    QVERIFY2(boxes.last().text.contains(QStringLiteral("in use")), qPrintable(boxes.last().text));
    QCOMPARE(indicatorColour(second), kRed);
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
}

void tst_Faults::portLostWhileIdleTurnsIndicatorRed()
{
    connect();
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
    MessageBoxes boxes;
    m_rig->peer.hangUp();
    QTRY_COMPARE_WITH_TIMEOUT(indicatorColour(*m_rig->window), kRed, 5000);
    QCOMPARE(boxes.count(), 0); // nobody asked; the next use says what happened

    click(*m_rig->window, "cmdGet");
    QCOMPARE(boxes.count(), 1);
    QVERIFY2(boxes.last().text.contains(QStringLiteral("disconnected")),
             qPrintable(boxes.last().text));
}

void tst_Faults::everyPortWithoutDeviceIsReportedWithItsNumber()
{
    // Every number leads nowhere, whatever devices this machine has.
    for (int port = 1; port <= 250; ++port)
        QVERIFY(
            m_rig->folder.link(port, m_rig->folder.path() + QStringLiteral("/absent%1").arg(port)));

    MessageBoxes boxes;
    for (int port = 1; port <= 250; ++port) {
        list(*m_rig->window, "cmbPort")->setListIndex(port - 1);
        click(*m_rig->window, "cmdConnect");
        QCOMPARE(boxes.count(), port);
        const QString expected = QStringLiteral("COM %1 (").arg(port);
        QVERIFY2(boxes.last().text.startsWith(expected), qPrintable(boxes.last().text));
        QCOMPARE(indicatorColour(*m_rig->window), kRed);
    }
    QVERIFY(!control<CommControl>(*m_rig->window, "cm")->portOpen());
}

void tst_Faults::rapidClicksDuringWaitsStartNothingExtra()
{
    m_rig->peer.respond("$M\r", ">13810A\r");
    m_rig->peer.respond("$N0\r", ">000\r");
    const char *const buttons[] = {"cmdConnect", "cmdModifyComm", "cmdGet", "cmdSet"};
    // Twenty volleys on every button while Connect, then GET, waits.
    auto volleys = [this, &buttons] {
        for (int round = 0; round < 20; ++round)
            for (const char *button : buttons)
                click(*m_rig->window, button);
    };
    MessageBoxes boxes;
    QTimer::singleShot(100, this, volleys);
    click(*m_rig->window, "cmdConnect");
    QTimer::singleShot(100, this, volleys);
    click(*m_rig->window, "cmdGet");

    QCOMPARE(m_rig->peer.received(), QByteArray("$M\r$N0\r"));
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
    QCOMPARE(boxes.count(), 0);
}

void tst_Faults::closingDuringConnectEndsTheWait()
{
    QTimer::singleShot(100, m_rig->window.get(), &QWidget::close);
    click(*m_rig->window, "cmdConnect");
    QVERIFY(!m_rig->window->isVisible());
    QVERIFY(!m_rig->window->exchangeWaiting());
    QVERIFY(!control<QTimer>(*m_rig->window, "tmrTout")->isActive());
    QCOMPARE(indicatorColour(*m_rig->window), kYellow); // the read never completed
    m_rig->window.reset();                              // the port goes with the window

    CommControl other;
    other.setCommPort(kPort);
    other.setPortOpen(true);
    QVERIFY(other.portOpen());
}

QTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
