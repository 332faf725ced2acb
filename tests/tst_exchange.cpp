#include "commcontrol.h"
#include "ptyrig.h"
#include "windowdriver.h"
#include "windowprobe.h"

#include <QElapsedTimer>
#include <QProcess>
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
    void quittingTheApplicationEndsTheWait();
    void deviceGoneDuringTheWaitIsAPortError();
    void exchangeOnAClosedPortIsAPortError();

private:
    void openPort();
    CommControl *port() const { return control<CommControl>(*m_rig->window, "cm"); }
    QTimer *timer() const { return control<QTimer>(*m_rig->window, "tmrTout"); }

    std::unique_ptr<PtyRig> m_rig;
};

void tst_Exchange::init()
{
    m_rig = std::make_unique<PtyRig>(kPort);
    QVERIFY2(m_rig->problem().isEmpty(), qPrintable(m_rig->problem()));
}

void tst_Exchange::cleanup()
{
    m_rig.reset();
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
        m_rig->peer.respond(command, reply, delayMs);

    WindowProbe::strCommand(*m_rig->window) = command;
    WindowProbe::strResponse(*m_rig->window) = "stale";
    QVERIFY(m_rig->window->SendCommand());
    QCOMPARE(m_rig->peer.received(), command);
    QCOMPARE(WindowProbe::strResponse(*m_rig->window), reply);
    QCOMPARE(WindowProbe::strCommand(*m_rig->window), command);
    QVERIFY(WindowProbe::blnTimeout(*m_rig->window));
}

void tst_Exchange::lateBytesLeadTheNextReply()
{
    openPort();
    // The first reply is still arriving when the interval ends; its rest comes 200 ms
    // later and waits in front of the reply to the next command.
    m_rig->peer.respond("$N2\r", ">2");
    m_rig->peer.respond("$N2\r", "12\r", 700);
    m_rig->peer.respond("$M\r", ">13810A\r", 400);

    WindowProbe::strCommand(*m_rig->window) = "$N2\r";
    QVERIFY(m_rig->window->SendCommand());
    QCOMPARE(WindowProbe::strResponse(*m_rig->window), QByteArray(">2"));

    WindowProbe::strCommand(*m_rig->window) = "$M\r";
    QVERIFY(m_rig->window->SendCommand());
    QCOMPARE(WindowProbe::strResponse(*m_rig->window), QByteArray("12\r>13810A\r"));
}

void tst_Exchange::timerTicksOncePerExchange()
{
    openPort();
    QSignalSpy ticks(timer(), &QTimer::timeout);
    QVERIFY(!timer()->isActive());
    WindowProbe::strCommand(*m_rig->window) = "$M\r";
    for (int exchange = 1; exchange <= 2; ++exchange) {
        QVERIFY(m_rig->window->SendCommand());
        QCOMPARE(ticks.count(), exchange);
        QVERIFY(!timer()->isActive());
    }
}

void tst_Exchange::windowStaysLiveAndRefusesASecondExchange()
{
    openPort();
    m_rig->peer.respond("$N2\r", ">212\r");
    bool ranDuringWait = false;
    bool secondAccepted = true;
    QTimer::singleShot(100, this, [&] {
        ranDuringWait = m_rig->window->exchangeWaiting();
        secondAccepted = m_rig->window->SendCommand();
    });

    WindowProbe::strCommand(*m_rig->window) = "$N2\r";
    QVERIFY(m_rig->window->SendCommand());
    QVERIFY(ranDuringWait);
    QVERIFY(!secondAccepted);
    QCOMPARE(m_rig->peer.received(), QByteArray("$N2\r"));
    QCOMPARE(WindowProbe::strResponse(*m_rig->window), QByteArray(">212\r"));
    QVERIFY(!m_rig->window->exchangeWaiting());
}

void tst_Exchange::closingTheWindowEndsTheWaitAndFreesThePort()
{
    openPort();
    QTimer::singleShot(100, m_rig->window.get(), &QWidget::close);

    WindowProbe::strCommand(*m_rig->window) = "$M\r";
    WindowProbe::strResponse(*m_rig->window) = "earlier";
    QVERIFY(!m_rig->window->SendCommand());
    QVERIFY(!m_rig->window->isVisible());
    QVERIFY(!WindowProbe::blnTimeout(*m_rig->window)); // ended by the close, not by the tick
    QVERIFY(!timer()->isActive());
    QCOMPARE(WindowProbe::strResponse(*m_rig->window), QByteArray("earlier"));

    // The port goes with the window: another program may open it straight away.
    m_rig->window.reset();
    CommControl other;
    other.setCommPort(kPort);
    other.setPortOpen(true);
    QVERIFY(other.portOpen());
}

void tst_Exchange::quittingTheApplicationEndsTheWait()
{
    // A wait that misses the quit spins on a core for ever, so the exchange runs in a child
    // process of this test program that can be stopped when it does not end.
    const char *const kChild = "TST_EXCHANGE_QUITTING_CHILD";
    if (!qEnvironmentVariableIsSet(kChild)) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChild), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QTest::currentTestFunction()});
        const bool ended = child.waitForFinished(10000);
        if (!ended) {
            child.kill();
            child.waitForFinished();
        }
        QVERIFY2(ended, "the exchange went on waiting after the application quit");
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 child.readAll().constData());
        return;
    }

    openPort();
    bool accepted = true;
    qint64 returnedAfterMs = -1;
    QElapsedTimer sinceQuit;
    QTimer::singleShot(0, this, [&] {
        WindowProbe::strCommand(*m_rig->window) = "$M\r";
        WindowProbe::strResponse(*m_rig->window) = "earlier";
        accepted = m_rig->window->SendCommand();
        returnedAfterMs = sinceQuit.elapsed();
    });
    // exit() rather than quit(): it closes no window, as when the X server goes away.
    QTimer::singleShot(100, this, [&] {
        sinceQuit.start();
        QCoreApplication::exit(0);
    });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!accepted);
    QVERIFY2(returnedAfterMs >= 0 && returnedAfterMs < 100,
             qPrintable(QString::number(returnedAfterMs)));
    QCOMPARE(WindowProbe::strResponse(*m_rig->window), QByteArray("earlier")); // nothing applied
    QVERIFY(!timer()->isActive());
    QVERIFY(!m_rig->window->exchangeWaiting());
}

void tst_Exchange::deviceGoneDuringTheWaitIsAPortError()
{
    openPort();
    QTimer::singleShot(100, &m_rig->peer, &PtyPeer::hangUp);
    WindowProbe::strCommand(*m_rig->window) = "$M\r";
    try {
        m_rig->window->SendCommand();
        QFAIL("a vanished device must fail the exchange");
    } catch (const CommError &error) {
        QVERIFY2(error.description().startsWith(QStringLiteral("COM 4")),
                 qPrintable(error.description()));
    }
    QVERIFY(!timer()->isActive());
    QVERIFY(!m_rig->window->exchangeWaiting());
}

void tst_Exchange::exchangeOnAClosedPortIsAPortError()
{
    WindowProbe::strCommand(*m_rig->window) = "$M\r";
    QVERIFY_THROWS_EXCEPTION(CommError, m_rig->window->SendCommand());
    QVERIFY(!timer()->isActive());
    QCOMPARE(m_rig->peer.received(), QByteArray());
}

QTEST_MAIN(tst_Exchange)
#include "tst_exchange.moc"
