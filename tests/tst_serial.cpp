#include "bytetrace.h"
#include "commcontrol.h"
#include "exchange.h"
#include "foreignpty.h"
#include "portaccess.h"
#include "portnames.h"
#include "portparameters.h"
#include "privatemount.h"
#include "ptypeer.h"
#include "telnet.h"
#include "testlinkfolder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <optional>
#include <pwd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

namespace {

// The description of the CommError that `operation` throws, or "(no failure)".
template <typename Operation> QString failureOf(Operation operation)
{
    try {
        operation();
    } catch (const CommError &error) {
        return error.description();
    }
    return QStringLiteral("(no failure)");
}

// The kind of the CommError that `operation` throws, or nothing.
template <typename Operation> std::optional<CommError::Kind> kindOf(Operation operation)
{
    try {
        operation();
    } catch (const CommError &error) {
        return error.kind();
    }
    return std::nullopt;
}

// A byte string literal with its embedded nulls.
template <int N> QByteArray bytes(const char (&literal)[N])
{
    return QByteArray(literal, N - 1);
}

// What an earlier program left on the line before our open.
enum class Left { Nothing, KilledAtNone, StrayFlags };

} // namespace

Q_DECLARE_METATYPE(Left)

class tst_Serial : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lineSettingsParse_data();
    void lineSettingsParse();
    void lineSettingsMapOntoSerialPort_data();
    void lineSettingsMapOntoSerialPort();
    void lineSettingsReachDevice_data();
    void lineSettingsReachDevice();

    void bytesPassUnchanged();
    void inputTakesEverythingAndEmpties();
    void bytesSentBeforeOpenAreDiscarded();
    void outputBeyondTransmitBufferRefused();
    void ffByteSurvivesParityMarking();

    void openFailuresNamePortAndReason_data();
    void openFailuresNamePortAndReason();
    void openFailureKindNeedsNoQtText_data();
    void openFailureKindNeedsNoQtText();
    void outOfRangePortNumbersRefused_data();
    void outOfRangePortNumbersRefused();
    void portArgumentReadOnce_data();
    void portArgumentReadOnce();
    void structuredLineSettingsChecked_data();
    void structuredLineSettingsChecked();
    void exchangeEndsAsItsRuleSays_data();
    void exchangeEndsAsItsRuleSays();
    void telnetStreamSplitsIntoDataAndNegotiation_data();
    void telnetStreamSplitsIntoDataAndNegotiation();
    void closedPortRefusesReadAndWrite();
    void traceStopsAtTheFirstLostLine_data();
    void traceStopsAtTheFirstLostLine();
    void otherProgramsLocksRespected_data();
    void otherProgramsLocksRespected();
    void lockOfAnotherUsersProcessRespected();
    void holderScanSeesThePtyItself_data();
    void holderScanSeesThePtyItself();
    void ownLockNamedAfterTheDevice_data();
    void ownLockNamedAfterTheDevice();
    void lockFileFailuresSaySo_data();
    void lockFileFailuresSaySo();
    void onlyTerminalsAreOpened_data();
    void onlyTerminalsAreOpened();
    void permissionDeniedNamesTheFix_data();
    void permissionDeniedNamesTheFix();
    void vanishedDeviceEndsPortOnce_data();
    void vanishedDeviceEndsPortOnce();

    void fixedPortTable_data();
    void fixedPortTable();
    void linkFolderRules_data();
    void linkFolderRules();
    void linkFolderLocation_data();
    void linkFolderLocation();
    void tooltipsTellPresence();

    void parityMarksDecoded_data();
    void parityMarksDecoded();

private:
    // Opens a CommControl on a fresh pty peer, or fails the test.
    void openOnPeer(const QString &settings = QStringLiteral("9600,N,8,1"));

    std::unique_ptr<TestLinkFolder> m_folder;
    std::unique_ptr<PtyPeer> m_peer;
    std::unique_ptr<CommControl> m_control;
};

void tst_Serial::init()
{
    m_folder = std::make_unique<TestLinkFolder>();
    QVERIFY(m_folder->isValid());
}

void tst_Serial::cleanup()
{
    m_control.reset();
    m_peer.reset();
    m_folder.reset();
}

void tst_Serial::openOnPeer(const QString &settings)
{
    m_peer = std::make_unique<PtyPeer>(7);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    m_control = std::make_unique<CommControl>();
    m_control->setSettings(settings);
    m_control->setCommPort(7);
    m_control->setPortOpen(true);
    QVERIFY(m_control->portOpen());
}

void tst_Serial::lineSettingsParse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusedField"); // empty when the text is valid

    for (const char *valid : {"1200,N,8,1", "2400,E,7,1", "4800,O,8,1", "9600,N,7,1"})
        QTest::newRow(valid) << valid << QString();

    QTest::newRow("empty") << ""
                           << "baud,parity,bits,stop";
    QTest::newRow("three fields") << "9600,N,8"
                                  << "baud,parity,bits,stop";
    QTest::newRow("five fields") << "9600,N,8,1,1"
                                 << "baud,parity,bits,stop";
    QTest::newRow("baud 19200") << "19200,N,8,1"
                                << "baud rate";
    QTest::newRow("baud leading zero") << "09600,N,8,1"
                                       << "baud rate";
    QTest::newRow("baud spaced") << " 9600,N,8,1"
                                 << "baud rate";
    QTest::newRow("parity lower case") << "9600,e,8,1"
                                       << "parity";
    QTest::newRow("parity mark") << "9600,M,8,1"
                                 << "parity";
    QTest::newRow("parity missing") << "9600,,8,1"
                                    << "parity";
    QTest::newRow("bits 6") << "9600,N,6,1"
                            << "data bits";
    QTest::newRow("bits 9") << "9600,E,9,1"
                            << "data bits";
    QTest::newRow("stop 2") << "9600,N,8,2"
                            << "stop bits";
    QTest::newRow("stop 1.5") << "9600,N,8,1.5"
                              << "stop bits";
}

void tst_Serial::lineSettingsParse()
{
    QFETCH(QString, text);
    QFETCH(QString, refusedField);

    QString error;
    const std::optional<LineSettings> parsed = parseLineSettings(text, &error);
    CommControl control;
    control.setSettings(QStringLiteral("2400,O,7,1"));
    const QString failure = failureOf([&] { control.setSettings(text); });

    if (refusedField.isEmpty()) {
        QVERIFY2(parsed, qPrintable(error));
        QCOMPARE(formatLineSettings(*parsed), text);
        QCOMPARE(control.settings(), text);
    } else {
        QVERIFY(!parsed);
        QVERIFY2(error.contains(refusedField), qPrintable(error));
        QVERIFY2(failure.startsWith(QLatin1String("COM 1")), qPrintable(failure));
        QVERIFY2(failure.contains(refusedField), qPrintable(failure));
        QCOMPARE(control.settings(), QStringLiteral("2400,O,7,1"));
    }
}

void tst_Serial::lineSettingsMapOntoSerialPort_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baud");
    QTest::addColumn<QSerialPort::DataBits>("dataBits");
    QTest::addColumn<QSerialPort::Parity>("parity");

    QTest::newRow("none 8") << "9600,N,8,1" << 9600 << QSerialPort::Data8 << QSerialPort::NoParity;
    QTest::newRow("even 7") << "1200,E,7,1" << 1200 << QSerialPort::Data7
                            << QSerialPort::EvenParity;
    QTest::newRow("odd 8") << "4800,O,8,1" << 4800 << QSerialPort::Data8 << QSerialPort::OddParity;
}

// A pty forces CS8 and clears PARENB, so the data bits and parity are checked here, where
// the layer chooses them, rather than on the device.
void tst_Serial::lineSettingsMapOntoSerialPort()
{
    QFETCH(QString, text);
    QFETCH(int, baud);
    QFETCH(QSerialPort::DataBits, dataBits);
    QFETCH(QSerialPort::Parity, parity);

    const PortParameters parameters = portParameters(*parseLineSettings(text));
    QCOMPARE(parameters.baudRate, baud);
    QCOMPARE(parameters.dataBits, dataBits);
    QCOMPARE(parameters.parity, parity);
    QCOMPARE(parameters.stopBits, QSerialPort::OneStop);
}

