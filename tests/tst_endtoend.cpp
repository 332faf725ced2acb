#include "commcontrol.h"
#include "gateway.h"
#include "messageboxes.h"
#include "simprocess.h"
#include "testlinkfolder.h"
#include "windowdriver.h"
#include "windowprobe.h"

#include <QLabel>
#include <QProcess>
#include <QtTest>

#include <memory>

namespace {
constexpr int kPort = 3;
// Where the simulator serves when the window reaches it through a gateway on kPort.
constexpr int kBehindGateway = 5;
} // namespace

// The window against quillmark-sim running as a separate program.
class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void typicalRunAgainstTheSimulator_data();
    void typicalRunAgainstTheSimulator();
    void changedBaudRateNeedsAReconnectAtTheNewRate_data();
    void changedBaudRateNeedsAReconnectAtTheNewRate();
    void lateAnswerStaysYellowAndSpoilsTheNextReply();
    void strayByteBeforeEachAnswerIsIgnored();
    void simulatorGoneIsReportedOnTheNextExchange_data();
    void simulatorGoneIsReportedOnTheNextExchange();

private:
    bool startSimulator(const QStringList &options = {});
    // The simulator on COM kPort (`gateway` 0), or behind ser2net (a Gateway::Kind + 1) with
    // COM kPort linked to the gateway's address; false when the test cannot go on, failed or
    // skipped (QSKIP here would end only this function).
    bool startOn(int gateway);
    void connect(int baudPosition = 3);

    std::unique_ptr<TestLinkFolder> m_folder;
    std::unique_ptr<QProcess> m_sim;
    std::unique_ptr<Gateway> m_gateway;
    std::unique_ptr<frmMain> m_window;
};

void tst_EndToEnd::init()
{
#ifndef QUILLMARK_SIM_PATH
    QSKIP("quillmark-sim is not part of this build");
#endif
    m_folder = std::make_unique<TestLinkFolder>();
    QVERIFY(m_folder->isValid());
    m_window = std::make_unique<frmMain>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    list(*m_window, "cmbPort")->setListIndex(kPort - 1);
}

void tst_EndToEnd::cleanup()
{
    m_window.reset();
    m_gateway.reset();
    if (m_sim && m_sim->state() != QProcess::NotRunning) {
        m_sim->terminate();
        QVERIFY(m_sim->waitForFinished(5000));
    }
    m_sim.reset();
    m_folder.reset();
}

bool tst_EndToEnd::startSimulator(const QStringList &options)
{
    m_sim = std::make_unique<QProcess>();
    return ::startSimulator(*m_sim, kPort, m_folder->path(), options);
}

bool tst_EndToEnd::startOn(int gateway)
{
    const auto failed = [](const char *why) {
        QTest::qFail(why, __FILE__, __LINE__);
        return false;
    };
    if (gateway == 0)
        return startSimulator() || failed("the simulator did not start");
    m_sim = std::make_unique<QProcess>();
    if (!::startSimulator(*m_sim, kBehindGateway, m_folder->path()))
        return failed("the simulator did not start");
    const QString pty =
        QFileInfo(m_folder->path() + QStringLiteral("/com%1").arg(kBehindGateway)).symLinkTarget();
    m_gateway = std::make_unique<Gateway>(Gateway::Kind(gateway - 1), pty);
    if (!m_gateway->isValid()) {
        QTest::qSkip(qPrintable(m_gateway->errorString()), __FILE__, __LINE__);
        return false;
    }
    return m_folder->link(kPort, m_gateway->url()) ||
           failed("COM 3 could not be linked to the gateway");
}

void tst_EndToEnd::connect(int baudPosition)
{
    list(*m_window, "cmbBaud")->setListIndex(baudPosition);
    click(*m_window, "cmdConnect");
}

void tst_EndToEnd::typicalRunAgainstTheSimulator_data()
{
    QTest::addColumn<int>("gateway"); // 0: none, else a Gateway::Kind + 1
    QTest::newRow("on the pty") << 0;
    QTest::newRow("COM 3 linked to rfc2217://") << int(Gateway::Kind::Rfc2217) + 1;
    QTest::newRow("COM 3 linked to tcp://") << int(Gateway::Kind::Tcp) + 1;
}

