#include "commcontrol.h"
#include "ptypeer.h"
#include "testlinkfolder.h"
#include "windowdriver.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {
constexpr int kPort = 4;
}

// One command and its reply through the window's exchange, against a real pty.
class tst_Exchange : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void replyIsEverythingReceivedInTheInterval_data();
    void replyIsEverythingReceivedInTheInterval();
    void lateBytesLeadTheNextReply();
    void timerTicksOncePerExchange();
    void windowStaysLiveAndRefusesASecondExchange();
    void closingTheWindowEndsTheWaitAndFreesThePort();
    void deviceGoneDuringTheWaitIsAPortError();
    void exchangeOnAClosedPortIsAPortError();

private:
    void openPort();
    CommControl *port() const { return control<CommControl>(*m_window, "cm"); }
    QTimer *timer() const { return control<QTimer>(*m_window, "tmrTout"); }

    std::unique_ptr<TestLinkFolder> m_folder;
    std::unique_ptr<PtyPeer> m_peer;
    std::unique_ptr<frmMain> m_window;
};

void tst_Exchange::init()
{
    m_folder = std::make_unique<TestLinkFolder>();
    QVERIFY(m_folder->isValid());
    m_peer = std::make_unique<PtyPeer>(kPort);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    m_window = std::make_unique<frmMain>();
}

void tst_Exchange::cleanup()
{
    m_window.reset();
    m_peer.reset();
    m_folder.reset();
}

void tst_Exchange::openPort()
{
    port()->setCommPort(kPort);
    port()->setPortOpen(true);
    QVERIFY(port()->portOpen());
}

void tst_Exchange::replyIsEverythingReceivedInTheInterval_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("delayMs");
    QTest::newRow("whole reply with its CR") << QByteArray("$M\r") << QByteArray(">13810A\r") << 0;
    QTest::newRow("late but inside") << QByteArray("$N2\r") << QByteArray(">212\r") << 300;
    QTest::newRow("not cut at the CR") << QByteArray("$N2\r") << QByteArray(">212\r>3") << 0;
    QTest::newRow("NUL and 0xFF kept") << QByteArray("$N2\r") << QByteArray(">\0\xff\r", 4) << 0;
    QTest::newRow("no reply") << QByteArray("$D222\r") << QByteArray() << 0;
}

void tst_Exchange::replyIsEverythingReceivedInTheInterval()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    QFETCH(int, delayMs);
    openPort();
    if (!reply.isEmpty())
        m_peer->respond(command, reply, delayMs);

    m_window->strCommand = command;
    m_window->strResponse = "stale";
    QVERIFY(m_window->SendCommand());
    QCOMPARE(m_peer->received(), command);
    QCOMPARE(m_window->strResponse, reply);
    QCOMPARE(m_window->strCommand, command);
    QVERIFY(m_window->blnTimeout);
}

void tst_Exchange::lateBytesLeadTheNextReply()
{
    openPort();
    // The first reply is still arriving when the interval ends; its rest comes 200 ms
    // later and waits in front of the reply to the next command.
    m_peer->respond("$N2\r", ">2");
    m_peer->respond("$N2\r", "12\r", 700);
    m_peer->respond("$M\r", ">13810A\r", 400);

    m_window->strCommand = "$N2\r";
    QVERIFY(m_window->SendCommand());
    QCOMPARE(m_window->strResponse, QByteArray(">2"));

    m_window->strCommand = "$M\r";
    QVERIFY(m_window->SendCommand());
    QCOMPARE(m_window->strResponse, QByteArray("12\r>13810A\r"));
}

void tst_Exchange::timerTicksOncePerExchange()
{
    openPort();
    QSignalSpy ticks(timer(), &QTimer::timeout);
    QVERIFY(!timer()->isActive());
    m_window->strCommand = "$M\r";
    for (int exchange = 1; exchange <= 2; ++exchange) {
        QVERIFY(m_window->SendCommand());
        QCOMPARE(ticks.count(), exchange);
        QVERIFY(!timer()->isActive());
    }
}

void tst_Exchange::windowStaysLiveAndRefusesASecondExchange()
{
    openPort();
    m_peer->respond("$N2\r", ">212\r");
    bool ranDuringWait = false;
    bool secondAccepted = true;
    QTimer::singleShot(100, this, [&] {
        ranDuringWait = m_window->exchangeWaiting();
        secondAccepted = m_window->SendCommand();
    });

    m_window->strCommand = "$N2\r";
    QVERIFY(m_window->SendCommand());
    QVERIFY(ranDuringWait);
    QVERIFY(!secondAccepted);
    QCOMPARE(m_peer->received(), QByteArray("$N2\r"));
    QCOMPARE(m_window->strResponse, QByteArray(">212\r"));
    QVERIFY(!m_window->exchangeWaiting());
}

void tst_Exchange::closingTheWindowEndsTheWaitAndFreesThePort()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    openPort();
    QTimer::singleShot(100, m_window.get(), &QWidget::close);

    m_window->strCommand = "$M\r";
    m_window->strResponse = "earlier";
    QVERIFY(!m_window->SendCommand());
    QVERIFY(!m_window->isVisible());
    QVERIFY(!m_window->blnTimeout); // ended by the close, not by the tick
    QVERIFY(!timer()->isActive());
    QCOMPARE(m_window->strResponse, QByteArray("earlier"));

    // The port goes with the window: another program may open it straight away.
    m_window.reset();
    CommControl other;
    other.setCommPort(kPort);
    other.setPortOpen(true);
    QVERIFY(other.portOpen());
}

void tst_Exchange::deviceGoneDuringTheWaitIsAPortError()
{
    openPort();
    QTimer::singleShot(100, m_peer.get(), &PtyPeer::hangUp);
    m_window->strCommand = "$M\r";
    try {
        m_window->SendCommand();
        QFAIL("a vanished device must fail the exchange");
    } catch (const CommError &error) {
        QVERIFY2(error.description().startsWith(QStringLiteral("COM 4")),
                 qPrintable(error.description()));
    }
    QVERIFY(!timer()->isActive());
    QVERIFY(!m_window->exchangeWaiting());
}

void tst_Exchange::exchangeOnAClosedPortIsAPortError()
{
    m_window->strCommand = "$M\r";
    QVERIFY_THROWS_EXCEPTION(CommError, m_window->SendCommand());
    QVERIFY(!timer()->isActive());
    QCOMPARE(m_peer->received(), QByteArray());
}

QTEST_MAIN(tst_Exchange)
#include "tst_exchange.moc"