void tst_Serial::lineSettingsReachDevice_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("before"); // settings while open before `text`, or empty
    QTest::addColumn<Left>("left");
    QTest::addColumn<speed_t>("speed");
    QTest::addColumn<bool>("odd");
    QTest::addColumn<bool>("marked");

    const QString fresh;
    QTest::newRow("1200 odd") << "1200,O,7,1" << fresh << Left::Nothing << speed_t(B1200) << true
                              << true;
    QTest::newRow("2400 even") << "2400,E,8,1" << fresh << Left::Nothing << speed_t(B2400) << false
                               << true;
    QTest::newRow("9600 none") << "9600,N,8,1" << fresh << Left::Nothing << speed_t(B9600) << false
                               << false;
    QTest::newRow("4800 even, changed while open")
        << "4800,E,8,1"
        << "1200,O,7,1" << Left::Nothing << speed_t(B4800) << false << true;
    QTest::newRow("none, changed while open from odd")
        << "9600,N,8,1"
        << "1200,O,7,1" << Left::Nothing << speed_t(B9600) << false << false;
    QTest::newRow("even, changed while open from none")
        << "9600,E,8,1"
        << "9600,N,8,1" << Left::Nothing << speed_t(B9600) << false << true;
    QTest::newRow("7 bits, changed while open from 8")
        << "9600,N,7,1"
        << "9600,N,8,1" << Left::Nothing << speed_t(B9600) << false << false;
    // A program killed while it held the line at 8 data bits, no parity, leaves IGNPAR
    // and raw mode behind; on a pseudo-terminal, which keeps neither parity nor 7 bits,
    // asking for them then changes nothing, and the C library reports that as a failure.
    QTest::newRow("even, after a killed program")
        << "9600,E,8,1" << fresh << Left::KilledAtNone << speed_t(B9600) << false << true;
    QTest::newRow("2400 even, 7 bits, after a killed program")
        << "2400,E,7,1" << fresh << Left::KilledAtNone << speed_t(B2400) << false << true;
    QTest::newRow("odd, after a killed program")
        << "1200,O,7,1" << fresh << Left::KilledAtNone << speed_t(B1200) << true << true;
    QTest::newRow("none, 7 bits, after a killed program")
        << "9600,N,7,1" << fresh << Left::KilledAtNone << speed_t(B9600) << false << false;
    QTest::newRow("even, after stray flags")
        << "9600,E,8,1" << fresh << Left::StrayFlags << speed_t(B9600) << false << true;
    QTest::newRow("none, after stray flags")
        << "9600,N,8,1" << fresh << Left::StrayFlags << speed_t(B9600) << false << false;
}

void tst_Serial::lineSettingsReachDevice()
{
    QFETCH(QString, text);
    QFETCH(QString, before);
    QFETCH(Left, left);
    QFETCH(speed_t, speed);
    QFETCH(bool, odd);
    QFETCH(bool, marked);

    m_peer = std::make_unique<PtyPeer>(7);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    if (left != Left::Nothing) {
        termios line = m_peer->slaveTermios();
        cfmakeraw(&line);
        line.c_cflag |= CLOCAL | CREAD;
        line.c_iflag |= IGNPAR;
        if (left == Left::StrayFlags) {
            line.c_iflag |= ISTRIP | IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | IGNBRK;
            line.c_cflag |= CMSPAR | PARODD | CRTSCTS;
            line.c_lflag |= ICANON | ECHO | ISIG;
            line.c_oflag |= OPOST | ONLCR;
        }
        QVERIFY(m_peer->setSlaveTermios(line));
    }
    m_control = std::make_unique<CommControl>();
    m_control->setCommPort(7);
    m_control->setSettings(before.isEmpty() ? text : before);
    QCOMPARE(failureOf([this] { m_control->setPortOpen(true); }), QStringLiteral("(no failure)"));
    if (!before.isEmpty())
        QCOMPARE(failureOf([this, text] { m_control->setSettings(text); }),
                 QStringLiteral("(no failure)"));
    QCOMPARE(m_control->settings(), text);

    const termios tio = m_peer->slaveTermios();
    QCOMPARE(cfgetospeed(&tio), speed);
    QCOMPARE(cfgetispeed(&tio), speed);
    QCOMPARE(bool(tio.c_cflag & PARODD), odd);
    QCOMPARE(bool(tio.c_cflag & CSTOPB), false);
    QCOMPARE(bool(tio.c_cflag & CRTSCTS), false);
    QCOMPARE(bool(tio.c_cflag & CMSPAR), false);
    QCOMPARE(bool(tio.c_iflag & (IXON | IXOFF | IXANY)), false);
    QCOMPARE(bool(tio.c_iflag & (ISTRIP | ICRNL | INLCR | IGNCR | IGNBRK)), false);
    QCOMPARE(bool(tio.c_lflag & (ICANON | ECHO | ISIG)), false);
    QCOMPARE(bool(tio.c_oflag & OPOST), false);
    QCOMPARE(bool(tio.c_iflag & PARMRK), marked);
    QCOMPARE(bool(tio.c_iflag & INPCK), marked);
    if (marked)
        QCOMPARE(bool(tio.c_iflag & IGNPAR), false);
}

void tst_Serial::bytesPassUnchanged()
{
    openOnPeer();
    const QByteArray command = bytes("$M\r\0\x7f\x80\xff\r");
    m_control->setOutput(command);
    QVERIFY(m_peer->waitForReceived(command.size(), 5000));
    QCOMPARE(m_peer->received(), command);

    m_control->setPortOpen(true); // already open: nothing happens
    QVERIFY(m_control->portOpen());
    m_control->setOutput("!");
    QVERIFY(m_peer->waitForReceived(command.size() + 1, 5000));
    QCOMPARE(m_peer->received(), command + "!");
}

void tst_Serial::inputTakesEverythingAndEmpties()
{
    openOnPeer();
    const QByteArray reply = bytes(">13\0\x0A\r");
    m_peer->write(reply);
    QByteArray got;
    QTRY_COMPARE(got += m_control->input(), reply);
    QCOMPARE(m_control->input(), QByteArray());
}

// Qt does not flush the device on open, and neither does the layer: what arrived first is
// the start of the first input.
// Bytes that arrived before the port was opened answer nothing sent through it: the first
// input is what came after the open, on every Qt release.
void tst_Serial::bytesSentBeforeOpenAreDiscarded()
{
    m_peer = std::make_unique<PtyPeer>(7);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    m_peer->write(">early\r");
    QTRY_COMPARE(m_peer->slavePending(), 7);

    CommControl control;
    control.setCommPort(7);
    control.setPortOpen(true);
    QCOMPARE(m_peer->slavePending(), 0);
    QCOMPARE(control.input(), QByteArray());

    m_peer->write(">late\r");
    QByteArray got;
    QTRY_COMPARE(got += control.input(), QByteArray(">late\r"));
}

void tst_Serial::outputBeyondTransmitBufferRefused()
{
    openOnPeer();
    const QString failure = failureOf([&] { m_control->setOutput(QByteArray(513, 'x')); });
    QCOMPARE(failure, QStringLiteral("COM 7 (%1): 513 bytes do not fit the transmit buffer of "
                                     "512 bytes")
                          .arg(m_peer->slavePath()));

    m_control->setOutput(QByteArray(512, 'y'));
    QVERIFY(m_peer->waitForReceived(512, 5000));
    QCOMPARE(m_peer->received(), QByteArray(512, 'y'));
}

// With parity on, the driver marks errors and doubles every received 0xFF; the layer must
// hand back the bytes the device sent.
void tst_Serial::ffByteSurvivesParityMarking()
{
    openOnPeer(QStringLiteral("9600,E,8,1"));
    const QByteArray sent = bytes("\xff\0\xff\xff"
                                  "A\xff");
    m_peer->write(sent);
    QByteArray got;
    QTRY_COMPARE(got += m_control->input(), sent);
}

enum class OpenFailure { MissingDevice, InUse, Unassigned };
Q_DECLARE_METATYPE(OpenFailure)