void tst_EndToEnd::typicalRunAgainstTheSimulator()
{
    QFETCH(int, gateway);
    if (!startOn(gateway))
        return;
    MessageBoxes boxes;
    connect();
    QCOMPARE(indicatorColour(*m_window), kGreen);
    // Only a raw TCP gateway keeps its own line, and only there is that said.
    QCOMPARE(control<QLabel>(*m_window, "lblSettings")->toolTip().contains("gateway's own"),
             gateway == int(Gateway::Kind::Tcp) + 1);
    QCOMPARE(positions(*m_window, kCommsLists), (QList<int>{1, 3, 1, 1, 9}));

    // What SET writes, GET reads back.
    list(*m_window, "cmbBlock")->setListIndex(2);
    list(*m_window, "cmbDT")->setListIndex(1);
    list(*m_window, "cmbDP")->setListIndex(2);
    click(*m_window, "cmdSet");
    list(*m_window, "cmbDT")->setListIndex(0);
    list(*m_window, "cmbDP")->setListIndex(0);
    click(*m_window, "cmdGet");
    QCOMPARE(positions(*m_window, kBlockLists), (QList<int>{2, 1, 2}));
    QCOMPARE(boxes.count(), 0);
}

void tst_EndToEnd::changedBaudRateNeedsAReconnectAtTheNewRate_data()
{
    QTest::addColumn<bool>("throughGateway");
    QTest::newRow("on the pty") << false;
    // Each Reconnect negotiates the new rate with the gateway again.
    QTest::newRow("COM 3 linked to rfc2217://") << true;
}

void tst_EndToEnd::changedBaudRateNeedsAReconnectAtTheNewRate()
{
    QFETCH(bool, throughGateway);
    if (!startOn(throughGateway ? int(Gateway::Kind::Rfc2217) + 1 : 0))
        return;
    connect();
    QCOMPARE(indicatorColour(*m_window), kGreen);

    list(*m_window, "cmbNewBaud")->setListIndex(2); // 4800
    list(*m_window, "cmbMod")->setListIndex(0);
    click(*m_window, "cmdModifyComm");

    connect(3); // still 9600: the display no longer listens there
    QCOMPARE(indicatorColour(*m_window), kYellow);
    QVERIFY(control(*m_window, "Frame2")->isEnabled());

    connect(2);
    QCOMPARE(control<QLabel>(*m_window, "lblSettings")->text(), QStringLiteral("4800,N,8,1"));
    QCOMPARE(indicatorColour(*m_window), kGreen);
    QCOMPARE(positions(*m_window, kCommsLists), (QList<int>{0, 2, 1, 1, 9}));
}

void tst_EndToEnd::lateAnswerStaysYellowAndSpoilsTheNextReply()
{
    QVERIFY(startSimulator({QStringLiteral("--delay"), QStringLiteral("700")}));
    connect();
    QCOMPARE(indicatorColour(*m_window), kYellow);
    QCOMPARE(positions(*m_window, kCommsLists), (QList<int>{0, 3, 1, 0, 0}));

    // The late answer to "$M" arrives during GET's wait and stands in front of it.
    click(*m_window, "cmdGet");
    QCOMPARE(WindowProbe::strResponse(*m_window), QByteArray(">13810A\r"));
    QCOMPARE(positions(*m_window, kBlockLists), (QList<int>{0, 0, 0}));
}

void tst_EndToEnd::strayByteBeforeEachAnswerIsIgnored()
{
    QVERIFY(startSimulator({QStringLiteral("--noise")}));
    connect();
    QCOMPARE(WindowProbe::strResponse(*m_window), QByteArray("~>13810A\r"));
    QCOMPARE(indicatorColour(*m_window), kYellow);
    QCOMPARE(positions(*m_window, kCommsLists), (QList<int>{0, 3, 1, 0, 0}));
}

void tst_EndToEnd::simulatorGoneIsReportedOnTheNextExchange_data()
{
    QTest::addColumn<bool>("throughGateway");
    QTest::newRow("the pty's far end closed") << false;
    QTest::newRow("the gateway killed") << true;
}

void tst_EndToEnd::simulatorGoneIsReportedOnTheNextExchange()
{
    QFETCH(bool, throughGateway);
    if (!startOn(throughGateway ? int(Gateway::Kind::Rfc2217) + 1 : 0))
        return;
    connect();
    QCOMPARE(indicatorColour(*m_window), kGreen);

    if (throughGateway) {
        m_gateway->kill();
    } else {
        m_sim->kill();
        QVERIFY(m_sim->waitForFinished(5000));
    }
    // Red as soon as the loss is known, before anything is used.
    QTRY_COMPARE_WITH_TIMEOUT(indicatorColour(*m_window), kRed, 1000);
    QVERIFY(!control<CommControl>(*m_window, "cm")->portOpen());

    MessageBoxes boxes;
    click(*m_window, "cmdGet");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QStringLiteral("Comm Port Error!"));
    QVERIFY2(boxes.last().text.startsWith(QStringLiteral("COM 3")), qPrintable(boxes.last().text));
    QCOMPARE(indicatorColour(*m_window), kRed);
}

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