void tst_Serial::openFailuresNamePortAndReason_data()
{
    QTest::addColumn<OpenFailure>("scenario");
    QTest::addColumn<CommError::Kind>("kind");
    QTest::addColumn<QString>("reason");

    QTest::newRow("missing device")
        << OpenFailure::MissingDevice << CommError::Kind::NoDevice << "No such file or directory";
    QTest::newRow("in use") << OpenFailure::InUse << CommError::Kind::InUse
                            << QStringLiteral("the port is in use by this program already (pid %1)")
                                   .arg(QCoreApplication::applicationPid());
    QTest::newRow("unassigned number") << OpenFailure::Unassigned << CommError::Kind::NoSuchPort
                                       << "no device is assigned to this port number";
}

void tst_Serial::openFailuresNamePortAndReason()
{
    QFETCH(OpenFailure, scenario);
    QFETCH(CommError::Kind, kind);
    QFETCH(QString, reason);

    int port = 7;
    QString device;
    CommControl holder;
    switch (scenario) {
    case OpenFailure::MissingDevice:
        device = m_folder->runtimePath() + QStringLiteral("/gone");
        QVERIFY(m_folder->link(port, device));
        break;
    case OpenFailure::InUse:
        m_peer = std::make_unique<PtyPeer>(port);
        QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
        device = m_peer->slavePath();
        holder.setCommPort(port);
        holder.setPortOpen(true);
        break;
    default:
        port = 120;
        break;
    }

    CommControl control;
    control.setCommPort(port);
    const QString label = device.isEmpty() ? QStringLiteral("COM %1").arg(port)
                                           : QStringLiteral("COM %1 (%2)").arg(port).arg(device);
    QCOMPARE(kindOf([&] { control.setPortOpen(true); }), kind);
    QCOMPARE(failureOf([&] { control.setPortOpen(true); }), label + QStringLiteral(": ") + reason);
    QVERIFY(!control.portOpen());
    if (scenario == OpenFailure::InUse) {
        QVERIFY(holder.portOpen());
        holder.setPortOpen(false);
        control.setPortOpen(true); // the lock went with the holder
        QVERIFY(control.portOpen());
    }
}

// Qt words (and translates) its open failures differently from release to release; the
// kind comes from its error code and errno alone, so these texts say nothing the decision
// may read.
void tst_Serial::openFailureKindNeedsNoQtText_data()
{
    QTest::addColumn<QSerialPort::SerialPortError>("error");
    QTest::addColumn<int>("osError");
    QTest::addColumn<CommError::Kind>("kind");

    QTest::newRow("held exclusively (EBUSY)")
        << QSerialPort::PermissionError << EBUSY << CommError::Kind::InUse;
    QTest::newRow("Qt's lock file taken")
        << QSerialPort::PermissionError << EEXIST << CommError::Kind::InUse;
    QTest::newRow("lock of another user's process (EPERM)")
        << QSerialPort::PermissionError << EPERM << CommError::Kind::InUse;
    QTest::newRow("access refused (EACCES)")
        << QSerialPort::PermissionError << EACCES << CommError::Kind::NoPermission;
    QTest::newRow("no device") << QSerialPort::DeviceNotFoundError << ENOENT
                               << CommError::Kind::NoDevice;
    QTest::newRow("no terminal (ENOTTY)")
        << QSerialPort::OpenError << ENOTTY << CommError::Kind::NotTerminal;
    QTest::newRow("anything else") << QSerialPort::OpenError << EIO << CommError::Kind::Io;
}

void tst_Serial::openFailureKindNeedsNoQtText()
{
    QFETCH(QSerialPort::SerialPortError, error);
    QFETCH(int, osError);
    QFETCH(CommError::Kind, kind);
    const QString device = QStringLiteral("/dev/ttyQM-test");
    for (const QString &text : {QStringLiteral("Zugriff verweigert beim Sperren"),
                                QString::fromLocal8Bit(std::strerror(EBUSY)),
                                QString::fromLocal8Bit(std::strerror(ENOTTY)), QString()}) {
        const CommError failure = openFailure(error, osError, text, device);
        QCOMPARE(failure.kind(), kind);
    }
}

void tst_Serial::outOfRangePortNumbersRefused_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("0") << 0;
    QTest::newRow("-1") << -1;
    QTest::newRow("251") << 251;
}

void tst_Serial::portArgumentReadOnce_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number");   // 0: a device path; -1: refused
    QTest::addColumn<QString>("said"); // the device path, or why it is refused
    QTest::newRow("number") << "5" << 5 << "";
    QTest::newRow("as the window shows it") << "COM 5" << 5 << "";
    QTest::newRow("without the blank, lower case") << "com250" << 250 << "";
    QTest::newRow("device path") << "/dev/ttyUSB0" << 0 << "/dev/ttyUSB0";
    // A link is a device path like any other; it is followed when the port opens.
    QTest::newRow("link") << "/run/user/1000/quillmark/com7" << 0
                          << "/run/user/1000/quillmark/com7";
    QTest::newRow("COM and no number") << "COM x" << 0 << "COM x";
    QTest::newRow("0") << "0" << -1 << "0 is not a port number from 1 to 250";
    QTest::newRow("COM 251") << "COM 251" << -1 << "COM 251 is not a port number from 1 to 250";
    QTest::newRow("empty") << "" << -1 << "give a port number or a device path";
    // A gateway's address, in its one written form; never taken for a device path.
    QTest::newRow("rfc2217 address") << "rfc2217://10.0.0.7:4001" << 0 << "rfc2217://10.0.0.7:4001";
    QTest::newRow("tcp address, a name, scheme in capitals")
        << "TCP://gw-3.plant.example:4001" << 0 << "tcp://gw-3.plant.example:4001";
    QTest::newRow("bracketed IPv6")
        << "rfc2217://[fd00::7]:4001" << 0 << "rfc2217://[fd00::7]:4001";
    QTest::newRow("IPv6 without brackets")
        << "rfc2217://fd00::7:4001" << -1
        << "\"rfc2217://fd00::7:4001\": an IPv6 address is written in brackets, as [fd00::7]:4001";
    QTest::newRow("no TCP port")
        << "tcp://10.0.0.7" << -1
        << "\"tcp://10.0.0.7\": give the server's port after the host, as HOST:4001";
    QTest::newRow("TCP port 0") << "tcp://10.0.0.7:0" << -1
                                << "\"tcp://10.0.0.7:0\": \"0\" is not a TCP port from 1 to 65535";
    QTest::newRow("TCP port with a sign")
        << "tcp://10.0.0.7:+80" << -1
        << "\"tcp://10.0.0.7:+80\": \"+80\" is not a TCP port from 1 to 65535";
    QTest::newRow("a path after the port")
        << "tcp://10.0.0.7:4001/x" << -1
        << "\"tcp://10.0.0.7:4001/x\": \"4001/x\" is not a TCP port from 1 to 65535";
    QTest::newRow("not an IPv6 address")
        << "tcp://[10.0.0.7]:4001" << -1
        << "\"tcp://[10.0.0.7]:4001\": \"10.0.0.7\" is not an IPv6 address";
}

void tst_Serial::telnetStreamSplitsIntoDataAndNegotiation_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("events"); // "verb option [data in hex]"
    QTest::newRow("plain data") << QByteArray(">13810A\r") << QByteArray(">13810A\r")
                                << QStringList();
    QTest::newRow("a doubled 0xFF is one data byte")
        << QByteArray::fromHex("0E03ffff00") << QByteArray::fromHex("0E03ff00") << QStringList();
    QTest::newRow("option verbs between data")
        << QByteArray::fromHex("41fffd2c42fffb01") << QByteArray("AB")
        << QStringList{"253 44", "251 1"};
    QTest::newRow("a confirmation with 0xFF in its value")
        << QByteArray::fromHex("fffa2c65ffff0000fff043") << QByteArray("C")
        << QStringList{"250 44 65ff0000"};
    QTest::newRow("NOP carries nothing")
        << QByteArray::fromHex("41fff142") << QByteArray("AB") << QStringList();
}

// The stream is fed one byte at a time too: a TCP read may end anywhere.
void tst_Serial::telnetStreamSplitsIntoDataAndNegotiation()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, data);
    QFETCH(QStringList, events);
    for (const bool byByte : {false, true}) {
        telnet::Decoder decoder;
        std::vector<telnet::Event> got;
        std::string out;
        if (byByte) {
            for (char c : stream)
                out += decoder.feed(std::string_view(&c, 1), got);
        } else {
            out = decoder.feed(stream.toStdString(), got);
        }
        QCOMPARE(QByteArray::fromStdString(out), data);
        QStringList said;
        for (const telnet::Event &event : got)
            said << (QStringLiteral("%1 %2").arg(event.verb).arg(event.option) +
                     (event.data.empty() ? QString()
                                         : QStringLiteral(" ") +
                                               QString::fromLatin1(
                                                   QByteArray::fromStdString(event.data).toHex())));
        QCOMPARE(said, events);
    }
    // And the way out: every 0xFF doubled.
    QCOMPARE(QByteArray::fromStdString(telnet::escape(data.toStdString())).count(char(0xFF)),
             data.count(char(0xFF)) * 2);
}

// The port argument becomes a number or a device path once; messages and --port advice
// are made from that value.
void tst_Serial::portArgumentReadOnce()
{
    QFETCH(QString, text);
    QFETCH(int, number);
    QFETCH(QString, said);
    QString why;
    const std::optional<Port> port = readPort(text, &why);
    QCOMPARE(port.has_value(), number >= 0);
    if (!port) {
        QCOMPARE(why, said);
        return;
    }
    QCOMPARE(port->isNumber(), number > 0);
    QCOMPARE(port->number, number);
    QCOMPARE(port->device, said);
    QCOMPARE(port->argument(), number > 0 ? QString::number(number) : said);
    QVERIFY(port->label().startsWith(number > 0 ? QStringLiteral("COM %1").arg(number) : said));
}

void tst_Serial::structuredLineSettingsChecked_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<char>("parity");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("stop");
    QTest::addColumn<QString>("why"); // empty: taken
    QTest::newRow("4800,O,7,1") << 4800 << 'O' << 7 << 1 << "";
    QTest::newRow("19200") << 19200 << 'N' << 8 << 1
                           << "baud rate 19200 is not one of 1200, 2400, 4800, 9600";
    QTest::newRow("parity n") << 9600 << 'n' << 8 << 1 << "parity \"n\" is not one of N, E, O";
    QTest::newRow("parity NUL") << 9600 << '\0' << 8 << 1
                                << "parity \"\\x00\" is not one of N, E, O";
    QTest::newRow("6 bits") << 9600 << 'N' << 6 << 1 << "data bits 6 is not 7 or 8";
    QTest::newRow("2 stop bits") << 9600 << 'N' << 8 << 2 << "stop bits 2 is not 1";
}

// Settings that travel as values (--line, the window's lists, detect's tries) are checked
// as the text form is, and a refusal leaves the port's settings as they were.
void tst_Serial::structuredLineSettingsChecked()
{
    QFETCH(int, baud);
    QFETCH(char, parity);
    QFETCH(int, bits);
    QFETCH(int, stop);
    QFETCH(QString, why);
    CommControl control;
    control.setSettings(QStringLiteral("2400,E,8,1"));
    const LineSettings settings{baud, parity, bits, stop};
    const QString failure = failureOf([&] { control.setLineSettings(settings); });
    if (why.isEmpty()) {
        QCOMPARE(failure, QStringLiteral("(no failure)"));
        QCOMPARE(control.lineSettings(), settings);
        return;
    }
    QVERIFY2(failure.endsWith(why), qPrintable(failure));
    QCOMPARE(control.settings(), QStringLiteral("2400,E,8,1"));
}

void tst_Serial::exchangeEndsAsItsRuleSays_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArrayList>("answers"); // sent at once, then each 30 ms later
    QTest::addColumn<bool>("early");             // the command's own rule, not the window's
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("echo");

    QTest::newRow("whole at its CR") << QByteArray("$M\r") << QByteArrayList{">13810A\r"} << true
                                     << QByteArray(">13810A\r") << QByteArray();
    QTest::newRow("bytes after the CR are not the reply")
        << QByteArray("$M\r") << QByteArrayList{">13810A\r~~"} << true << QByteArray(">13810A\r")
        << QByteArray();
    QTest::newRow("echo, then the reply")
        << QByteArray("$N2\r") << QByteArrayList{"$N2\r", ">212\r"} << true << QByteArray(">212\r")
        << QByteArray("$N2\r");
    QTest::newRow("other bytes in front stay")
        << QByteArray("$N2\r") << QByteArrayList{"$N\r", ">212\r"} << true << QByteArray("$N\r")
        << QByteArray();
    QTest::newRow("the window's: everything in it")
        << QByteArray("$M\r") << QByteArrayList{">13810A\r", "~"} << false
        << QByteArray(">13810A\r~") << QByteArray();
    QTest::newRow("the window's: echo taken away")
        << QByteArray("$M\r") << QByteArrayList{"$M\r", ">13810A\r"} << false
        << QByteArray(">13810A\r") << QByteArray("$M\r");
}

// The one exchange: early completion from the protocol, an echo of exactly the command
// taken away, the window's everything-that-came, and a Modbus answer ended by silence.
void tst_Serial::exchangeEndsAsItsRuleSays()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArrayList, answers);
    QFETCH(bool, early);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, echo);

    openOnPeer();
    for (qsizetype i = 0; i < answers.size(); ++i)
        m_peer->respond(command, answers[i], int(i) * 30);
    // Driven as detect drives it, so that the peer answers on the same event loop.
    ReplyRule rule = early ? ReplyRule::forCommand(command.toStdString()) : ReplyRule();
    rule.discardStale = early;
    Exchange exchange(*m_control);
    exchange.send(command, rule);
    constexpr int kWindowMs = 400;
    QElapsedTimer clock;
    clock.start();
    bool whole = false;
    QTRY_VERIFY_WITH_TIMEOUT((whole = exchange.take()) || clock.elapsed() > kWindowMs, 3000);
    QCOMPARE(whole, early);
    const ExchangeResult result = exchange.finish();
    QCOMPARE(result.reply, reply);
    QCOMPARE(result.echo, echo);
    QCOMPARE(exchange.commandsSent(), 1);
}

// Out-of-range numbers fail when set; numbers in range without a device fail at open.
void tst_Serial::outOfRangePortNumbersRefused()
{
    QFETCH(int, port);
    CommControl control;
    control.setCommPort(5);
    QCOMPARE(
        failureOf([&] { control.setCommPort(port); }),
        QStringLiteral("COM %1: there is no such port; port numbers run from 1 to 250").arg(port));
    QCOMPARE(control.commPort(), 5);
}

void tst_Serial::traceStopsAtTheFirstLostLine_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("why");
    QTest::newRow("a full disk") << "full"
                                 << "No space left on device";
    QTest::newRow("a FIFO whose reader stopped reading") << "stalled"
                                                         << "its reader takes no more";
    QTest::newRow("a FIFO whose reader has gone") << "gone"
                                                  << "its reader has gone";
}

void tst_Serial::traceStopsAtTheFirstLostLine()
{
    QFETCH(QString, kind);
    QFETCH(QString, why);

    // As both programs do: a reader that went away fails the write instead.
    const auto previous = ::signal(SIGPIPE, SIG_IGN);
    QTemporaryDir dir;
    QString path = QStringLiteral("/dev/full");
    int reader = -1;
    if (kind != QLatin1String("full")) {
        path = dir.filePath(QStringLiteral("trace.fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(reader >= 0);
    }
    QCOMPARE(bytetrace::start(path), QString());
    if (kind == QLatin1String("gone")) {
        ::close(reader);
        reader = -1;
    }
    QStringList stops;
    bytetrace::onStopped([&stops](const QString &stopped) { stops << stopped; });
    // Lines of 8 KiB fill the FIFO soon; the calls must return, not wait for a reader.
    const QByteArray line(8192, 'x');
    for (int i = 0; i < 20; ++i)
        bytetrace::record(QStringLiteral("COM 7"), QStringLiteral("9600,N,8,1"), "send", line);
    bytetrace::onStopped({});
    if (reader >= 0)
        ::close(reader);
    ::signal(SIGPIPE, previous);
    QCOMPARE(stops, QStringList{why});
    QCOMPARE(bytetrace::problem(), why);
}

void tst_Serial::closedPortRefusesReadAndWrite()
{
    openOnPeer();
    m_control->setPortOpen(false);
    QVERIFY(!m_control->portOpen());
    m_control->setPortOpen(false);

    const QString expected =
        QStringLiteral("COM 7 (%1): the port is not open").arg(m_peer->slavePath());
    QCOMPARE(failureOf([&] { m_control->setOutput("$M\r"); }), expected);
    QCOMPARE(failureOf([&] { m_control->input(); }), expected);
    QCOMPARE(failureOf([] { CommControl().input(); }),
             QStringLiteral("COM 1 (/dev/ttyS0): the port is not open"));
}

enum class Holder { Live, Dead, NoPid, Flock, OpenOnly, Served };
Q_DECLARE_METATYPE(Holder)

namespace {

// A lock file name as the programs in use write it for `device`.
QString lockName(const QString &style, const QString &device)
{
    if (style == QLatin1String("library"))
        return QStringLiteral("LCK..") + device.mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    if (style == QLatin1String("uucp"))
        return QStringLiteral("LCK..") + QFileInfo(device).fileName();
    struct stat info = {};
    ::stat(QFile::encodeName(device).constData(), &info);
    return QString::asprintf("LCK.%03u.%03u", major(info.st_rdev), minor(info.st_rdev));
}

QByteArray lockContent(const QByteArray &format, qint64 pid)
{
    if (format == "binary") {
        const std::int32_t binary = std::int32_t(pid);
        return QByteArray(reinterpret_cast<const char *>(&binary), sizeof binary);
    }
    return QString::asprintf(format.constData(), int(pid)).toLatin1();
}

} // namespace

void tst_Serial::otherProgramsLocksRespected_data()
{
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QString>("named"); // the holder the refusal names; empty: none

    // Our serial library called a live pid stale when its process had another name, and an
    // unreadable lock stale after 30 s, and took the port.
    QTest::newRow("library format, live")
        << Holder::Live << "library" << QByteArray("%d\nminicom\nlocalhost\n") << 0 << false
        << "sleep";
    QTest::newRow("UUCP text, live")
        << Holder::Live << "uucp" << QByteArray("%10d\n") << 0 << false << "sleep";
    QTest::newRow("UUCP text with names, live")
        << Holder::Live << "library" << QByteArray("%10d minicom root\n") << 0 << false << "sleep";
    QTest::newRow("binary pid, live")
        << Holder::Live << "uucp" << QByteArray("binary") << 0 << false << "sleep";
    QTest::newRow("UUCP text, live, 40 s old")
        << Holder::Live << "library" << QByteArray("%10d\n") << 40 << false << "sleep";
    QTest::newRow("named by device numbers, live")
        << Holder::Live << "svr4" << QByteArray("%10d\n") << 0 << false << "sleep";
    QTest::newRow("no pid in it") << Holder::NoPid << "library" << QByteArray("?\n") << 0 << false
                                  << "";
    // Checked before the open: the holder's line must not get our speed for a moment.
    QTest::newRow("flock held by another program")
        << Holder::Flock << "" << QByteArray() << 0 << false << "flock";
    // How minicom holds a port: open, with neither a lock file nor a flock.
    QTest::newRow("open in another program, no lock")
        << Holder::OpenOnly << "" << QByteArray() << 0 << false << "sleep";
    // The program that made the pty keeps its master open, here by the name a container's
    // /dev gives it (/dev/ptmx a link to pts/ptmx): it serves the port, it does not hold it.
    QTest::newRow("served by another program, container-style /dev")
        << Holder::Served << "" << QByteArray() << 0 << true << "";
    QTest::newRow("UUCP text, dead")
        << Holder::Dead << "library" << QByteArray("%10d\n") << 0 << true << "";
    QTest::newRow("binary pid, dead")
        << Holder::Dead << "svr4" << QByteArray("binary") << 0 << true << "";
    QTest::newRow("library format, dead, 40 s old")
        << Holder::Dead << "uucp" << QByteArray("%d\nquillmark\nlocalhost\n") << 40 << true << "";
}

void tst_Serial::otherProgramsLocksRespected()
{
    QFETCH(Holder, holder);
    QFETCH(QString, name);
    QFETCH(QByteArray, format);
    QFETCH(int, ageSeconds);
    QFETCH(bool, opens);
    QFETCH(QString, named);

    m_peer = std::make_unique<PtyPeer>(7);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    const QString device = m_peer->slavePath();
    // A line speed of the holder's own, which our open must leave alone.
    termios line = m_peer->slaveTermios();
    cfsetspeed(&line, B2400);
    QVERIFY(m_peer->setSlaveTermios(line));

    std::unique_ptr<ForeignPty> served;
    if (holder == Holder::Served) {
        served = std::make_unique<ForeignPty>("/dev/pts/ptmx");
        if (!served->problem().isEmpty())
            QSKIP(qPrintable(served->problem()));
        QVERIFY(m_folder->link(7, served->slavePath()));
    }
    QProcess other;
    if (holder == Holder::OpenOnly) {
        other.setStandardInputFile(device);
        other.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(other.waitForStarted(5000));
    } else if (holder == Holder::Flock) {
        // How picocom and tio hold a port: a flock on the device, no lock file.
        other.start(QStringLiteral("flock"), {QStringLiteral("-n"), device, QStringLiteral("-c"),
                                              QStringLiteral("echo locked; exec sleep 30")});
        QVERIFY(other.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(other.canReadLine() || other.state() != QProcess::Running, 5000);
        QVERIFY2(other.state() == QProcess::Running, other.readAllStandardError().constData());
    } else if (holder != Holder::Served) {
        other.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(other.waitForStarted(5000));
    }
    const qint64 pid = other.processId();
    if (holder == Holder::Dead) {
        other.kill();
        QVERIFY(other.waitForFinished(5000));
    }

    QString lockPath;
    QByteArray content;
    if (!name.isEmpty()) {
        lockPath = m_folder->lockPath() + QLatin1Char('/') + lockName(name, device);
        content = lockContent(format, pid);
        QFile lock(lockPath);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(content);
        lock.close();
        const utimbuf old = {::time(nullptr) - ageSeconds, ::time(nullptr) - ageSeconds};
        QCOMPARE(::utime(QFile::encodeName(lockPath).constData(), &old), 0);
    }

    // Every open of the device from here on, by whatever name.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(device).constData(), IN_OPEN) >= 0);
    auto opened = [watch] {
        alignas(inotify_event) char events[4096];
        const ssize_t got = ::read(watch, events, sizeof events);
        return got > 0;
    };

    CommControl control;
    control.setCommPort(7);
    const QString failure = failureOf([&] { control.setPortOpen(true); });
    if (opens) {
        ::close(watch);
        QCOMPARE(failure, QStringLiteral("(no failure)"));
        QVERIFY(control.portOpen());
        QVERIFY(!QFile::exists(lockPath)); // the stale lock gave way
        return;
    }
    QCOMPARE(kindOf([&] { control.setPortOpen(true); }), CommError::Kind::InUse);
    QVERIFY(!control.portOpen());
    const bool touched = opened();
    ::close(watch);
    QVERIFY2(!touched, "the held device was opened before it was refused");
    QCOMPARE(cfgetospeed(&m_peer->slaveTermios()), speed_t(B2400));
    const QString why = holder == Holder::NoPid
                            ? lockPath
                            : QStringLiteral("in use by %1 (pid %2)").arg(named).arg(pid);
    QVERIFY2(failure.startsWith(QStringLiteral("COM 7 (%1): ").arg(device)) &&
                 failure.contains(why),
             qPrintable(failure));
    if (!lockPath.isEmpty()) {
        QFile lock(lockPath);
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), content); // never ours to remove
    }
    other.kill();
    other.waitForFinished(5000);
}

// A lock of a process of another user: kill(pid, 0) answers EPERM, and the process lives.
// The suite runs as root, where that never happens, so the check runs in a child that has
// become a user other than the holder's; without root, pid 1 is another user's already.
void tst_Serial::holderScanSeesThePtyItself_data()
{
    // What a process in a made-up /proc has open: "pty" the port itself, "copy" a node
    // with its device number elsewhere (a container's devpts has slaves numbered alike),
    // "master" and "other master" the multiplexer serving this pty or another one,
    // "null" /dev/null.
    QTest::addColumn<QStringList>("opened");
    QTest::addColumn<int>("processes"); // alike
    QTest::addColumn<bool>("holds");

    QTest::newRow("the pty") << QStringList{"null", "pty"} << 1 << true;
    QTest::newRow("the pty in three processes") << QStringList{"pty"} << 3 << true;
    QTest::newRow("its number on another file system") << QStringList{"copy"} << 1 << false;
    QTest::newRow("the pty and its master, as a simulator")
        << QStringList{"pty", "master"} << 1 << false;
    QTest::newRow("the pty and another pty's master")
        << QStringList{"other master", "pty"} << 1 << true;
    QTest::newRow("nothing of it") << QStringList{"null", "other master"} << 1 << false;
}

void tst_Serial::holderScanSeesThePtyItself()
{
    QFETCH(QStringList, opened);
    QFETCH(int, processes);
    QFETCH(bool, holds);

    m_peer = std::make_unique<PtyPeer>(7);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    const QString device = m_peer->slavePath();
    struct stat pty = {};
    QCOMPARE(::stat(QFile::encodeName(device).constData(), &pty), 0);
    const int index = int(minor(pty.st_rdev));

    QTemporaryDir root;
    const QString copy = root.filePath(QStringLiteral("copy"));
    if (::mknod(QFile::encodeName(copy).constData(), S_IFCHR | 0600, pty.st_rdev) != 0)
        QSKIP("making a device node needs CAP_MKNOD");
    for (int pid = 4242; pid < 4242 + processes; ++pid) {
        const QString process = root.filePath(QString::number(pid));
        QVERIFY(QDir().mkpath(process + QStringLiteral("/fd")) &&
                QDir().mkpath(process + QStringLiteral("/fdinfo")));
        for (qsizetype fd = 0; fd < opened.size(); ++fd) {
            const QString &what = opened[fd];
            const QString target = what == QLatin1String("pty")    ? device
                                   : what == QLatin1String("copy") ? copy
                                   : what == QLatin1String("null") ? QStringLiteral("/dev/null")
                                                                   : QStringLiteral("/dev/ptmx");
            QVERIFY(QFile::link(target, QStringLiteral("%1/fd/%2").arg(process).arg(fd)));
            QFile info(QStringLiteral("%1/fdinfo/%2").arg(process).arg(fd));
            QVERIFY(info.open(QIODevice::WriteOnly));
            info.write(QByteArray("pos:\t0\nflags:\t02\ntty-index:\t") +
                       QByteArray::number(what == QLatin1String("master") ? index : index + 1000) +
                       '\n');
        }
    }
    const QList<ProcessRef> holders = processesWithDeviceOpen(device, root.path());
    QCOMPARE(holders.size(), holds ? processes : 0);
    // An open needs only one to refuse and name.
    QCOMPARE(processesWithDeviceOpen(device, root.path(), Holders::First).size(), holds ? 1 : 0);
}

void tst_Serial::lockOfAnotherUsersProcessRespected()
{
    m_peer = std::make_unique<PtyPeer>(7);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    const QString device = m_peer->slavePath();
    const pid_t holder = geteuid() == 0 ? ::getpid() : 1;
    if (geteuid() != 0 && !(::kill(1, 0) != 0 && errno == EPERM))
        QSKIP("pid 1 is this user's own here, and only root can become another user");

    // Readable for the unprivileged user the check runs as.
    QCOMPARE(::chmod(QFile::encodeName(m_folder->runtimePath()).constData(), 0755), 0);
    const QString lockPath =
        m_folder->lockPath() + QStringLiteral("/LCK..") + QFileInfo(device).fileName();
    QFile lock(lockPath);
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(holder).rightJustified(10, ' ') + "\n");
    lock.close();
    QVERIFY(lock.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                QFile::ReadOther));

    auto judged = [&] {
        const std::optional<CommError> failure = checkLockFiles(device);
        return failure && failure->kind() == CommError::Kind::InUse &&
               failure->description().contains(QStringLiteral("(pid %1)").arg(holder));
    };
    if (geteuid() != 0) {
        QVERIFY(judged());
        QVERIFY(lock.exists());
        return;
    }
    constexpr uid_t kNobody = 65534;
    enum Outcome : char { Respected, Ignored, NoOtherUser, NoEperm };
    int report[2];
    QCOMPARE(::pipe2(report, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        Outcome outcome = NoOtherUser;
        if (::setgroups(0, nullptr) == 0 && ::setresgid(kNobody, kNobody, kNobody) == 0 &&
            ::setresuid(kNobody, kNobody, kNobody) == 0) {
            const bool eperm = ::kill(holder, 0) != 0 && errno == EPERM;
            outcome = !eperm ? NoEperm : judged() ? Respected : Ignored;
        }
        [[maybe_unused]] const ssize_t written = ::write(report[1], &outcome, 1);
        // Killed rather than exited: a memory checker would judge the threads this copy
        // of the test no longer has, and change the exit status.
        ::kill(::getpid(), SIGKILL);
    }
    ::close(report[1]);
    char outcome = NoOtherUser;
    const ssize_t got = ::read(report[0], &outcome, 1);
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    QCOMPARE(got, ssize_t(1));
    if (outcome == NoOtherUser)
        QSKIP("cannot become another user here");
    QCOMPARE(int(outcome), int(Respected));
    QVERIFY(lock.exists()); // a live holder's lock is never removed
}

void tst_Serial::ownLockNamedAfterTheDevice_data()
{
    QTest::addColumn<bool>("throughSymlink");
    QTest::newRow("linked to the device") << false;
    QTest::newRow("linked to a symlink of the device") << true;
}

// Other programs look for LCK..<device name>; a lock named after a link would not stop them.
void tst_Serial::ownLockNamedAfterTheDevice()
{
    QFETCH(bool, throughSymlink);
    m_peer = std::make_unique<PtyPeer>(7);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    const QString device = m_peer->slavePath();
    if (throughSymlink) {
        const QString alias = m_folder->runtimePath() + QStringLiteral("/by-id/usb-adapter");
        QVERIFY(QDir().mkpath(QFileInfo(alias).path()));
        QVERIFY(QFile::link(device, alias));
        QVERIFY(m_folder->link(7, alias));
    }
    // Where Qt's serial port makes its lock: the first of these that exists.
    QString qtFolder;
    for (const char *folder : {"/var/lock", "/run/lock"}) {
        if (QFileInfo(QLatin1String(folder)).isDir()) {
            qtFolder = QLatin1String(folder);
            break;
        }
    }
    if (qtFolder.isEmpty())
        QSKIP("no lock folder on this machine");

    CommControl control;
    control.setCommPort(7);
    control.setPortOpen(true);
    QVERIFY(control.portOpen());
    const QString expected =
        QStringLiteral("LCK..") + device.mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    const QStringList locks =
        QDir(qtFolder).entryList({QStringLiteral("LCK..*")}, QDir::Files | QDir::System);
    QVERIFY2(locks.contains(expected), qPrintable(locks.join(QLatin1Char(' '))));
    for (const QString &lockName : locks)
        QVERIFY2(!lockName.contains(QLatin1String("usb-adapter")), qPrintable(lockName));
    control.setPortOpen(false);
    QVERIFY(!QFile::exists(qtFolder + QLatin1Char('/') + expected));
}

void tst_Serial::lockFileFailuresSaySo_data()
{
    QTest::addColumn<bool>("readOnlyFolder");
    QTest::newRow("lock folder not writable") << true;
    QTest::newRow("lock file name too long") << false;
}

// Not "in use": the fix is a different one.
void tst_Serial::lockFileFailuresSaySo()
{
    QFETCH(bool, readOnlyFolder);
    m_peer = std::make_unique<PtyPeer>(7);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    const QString lockFolder = m_folder->lockPath();
    const QByteArray encoded = QFile::encodeName(lockFolder);

    int expected = ENAMETOOLONG;
    if (readOnlyFolder) {
        if (geteuid() != 0) {
            QCOMPARE(::chmod(encoded.constData(), 0555), 0);
            expected = EACCES;
        } else {
            const QString problem = mountPrivately(lockFolder, MS_RDONLY);
            if (!problem.isEmpty())
                QSKIP(qPrintable(problem));
            expected = EROFS;
        }
    } else {
        // A device whose own path makes a lock file name longer than a folder entry may
        // be (a link to it would not: the lock is named after the device).
        if (geteuid() != 0)
            QSKIP("making a device node needs root");
        const QString deep = m_folder->runtimePath() + QLatin1Char('/') + QString(200, 'a');
        QVERIFY(QDir().mkpath(deep));
        const QString longPath = deep + QLatin1Char('/') + QString(60, 'b');
        struct stat pty = {};
        QCOMPARE(::stat(QFile::encodeName(m_peer->slavePath()).constData(), &pty), 0);
        QCOMPARE(::mknod(QFile::encodeName(longPath).constData(), S_IFCHR | 0600, pty.st_rdev), 0);
        QVERIFY(m_folder->link(7, longPath));
    }

    CommControl control;
    control.setCommPort(7);
    const QString failure = failureOf([&] { control.setPortOpen(true); });
    const std::optional<CommError::Kind> kind = kindOf([&] { control.setPortOpen(true); });
    if (readOnlyFolder) {
        unmountPrivately(lockFolder);
        ::chmod(encoded.constData(), 0755);
    }
    QCOMPARE(kind, CommError::Kind::LockFailed);
    QVERIFY2(
        failure.endsWith(QStringLiteral(": cannot create a lock file in %1: %2")
                             .arg(lockFolder, QString::fromLocal8Bit(std::strerror(expected)))),
        qPrintable(failure));
    QVERIFY(!control.portOpen());
}

void tst_Serial::onlyTerminalsAreOpened_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("named"); // how the refusal names what it found

    QTest::newRow("plain file") << "file"
                                << "is a plain file, not a terminal device";
    QTest::newRow("FIFO") << "fifo"
                          << "is a FIFO, not a terminal device";
    QTest::newRow("folder") << "folder"
                            << "is a folder, not a terminal device";
    QTest::newRow("character device, no terminal") << "null"
                                                   << "is not a terminal device";
}

void tst_Serial::onlyTerminalsAreOpened()
{
    QFETCH(QString, kind);
    QFETCH(QString, named);

    QString target = m_folder->runtimePath() + QStringLiteral("/target");
    const QByteArray encoded = QFile::encodeName(target);
    if (kind == QLatin1String("file")) {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep");
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(encoded.constData(), 0600), 0);
    } else if (kind == QLatin1String("folder")) {
        QCOMPARE(::mkdir(encoded.constData(), 0700), 0);
    } else {
        target = QStringLiteral("/dev/null");
    }
    QVERIFY(m_folder->link(7, target));
    struct stat before = {};
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &before), 0);

    CommControl control;
    control.setCommPort(7);
    const QString failure = failureOf([&] { control.setPortOpen(true); });
    QCOMPARE(kindOf([&] { control.setPortOpen(true); }), CommError::Kind::NotTerminal);
    QVERIFY2(failure.contains(target + QLatin1Char(' ') + named), qPrintable(failure));
    QVERIFY(!control.portOpen());
    if (kind == QLatin1String("file")) {
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep"));
    }
}

void tst_Serial::permissionDeniedNamesTheFix_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QStringList>("fixHas");
    QTest::addColumn<QString>("fixHasNot");

    QTest::newRow("its group may use it")
        << 0660u << QStringList{"sudo adduser $USER {group}", "log out and in again"} << "udev";
    // Joining "root" would be wrong advice: the group of a 0600 device may not use it.
    QTest::newRow("no group may use it")
        << 0600u
        << QStringList{"only {owner} may use", "udev rule", R"(GROUP="dialout", MODE="0660")"}
        << "adduser";
}

// The message says what to do, the same fix as the doctor gives for that device.
void tst_Serial::permissionDeniedNamesTheFix()
{
    QFETCH(uint, mode);
    QFETCH(QStringList, fixHas);
    QFETCH(QString, fixHasNot);

    m_peer = std::make_unique<PtyPeer>(7);
    QVERIFY2(m_peer->isValid(), qPrintable(m_peer->errorString()));
    QString device = m_peer->slavePath();
    const QString nodev = m_folder->runtimePath() + QStringLiteral("/nodev");
    if (geteuid() != 0) {
        // Our own pty: taking the owner's bits away leaves us what the row's others get.
        QCOMPARE(::chmod(QFile::encodeName(device).constData(), mode & 0077), 0);
    } else {
        // Root opens whatever the modes say, but not a device node where devices are off.
        QVERIFY(QDir().mkpath(nodev));
        const QString problem = mountPrivately(nodev, MS_NODEV);
        if (!problem.isEmpty())
            QSKIP(qPrintable(problem));
        struct stat pty = {};
        QCOMPARE(::stat(QFile::encodeName(device).constData(), &pty), 0);
        device = nodev + QStringLiteral("/ttyX");
        QCOMPARE(::mknod(QFile::encodeName(device).constData(), S_IFCHR | mode, pty.st_rdev), 0);
        QCOMPARE(::chown(QFile::encodeName(device).constData(), 0, mode == 0600 ? 0 : pty.st_gid),
                 0);
        QCOMPARE(::chmod(QFile::encodeName(device).constData(), mode), 0); // past the umask
        QVERIFY(m_folder->link(7, device));
    }
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(device).constData(), &info), 0);
    const QString group = QString::fromLocal8Bit(::getgrgid(info.st_gid)->gr_name);
    const QString owner = QString::fromLocal8Bit(::getpwuid(info.st_uid)->pw_name);

    CommControl control;
    control.setCommPort(7);
    const QString failure = failureOf([&] { control.setPortOpen(true); });
    const std::optional<CommError::Kind> kind = kindOf([&] { control.setPortOpen(true); });
    unmountPrivately(nodev);
    QCOMPARE(kind, CommError::Kind::NoPermission);
    QVERIFY2(failure.contains(QLatin1String("Permission denied")), qPrintable(failure));
    for (QString part : fixHas) {
        part.replace(QLatin1String("{group}"), group).replace(QLatin1String("{owner}"), owner);
        QVERIFY2(failure.contains(part), qPrintable(failure));
    }
    QVERIFY2(!failure.contains(fixHasNot), qPrintable(failure));
    QVERIFY2(failure.endsWith(accessFix(group, info.st_mode, QStringLiteral("$USER"))),
             qPrintable(failure));
}

enum class Notice { EventLoop, FullBuffer, Input, Output };
Q_DECLARE_METATYPE(Notice)

void tst_Serial::vanishedDeviceEndsPortOnce_data()
{
    QTest::addColumn<Notice>("notice");
    QTest::newRow("while idle") << Notice::EventLoop;
    // Qt stops reading while its read buffer is full, and with it its own notice of a loss.
    QTest::newRow("while idle, read buffer full") << Notice::FullBuffer;
    QTest::newRow("on input") << Notice::Input;
    QTest::newRow("on output") << Notice::Output;
}

void tst_Serial::vanishedDeviceEndsPortOnce()
{
    QFETCH(Notice, notice);
    openOnPeer();
    QSignalSpy lost(m_control.get(), &CommControl::portLost);
    const QString expected =
        QStringLiteral("COM 7 (%1): the device was disconnected").arg(m_peer->slavePath());
    if (notice == Notice::FullBuffer) {
        // 1024 bytes fill the port's read buffer; the rest waits in the driver.
        m_peer->write(QByteArray(1500, 'x'));
        QTRY_COMPARE(m_peer->slavePending(), 1500 - 1024);
    }

    m_peer->hangUp();
    if (notice == Notice::Input)
        QCOMPARE(failureOf([&] { m_control->input(); }), expected);
    if (notice == Notice::Output)
        QCOMPARE(failureOf([&] { m_control->setOutput("$M\r"); }), expected);

    QVERIFY(lost.count() == 1 || lost.wait(5000));
    QCOMPARE(lost.constFirst().constFirst().toString(), expected);
    QVERIFY(!m_control->portOpen());
    for (int turn = 0; turn < 10; ++turn)
        QCoreApplication::processEvents();
    QCOMPARE(lost.count(), 1);
    QCOMPARE(failureOf([&] { m_control->input(); }), expected);
    QCOMPARE(failureOf([&] { m_control->setOutput("$M\r"); }), expected);

    m_control->setPortOpen(false);
    QCOMPARE(failureOf([&] { m_control->input(); }),
             QStringLiteral("COM 7 (%1): the port is not open").arg(m_peer->slavePath()));
}

void tst_Serial::fixedPortTable_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("device");

    QTest::newRow("COM 1") << 1 << "/dev/ttyS0";
    QTest::newRow("COM 32") << 32 << "/dev/ttyS31";
    QTest::newRow("COM 33") << 33 << "/dev/ttyUSB0";
    QTest::newRow("COM 64") << 64 << "/dev/ttyUSB31";
    QTest::newRow("COM 65") << 65 << "/dev/ttyACM0";
    QTest::newRow("COM 96") << 96 << "/dev/ttyACM31";
    QTest::newRow("COM 97") << 97 << "";
    QTest::newRow("COM 250") << 250 << "";
    QTest::newRow("COM 0") << 0 << "";
    QTest::newRow("COM 251") << 251 << "";
}

void tst_Serial::fixedPortTable()
{
    QFETCH(int, port);
    QFETCH(QString, device);
    QCOMPARE(portDevice(port), device);
}

enum class FolderCase {
    Private,
    GroupReadable,
    NotOurs,
    Symlinked,
    DanglingLink,
    ServingLockHeld,
    ServingLockLeft
};
Q_DECLARE_METATYPE(FolderCase)

void tst_Serial::linkFolderRules_data()
{
    QTest::addColumn<FolderCase>("folderCase");
    QTest::addColumn<QString>("fix"); // empty when the link is followed

    QTest::newRow("private folder") << FolderCase::Private << QString();
    QTest::newRow("group readable") << FolderCase::GroupReadable << "Run: chmod 700 %1";
    QTest::newRow("owned by another user") << FolderCase::NotOurs << "mkdir -m 700 %1";
    QTest::newRow("folder is a symlink") << FolderCase::Symlinked << "rm %1 && mkdir -m 700 %1";
    QTest::newRow("dangling link") << FolderCase::DanglingLink << QString();
    QTest::newRow("its program serving") << FolderCase::ServingLockHeld << QString();
    QTest::newRow("its program stopped")
        << FolderCase::ServingLockLeft << "(nobody holds %1/com7.lock)";
}

// A refused folder that holds a link for the port refuses the port: falling back to the
// number's own device would open a device other than the one the user linked.
void tst_Serial::linkFolderRules()
{
    QFETCH(FolderCase, folderCase);
    QFETCH(QString, fix);

    const QByteArray folder = QFile::encodeName(m_folder->path());
    QString target = QStringLiteral("/dev/null");
    switch (folderCase) {
    case FolderCase::GroupReadable:
        QCOMPARE(::chmod(folder.constData(), 0750), 0);
        break;
    case FolderCase::NotOurs:
        if (::chown(folder.constData(), getuid() + 1, getgid()) != 0)
            QSKIP("giving the folder to another user needs root");
        break;
    case FolderCase::Symlinked: {
        const QByteArray real = QFile::encodeName(m_folder->runtimePath() + "/real");
        QCOMPARE(::rename(folder.constData(), real.constData()), 0);
        QCOMPARE(::symlink(real.constData(), folder.constData()), 0);
        break;
    }
    case FolderCase::DanglingLink:
        target = m_folder->runtimePath() + QStringLiteral("/nothing-here");
        break;
    default:
        break;
    }
    // The lock a program that publishes the link holds while it serves (the simulator).
    QFile servingLock(m_folder->path() + QStringLiteral("/com7.lock"));
    if (folderCase == FolderCase::ServingLockHeld || folderCase == FolderCase::ServingLockLeft)
        QVERIFY(servingLock.open(QIODevice::WriteOnly));
    if (folderCase == FolderCase::ServingLockHeld)
        QCOMPARE(::flock(servingLock.handle(), LOCK_EX | LOCK_NB), 0);
    QVERIFY(m_folder->link(7, target));
    QCOMPARE(portDevice(8), QStringLiteral("/dev/ttyS7")); // no link: the number's own device
    if (fix.isEmpty()) {
        QCOMPARE(portDevice(7), target);
        QVERIFY(portLinkRefusal(7).isEmpty());
        return;
    }
    QCOMPARE(portDevice(7), QString());
    const QString refusal = portLinkRefusal(7);
    QVERIFY2(refusal.contains(fix.arg(m_folder->path())), qPrintable(refusal));
    QCOMPARE(portDeviceDescription(7), refusal);
    CommControl control;
    control.setCommPort(7);
    QCOMPARE(kindOf([&] { control.setPortOpen(true); }), CommError::Kind::LinkRefused);
    QCOMPARE(failureOf([&] { control.setPortOpen(true); }), QStringLiteral("COM 7: ") + refusal);
}

void tst_Serial::linkFolderLocation_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("runtime");
    QTest::addColumn<QString>("folder");

    const QString fallback = QStringLiteral("/tmp/quillmark-%1").arg(getuid());
    QTest::newRow("runtime dir") << true << QByteArray("/run/user/1000")
                                 << "/run/user/1000/quillmark";
    QTest::newRow("runtime dir empty") << true << QByteArray() << fallback;
    QTest::newRow("runtime dir unset") << false << QByteArray() << fallback;
}

void tst_Serial::linkFolderLocation()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, runtime);
    QFETCH(QString, folder);

    if (set)
        qputenv("XDG_RUNTIME_DIR", runtime);
    else
        qunsetenv("XDG_RUNTIME_DIR");
    QCOMPARE(portLinkFolder(), folder);
}

void tst_Serial::tooltipsTellPresence()
{
    PtyPeer peer(7);
    QVERIFY2(peer.isValid(), qPrintable(peer.errorString()));
    const QString gone = m_folder->runtimePath() + QStringLiteral("/gone");
    QVERIFY(m_folder->link(8, gone));

    QCOMPARE(portDeviceDescription(7), peer.slavePath() + QStringLiteral(" (present)"));
    QCOMPARE(portDeviceDescription(8), gone + QStringLiteral(" (not present)"));
    QCOMPARE(portDeviceDescription(120),
             QStringLiteral("no device is assigned to COM 120; a link com120 in %1 can name one")
                 .arg(m_folder->path()));
}

void tst_Serial::parityMarksDecoded_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QByteArray>("decoded");

    using Reads = QList<QByteArray>;
    QTest::newRow("plain, nulls kept") << Reads{bytes("A\0B\r")} << bytes("A\0B\r");
    QTest::newRow("doubled 0xFF") << Reads{"A\xff\xff"
                                           "B"}
                                  << QByteArray("A\xff"
                                                "B");
    QTest::newRow("error mark") << Reads{bytes("A\xff\0xB")} << QByteArray("A?B");
    QTest::newRow("error on a null") << Reads{bytes("\xff\0\0")} << QByteArray("?");
    QTest::newRow("split after 0xFF") << Reads{"A\xff", bytes("\0x"), "B"} << QByteArray("A?B");
    QTest::newRow("split after 0xFF 0x00") << Reads{bytes("A\xff\0"), "xB"} << QByteArray("A?B");
    QTest::newRow("doubled 0xFF split") << Reads{"\xff", "\xff"} << QByteArray("\xff");
    QTest::newRow("one byte per read")
        << Reads{"\xff", "\xff", "\xff", bytes("\0"), "x", "\xff", "\xff"}
        << QByteArray("\xff?\xff");
    QTest::newRow("unmarked 0xFF passes") << Reads{"\xff"
                                                   "A"}
                                          << QByteArray("\xff"
                                                        "A");
}

void tst_Serial::parityMarksDecoded()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QByteArray, decoded);

    ParityMarkDecoder decoder;
    std::string out;
    for (const QByteArray &read : reads)
        out += decoder.feed(std::string_view(read.constData(), std::size_t(read.size())));
    QCOMPARE(QByteArray(out.data(), qsizetype(out.size())), decoded);
    QVERIFY(decoder.pending().empty());

    decoder.feed("\xff");
    decoder.reset();
    QCOMPARE(decoder.feed("A"), std::string("A"));
}

QTEST_GUILESS_MAIN(tst_Serial)
#include "tst_serial.moc"
