#include "commerror.h"
#include "detect.h"
#include "doctor.h"
#include "foreignpty.h"
#include "portinfo.h"
#include "portlinks.h"
#include "portnames.h"
#include "portwatcher.h"
#include "ptypeer.h"
#include "testlinkfolder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

using Level = Verdict::Level;

constexpr auto kWindow = 60ms;

QString settingsText(const LineSettings &settings)
{
    return formatLineSettings(settings);
}

speed_t speedOf(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    default:
        return B9600;
    }
}

// A device on a pty that answers "$M" only while the line runs at one of the rates in
// `replies`, with the reply given for that rate, as a display at its own rate does. A pty
// carries no parity, so only the rate can tell the tries apart here.
class RateDevice
{
public:
    RateDevice(int port, std::map<int, QByteArray> replies, int delayMs = 0)
        : peer(port), m_replies(std::move(replies)), m_delayMs(delayMs)
    {
        QObject::connect(&peer, &PtyPeer::dataReceived, &peer, [this] { answer(); });
    }

    int commands() const { return int(peer.received().count("$M\r")); }

    PtyPeer peer;

private:
    void answer()
    {
        while (m_answered < commands()) {
            ++m_answered;
            const speed_t speed = cfgetospeed(&peer.slaveTermios());
            for (const auto &[baud, reply] : m_replies) {
                if (speedOf(baud) != speed)
                    continue;
                if (m_delayMs == 0)
                    peer.write(reply);
                else
                    QTimer::singleShot(m_delayMs, &peer,
                                       [this, reply = reply] { peer.write(reply); });
            }
        }
    }

    std::map<int, QByteArray> m_replies;
    int m_delayMs = 0;
    int m_answered = 0;
};

QList<Level> levels(const QList<Verdict> &verdicts)
{
    QList<Level> result;
    for (const Verdict &verdict : verdicts)
        result.append(verdict.level);
    return result;
}

DeviceFacts dialoutDevice(mode_t mode)
{
    DeviceFacts device;
    device.label = QStringLiteral("COM 33 (/dev/ttyUSB0)");
    device.device = QStringLiteral("/dev/ttyUSB0");
    device.exists = true;
    device.isCharDevice = true;
    device.ownerName = QStringLiteral("root");
    device.group = 20;
    device.groupName = QStringLiteral("dialout");
    device.mode = mode;
    return device;
}

} // namespace

Q_DECLARE_METATYPE(Level)
Q_DECLARE_METATYPE(SystemPortSource::Mode)
Q_DECLARE_METATYPE(QList<Level>)

class tst_Finding : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void portInfoFromSystemAndById_data();
    void portInfoFromSystemAndById();
    void portNumberOfADevice_data();
    void portNumberOfADevice();
    void watcherReportsAdaptersComingAndGoing_data();
    void watcherReportsAdaptersComingAndGoing();
    void systemSourceSeesALinkedDeviceComeAndGo_data();
    void systemSourceSeesALinkedDeviceComeAndGo();

    void detectTriesMostCommonFirst_data();
    void detectTriesMostCommonFirst();
    void detectStopsAtFirstValidReply_data();
    void detectStopsAtFirstValidReply();
    void detectScansPortsSideBySide();

    void accessVerdicts_data();
    void accessVerdicts();
    void holderVerdicts_data();
    void holderVerdicts();
    void grabberVerdicts_data();
    void grabberVerdicts();
    void linkFolderVerdicts_data();
    void linkFolderVerdicts();

    void lockFilesOfLiveProcessesOnly_data();
    void lockFilesOfLiveProcessesOnly();
    void holdersOfARealDeviceSeen();
    void doctorJudgesThePortAskedAbout_data();
    void doctorJudgesThePortAskedAbout();
    void linkRefusesWhatLeadsToNoPort_data();
    void linkRefusesWhatLeadsToNoPort();
    void deviceFactsOfRealFiles();

private:
    std::unique_ptr<TestLinkFolder> m_folder;
};

void tst_Finding::init()
{
    m_folder = std::make_unique<TestLinkFolder>();
    QVERIFY(m_folder->isValid());
}

void tst_Finding::cleanup()
{
    m_folder.reset();
}

// Stand-ins for device files, by-id and by-path links to them, and what udev would say.
struct PortFixture
{
    PortFixture()
    {
        if (!root.isValid() || !QDir().mkpath(dev) || !QDir().mkpath(byId) ||
            !QDir().mkpath(byPath))
            return;
        for (const char *name : {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyAMA0", "line\nbreak"}) {
            QFile file(dev + QLatin1Char('/') + QLatin1String(name));
            if (!file.open(QIODevice::WriteOnly))
                return;
        }
        valid =
            QFile::link(QStringLiteral("../dev/ttyUSB0"),
                        byId + QStringLiteral("/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0")) &&
            QFile::link(QStringLiteral("../dev/ttyUSB1"),
                        byId + QStringLiteral("/usb-1a86_USB_Serial-if00-port0")) &&
            QFile::link(QStringLiteral("../dev/ttyUSB0"),
                        byPath + QStringLiteral("/pci-0000:00:14.0-usb-0:2:1.0-port0"));
        sources.byIdFolder = byId;
        sources.byPathFolder = byPath;
        sources.systemPorts = [dev = dev] {
            return QList<SystemPort>{
                {dev + QStringLiteral("/ttyUSB0"), QStringLiteral("FT232R USB UART"),
                 QStringLiteral("FTDI"), QStringLiteral("A50285BI"), 0x0403, 0x6001},
                {dev + QStringLiteral("/ttyUSB1"), QStringLiteral("USB Serial"),
                 QStringLiteral("QinHeng"), QString(), 0x1a86, 0x7523},
                {dev + QStringLiteral("/ttyACM0"), QStringLiteral("Arduino Uno"),
                 QStringLiteral("Arduino (www.arduino.cc)"), QString(), std::nullopt, std::nullopt},
            };
        };
    }

    // A name in dev/ or, starting "../", in by-id/ stands for its full path; one starting
    // "/" for itself.
    QString path(const QString &name) const
    {
        if (name.startsWith(QLatin1Char('/')))
            return name;
        return name.startsWith(QLatin1String("..")) ? root.path() + name.mid(2)
                                                    : dev + QLatin1Char('/') + name;
    }

    QString expand(QString text, const QString &links) const
    {
        return text.replace(QLatin1String("{dev}"), dev)
            .replace(QLatin1String("{byid}"), byId)
            .replace(QLatin1String("{bypath}"), byPath)
            .replace(QLatin1String("{links}"), links);
    }

    QTemporaryDir root;
    QString dev = root.path() + QStringLiteral("/dev");
    QString byId = root.path() + QStringLiteral("/by-id");
    QString byPath = root.path() + QStringLiteral("/by-path");
    PortInfoSources sources;
    bool valid = false;
};

void tst_Finding::portInfoFromSystemAndById_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("linkTo"); // in the fixture's dev/; empty: no comN link
    QTest::addColumn<QString>("line");   // {dev}, {byid}, {bypath}, {links}: the fixture's folders
    QTest::addColumn<QString>("details");
    QTest::addColumn<bool>("inUse");

    QTest::newRow("adapter known to the system")
        << 33 << "ttyUSB0"
        << "COM 33  {dev}/ttyUSB0  FTDI FT232R USB UART  A50285BI  "
           "{byid}/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0  "
           "{bypath}/pci-0000:00:14.0-usb-0:2:1.0-port0  (linked by {links}/com33)"
        << "FTDI FT232R USB UART, serial A50285BI, USB 0403:6001, "
           "{byid}/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0, "
           "{bypath}/pci-0000:00:14.0-usb-0:2:1.0-port0"
        << true;
    QTest::newRow("linked through its by-id name")
        << 34 << "../by-id/usb-1a86_USB_Serial-if00-port0"
        << "COM 34  {byid}/usb-1a86_USB_Serial-if00-port0  QinHeng USB Serial  "
           "(linked by {links}/com34)"
        << "QinHeng USB Serial, USB 1a86:7523" << true;
    QTest::newRow("maker named in the description")
        << 65 << "ttyACM0"
        << "COM 65  {dev}/ttyACM0  Arduino Uno  (linked by {links}/com65)"
        << "Arduino Uno" << true;
    QTest::newRow("device unknown to the system")
        << 5 << "ttyAMA0"
        << "COM 5  {dev}/ttyAMA0  (linked by {links}/com5)"
        << "" << true;
    QTest::newRow("link to nothing")
        << 6 << "ttyUSB9"
        << "COM 6  {dev}/ttyUSB9  (not present)  (linked by {links}/com6)"
        << "" << false;
    // A device name may hold any byte but "/" and NUL; one line per port all the same.
    QTest::newRow("device path with a newline")
        << 7 << "line\nbreak"
        << "COM 7  {dev}/line\\nbreak  (linked by {links}/com7)"
        << "" << true;
    QTest::newRow("no device assigned") << 120 << ""
                                        << "COM 120  (no device)"
                                        << "" << false;
}

void tst_Finding::portInfoFromSystemAndById()
{
    QFETCH(int, port);
    QFETCH(QString, linkTo);
    QFETCH(QString, line);
    QFETCH(QString, details);
    QFETCH(bool, inUse);

    const PortFixture fixture;
    QVERIFY(fixture.valid);
    if (!linkTo.isEmpty())
        QVERIFY(m_folder->link(port, fixture.path(linkTo)));

    const QList<PortInfo> infos = gatherPortInfo({port}, fixture.sources);
    QCOMPARE(infos.size(), 1);
    const PortInfo &info = infos.first();
    QCOMPARE(formatPortLine(info), fixture.expand(line, m_folder->path()));
    QCOMPARE(portInfoDetails(info), fixture.expand(details, m_folder->path()));
    QCOMPARE(portInUse(info), inUse);

    const QJsonObject json = portInfoJson(info);
    QCOMPARE(json.value(QLatin1String("port")).toInt(), port);
    QCOMPARE(json.value(QLatin1String("present")).toBool(), info.present);
    QCOMPARE(json.value(QLatin1String("vendorId")).isNull(), !info.vendorId);
    if (info.vendorId)
        QCOMPARE(json.value(QLatin1String("vendorId")).toString().size(), 4);
    QCOMPARE(json.value(QLatin1String("byId")).toString(), info.byId);
    QCOMPARE(json.value(QLatin1String("byPath")).toString(), info.byPath);
}

void tst_Finding::portNumberOfADevice_data()
{
    QTest::addColumn<QStringList>("links"); // "N=NAME": comN leads to NAME (see PortFixture::path)
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("line");

    QTest::newRow("named by a link") << QStringList{"5=ttyAMA0"} << "ttyAMA0"
                                     << "COM 5  {dev}/ttyAMA0  (linked by {links}/com5)";
    QTest::newRow("named by a link to its by-id name")
        << QStringList{"34=../by-id/usb-1a86_USB_Serial-if00-port0"} << "ttyUSB1"
        << "COM 34  {byid}/usb-1a86_USB_Serial-if00-port0  QinHeng USB Serial  "
           "(linked by {links}/com34)";
    QTest::newRow("two links: the lower number")
        << QStringList{"9=ttyAMA0", "7=ttyAMA0"} << "ttyAMA0"
        << "COM 7  {dev}/ttyAMA0  (linked by {links}/com7)";
    QTest::newRow("no number leads there")
        << QStringList{"5=ttyAMA0"} << "ttyUSB0"
        << "(no port number)  {dev}/ttyUSB0  FTDI FT232R USB UART  A50285BI  "
           "{byid}/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0  "
           "{bypath}/pci-0000:00:14.0-usb-0:2:1.0-port0";
    // The number the user gave a device comes before the one the table gives its name.
    QTest::newRow("a link before the table") << QStringList{"40=/dev/ttyS0"} << "/dev/ttyS0"
                                             << "COM 40  /dev/ttyS0  (linked by {links}/com40)";
    QTest::newRow("the table without a link") << QStringList{} << "/dev/ttyS0"
                                              << "COM 1  /dev/ttyS0";
}

void tst_Finding::portNumberOfADevice()
{
    QFETCH(QStringList, links);
    QFETCH(QString, device);
    QFETCH(QString, line);

    const PortFixture fixture;
    QVERIFY(fixture.valid);
    if (device.startsWith(QLatin1Char('/')) && !QFileInfo::exists(device))
        QSKIP("this machine has no /dev/ttyS0");
    for (const QString &link : std::as_const(links))
        QVERIFY(m_folder->link(link.section(QLatin1Char('='), 0, 0).toInt(),
                               fixture.path(link.section(QLatin1Char('='), 1))));

    const QList<PortInfo> infos =
        portInfoOfDevices({fixture.path(device), fixture.path(device)}, fixture.sources);
    QCOMPARE(infos.size(), 2);
    QCOMPARE(formatPortLine(infos.at(0)), fixture.expand(line, m_folder->path()));
    const QJsonValue port = portInfoJson(infos.at(1)).value(QLatin1String("port"));
    QCOMPARE(port.isNull(), infos.at(1).port == 0);
}

namespace {

// Events made up by the test, from a starting list of devices.
class FakeSource : public PortEventSource
{
public:
    explicit FakeSource(QStringList devices) : m_devices(std::move(devices)) {}
    QStringList devices() const override { return m_devices; }

private:
    QStringList m_devices;
};

} // namespace

void tst_Finding::watcherReportsAdaptersComingAndGoing_data()
{
    QTest::addColumn<QStringList>("links");   // "N=NAME", as in portNumberOfADevice
    QTest::addColumn<QStringList>("atStart"); // devices there before the watch
    QTest::addColumn<QStringList>("events");  // "+NAME" plugged in, "-NAME" unplugged
    QTest::addColumn<QStringList>("reported");
    QTest::addColumn<int>("presentAfter");

    const QString usb0 = QStringLiteral("{dev}/ttyUSB0  FTDI FT232R USB UART  A50285BI  "
                                        "{byid}/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0  "
                                        "{bypath}/pci-0000:00:14.0-usb-0:2:1.0-port0  "
                                        "(linked by {links}/com33)");
    const QString gone = QStringLiteral("{dev}/ttyUSB0  (not present)  FTDI FT232R USB UART  "
                                        "A50285BI  "
                                        "{byid}/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0  "
                                        "{bypath}/pci-0000:00:14.0-usb-0:2:1.0-port0  "
                                        "(linked by {links}/com33)");
    // Unplugged, the adapter is reported with the names it had: its links are gone by then.
    QTest::newRow("plugged in and unplugged")
        << QStringList{"33=ttyUSB0"} << QStringList{} << QStringList{"+ttyUSB0", "-ttyUSB0"}
        << QStringList{"+ COM 33  " + usb0, "- COM 33  " + gone} << 0;
    QTest::newRow("there from the start, unplugged")
        << QStringList{"33=ttyUSB0"} << QStringList{"ttyUSB0", "ttyACM0"} << QStringList{"-ttyUSB0"}
        << QStringList{"- COM 33  " + gone} << 1;
    QTest::newRow("plugged in again") << QStringList{"33=ttyUSB0"} << QStringList{"ttyUSB0"}
                                      << QStringList{"-ttyUSB0", "+ttyUSB0"}
                                      << QStringList{"- COM 33  " + gone, "+ COM 33  " + usb0} << 1;
    QTest::newRow("no port number leads to it")
        << QStringList{} << QStringList{} << QStringList{"+ttyACM0"}
        << QStringList{"+ (no port number)  {dev}/ttyACM0  Arduino Uno"} << 1;
    QTest::newRow("unplugged before the watcher knew it")
        << QStringList{"5=ttyAMA0"} << QStringList{} << QStringList{"-ttyAMA0"}
        << QStringList{"- COM 5  {dev}/ttyAMA0  (not present)  (linked by {links}/com5)"} << 0;
}

void tst_Finding::watcherReportsAdaptersComingAndGoing()
{
    QFETCH(QStringList, links);
    QFETCH(QStringList, atStart);
    QFETCH(QStringList, events);
    QFETCH(QStringList, reported);
    QFETCH(int, presentAfter);

    PortFixture fixture;
    QVERIFY(fixture.valid);
    for (const QString &link : std::as_const(links))
        QVERIFY(m_folder->link(link.section(QLatin1Char('='), 0, 0).toInt(),
                               fixture.path(link.section(QLatin1Char('='), 1))));
    QStringList start;
    for (const QString &name : std::as_const(atStart))
        start << fixture.path(name);
    auto owned = std::make_unique<FakeSource>(start);
    FakeSource *source = owned.get();
    PortWatcher watcher(std::move(owned), fixture.sources);
    QStringList lines;
    connect(&watcher, &PortWatcher::portAdded, this, [&lines](const PortInfo &info) {
        QVERIFY(info.present);
        lines << QStringLiteral("+ ") + formatPortLine(info);
    });
    connect(&watcher, &PortWatcher::portRemoved, this, [&lines](const PortInfo &info) {
        QVERIFY(!info.present);
        lines << QStringLiteral("- ") + formatPortLine(info);
    });

    // Unplugging takes the device file and the links udev made for it; plugging brings
    // them back.
    const QString byIdName = QStringLiteral("/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    const QString byPathName = QStringLiteral("/pci-0000:00:14.0-usb-0:2:1.0-port0");
    for (const QString &event : std::as_const(events)) {
        const QString device = fixture.path(event.mid(1));
        if (event.startsWith(QLatin1Char('-'))) {
            QVERIFY(QFile::remove(device));
            QFile::remove(fixture.byId + byIdName);
            QFile::remove(fixture.byPath + byPathName);
            emit source->deviceRemoved(device);
        } else {
            QFile file(device);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QFile::link(QStringLiteral("../dev/ttyUSB0"), fixture.byId + byIdName);
            QFile::link(QStringLiteral("../dev/ttyUSB0"), fixture.byPath + byPathName);
            emit source->deviceAdded(device);
        }
    }
    for (QString &line : reported)
        line = fixture.expand(line, m_folder->path());
    QCOMPARE(lines, reported);
    QCOMPARE(watcher.present().size(), presentAfter);
}

void tst_Finding::systemSourceSeesALinkedDeviceComeAndGo_data()
{
    QTest::addColumn<SystemPortSource::Mode>("mode");
    QTest::newRow("polling, as without udev") << SystemPortSource::Mode::Polling;
    // udev's monitor for devices, the kernel's file notices for the link folder.
    QTest::newRow("udev's monitor") << SystemPortSource::Mode::Udev;
}

void tst_Finding::systemSourceSeesALinkedDeviceComeAndGo()
{
    QFETCH(SystemPortSource::Mode, mode);

    auto owned = std::make_unique<SystemPortSource>(mode);
    if (owned->mode() != mode)
        QSKIP("udev's monitor cannot be set up here");
    SystemPortSource *source = owned.get();
    PortWatcher watcher(std::move(owned), PortInfoSources::system());
    QSignalSpy added(&watcher, &PortWatcher::portAdded);
    QSignalSpy removed(&watcher, &PortWatcher::portRemoved);

    // PtyPeer publishes its pty as COM 120 in the private link folder.
    PtyPeer peer(120);
    QVERIFY2(peer.isValid(), qPrintable(peer.errorString()));
    QVERIFY(added.wait(5000));
    QCOMPARE(added.size(), 1);
    const auto plugged = added.at(0).at(0).value<PortInfo>();
    QCOMPARE(plugged.port, 120);
    QCOMPARE(plugged.device, peer.slavePath());
    QVERIFY(plugged.present);

    // A second number linked to the same device: no device came, but a station waiting for
    // COM 121 has to hear of it.
    if (mode == SystemPortSource::Mode::Udev) {
        QSignalSpy relinked(source, &SystemPortSource::linkFolderChanged);
        QVERIFY(m_folder->link(121, peer.slavePath()));
        QVERIFY(relinked.wait(5000));
        QVERIFY(QFile::remove(m_folder->path() + QStringLiteral("/com121")));
        QTRY_VERIFY(relinked.size() >= 2);
        QCOMPARE(added.size(), 1);
        QCOMPARE(removed.size(), 0);
    }

    QVERIFY(QFile::remove(m_folder->path() + QStringLiteral("/com120")));
    QVERIFY(removed.wait(5000));
    const auto unplugged = removed.at(0).at(0).value<PortInfo>();
    QCOMPARE(unplugged.port, 120);
    QCOMPARE(unplugged.device, peer.slavePath());
    QCOMPARE(added.size(), 1);
}

void tst_Finding::detectTriesMostCommonFirst_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("settings");

    QTest::newRow("factory setting first") << 0 << "9600,E,8,1";
    QTest::newRow("then slower rates") << 1 << "4800,E,8,1";
    QTest::newRow("2400 even third") << 2 << "2400,E,8,1";
    QTest::newRow("no parity after even") << 4 << "9600,N,8,1";
    QTest::newRow("odd after none") << 8 << "9600,O,8,1";
    QTest::newRow("7 bits after every 8") << 12 << "9600,E,7,1";
    QTest::newRow("last") << 19 << "1200,O,7,1";
}

void tst_Finding::detectTriesMostCommonFirst()
{
    QFETCH(int, index);
    QFETCH(QString, settings);

    const QList<LineSettings> tries = detectTries();
    QCOMPARE(tries.size(), 20);
    QCOMPARE(settingsText(tries.at(index)), settings);
    QStringList distinct;
    for (const LineSettings &each : tries) {
        QVERIFY2(!(each.parity == 'N' && each.dataBits == 7), qPrintable(settingsText(each)));
        QVERIFY(!distinct.contains(settingsText(each)));
        distinct.append(settingsText(each));
    }
}

void tst_Finding::detectStopsAtFirstValidReply_data()
{
    QTest::addColumn<int>("answerRate");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("junkRate"); // 0: none; a rate that gets a garbled reply
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("tries");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("delayMs"); // the device answers this late

    const QByteArray valid(">13810A\r");           // RTU, 9600, 8 bits, Even, address 0A
    const int late = int(kWindow.count() * 7 / 2); // lands in the window of a later try
    QTest::newRow("first try") << 9600 << valid << 0 << true << 1 << "9600,E,8,1" << 0;
    QTest::newRow("third try, at 2400") << 2400 << valid << 0 << true << 3 << "2400,E,8,1" << 0;
    QTest::newRow("garbled at 4800, valid at 2400")
        << 2400 << valid << 4800 << true << 3 << "2400,E,8,1" << 0;
    QTest::newRow("only invalid replies")
        << 1200 << QByteArray(">11910A\r") << 0 << false << 20 << "" << 0;
    // "?" is what a parity error makes of a byte; it is no digit, so no value.
    QTest::newRow("fields that are no digits")
        << 9600 << QByteArray(">?381A?\r") << 0 << false << 20 << "" << 0;
    QTest::newRow("late reply, credited to no try")
        << 9600 << valid << 0 << false << 20 << "" << late;
    QTest::newRow("silent") << 0 << QByteArray() << 0 << false << 20 << "" << 0;
    QTest::newRow("adapter echoes, third try")
        << 2400 << "$M\r" + valid << 0 << true << 3 << "2400,E,8,1" << 0;
    QTest::newRow("another command in front")
        << 9600 << "$N\r" + valid << 0 << false << 20 << "" << 0;
}

void tst_Finding::detectStopsAtFirstValidReply()
{
    QFETCH(int, answerRate);
    QFETCH(QByteArray, reply);
    QFETCH(int, junkRate);
    QFETCH(bool, found);
    QFETCH(int, tries);
    QFETCH(QString, line);
    QFETCH(int, delayMs);

    std::map<int, QByteArray> replies;
    if (answerRate)
        replies[answerRate] = reply;
    if (junkRate)
        replies[junkRate] = QByteArray("\xf0\x0f~>1?\x80");
    RateDevice device(7, replies, delayMs);
    QVERIFY2(device.peer.isValid(), qPrintable(device.peer.errorString()));

    QStringList tried;
    const QList<DetectResult> results =
        runDetect({Port::ofNumber(7)}, kWindow,
                  [&](const Port &port, int number, int count, const LineSettings &s) {
                      QCOMPARE(port.number, 7);
                      QCOMPARE(count, 20);
                      QCOMPARE(number, tried.size() + 1);
                      tried.append(settingsText(s));
                  });
    QCOMPARE(results.size(), 1);
    const DetectResult &result = results.first();
    QCOMPARE(result.outcome,
             found ? DetectResult::Outcome::Found : DetectResult::Outcome::NotFound);
    QCOMPARE(result.triesMade, tries);
    QCOMPARE(result.triesSkipped, 0); // a pty takes 7 data bits only on opening
    QCOMPARE(tried.size(), tries);
    QCOMPARE(result.tries.size(), tries);
    // A find is asked once more at its setting before it counts; so is a late reply.
    int unconfirmed = 0;
    for (const DetectTry &each : result.tries)
        unconfirmed += each.unconfirmed ? 1 : 0;
    QCOMPARE(device.commands(), tries + (found ? 1 : 0) + unconfirmed);
    if (delayMs > 0)
        QVERIFY(unconfirmed > 0);
    if (found) {
        QCOMPARE(settingsText(result.line), line);
        const bool echoed = reply.startsWith("$M\r");
        QCOMPARE(result.echo, echoed);
        QCOMPARE(result.received, echoed ? reply.mid(3) : reply);
        QCOMPARE(settingsText(lineSettingsFor(result.comms)), QStringLiteral("9600,E,8,1"));
    }
}

void tst_Finding::detectScansPortsSideBySide()
{
    RateDevice silent(7, {});
    RateDevice answering(8, {{2400, QByteArray(">11810C\r")}});
    RateDevice alsoSilent(9, {});
    for (RateDevice *device : {&silent, &answering, &alsoSilent})
        QVERIFY2(device->peer.isValid(), qPrintable(device->peer.errorString()));
    QVERIFY(m_folder->link(10, m_folder->path() + QStringLiteral("/gone")));

    constexpr auto window = 100ms;
    QElapsedTimer clock;
    clock.start();
    std::map<int, int> progress;
    const QList<DetectResult> results = runDetect(
        {Port::ofNumber(7), Port::ofNumber(8), Port::ofNumber(9), Port::ofNumber(10)}, window,
        [&](const Port &port, int, int, const LineSettings &) { ++progress[port.number]; });
    const qint64 elapsed = clock.elapsed();

    QCOMPARE(results.size(), 4);
    QCOMPARE(results[0].outcome, DetectResult::Outcome::NotFound);
    QCOMPARE(results[1].outcome, DetectResult::Outcome::Found);
    QCOMPARE(settingsText(results[1].line), QStringLiteral("2400,E,8,1"));
    QCOMPARE(settingsText(lineSettingsFor(results[1].comms)), QStringLiteral("2400,E,8,1"));
    QCOMPARE(results[1].comms.address, 0x0C);
    QCOMPARE(results[2].outcome, DetectResult::Outcome::NotFound);
    QCOMPARE(results[3].outcome, DetectResult::Outcome::Failed);
    QVERIFY(results[3].error);
    QCOMPARE(results[3].error->kind(), CommError::Kind::NoDevice);
    QCOMPARE(progress[7], 20);
    QCOMPARE(progress[8], 3);
    QCOMPARE(progress[10], 1);

    // One port's worst case is 20 reply windows; two silent ports one after the other
    // would take twice that.
    const qint64 onePort = 20 * window.count();
    QVERIFY2(elapsed < onePort * 3 / 2, qPrintable(QString::number(elapsed)));
}

void tst_Finding::accessVerdicts_data()
{
    QTest::addColumn<uint>("uid");
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QList<uint>>("accountGroups");
    QTest::addColumn<QList<uint>>("processGroups");
    QTest::addColumn<Level>("level");
    QTest::addColumn<QString>("fixHas");

    const QList<uint> user{1000};
    const QList<uint> dialout{1000, 20};
    QTest::newRow("root") << 0u << 0600u << user << user << Level::Ok << "";
    QTest::newRow("in the group") << 1000u << 0660u << dialout << dialout << Level::Ok << "";
    QTest::newRow("open to all") << 1000u << 0666u << user << user << Level::Ok << "";
    QTest::newRow("own device") << 1001u << 0600u << user << user << Level::Ok << "";
    QTest::newRow("joined, not logged in again")
        << 1000u << 0660u << dialout << user << Level::Problem << "newgrp dialout";
    QTest::newRow("not in the group")
        << 1000u << 0660u << user << user << Level::Problem << "adduser alice dialout";
    QTest::newRow("group may not write")
        << 1000u << 0640u << dialout << dialout << Level::Problem << "MODE=\"0660\"";
    QTest::newRow("owner only") << 1000u << 0600u << dialout << dialout << Level::Problem << "udev";
}

void tst_Finding::accessVerdicts()
{
    QFETCH(uint, uid);
    QFETCH(uint, mode);
    QFETCH(QList<uint>, accountGroups);
    QFETCH(QList<uint>, processGroups);
    QFETCH(Level, level);
    QFETCH(QString, fixHas);

    DeviceFacts device = dialoutDevice(mode);
    device.owner = 1001; // the "own device" row's user
    UserFacts user;
    user.name = QStringLiteral("alice");
    user.uid = uid;
    for (uint group : accountGroups)
        user.accountGroups.append(group);
    for (uint group : processGroups)
        user.processGroups.append(group);

    const Verdict verdict = checkAccess(device, user);
    QCOMPARE(verdict.check, Verdict::Check::Access);
    QCOMPARE(verdict.level, level);
    QVERIFY2(verdict.fix.contains(fixHas), qPrintable(verdict.fix));
    QCOMPARE(verdict.fix.isEmpty(), level == Level::Ok);
}

void tst_Finding::holderVerdicts_data()
{
    QTest::addColumn<bool>("lock");
    QTest::addColumn<bool>("openedByOther");
    QTest::addColumn<int>("openErrno"); // -1: no trial open
    QTest::addColumn<bool>("flockHeld");
    QTest::addColumn<Level>("level");

    QTest::newRow("nothing seen, no trial") << false << false << -1 << false << Level::Ok;
    QTest::newRow("trial open fine") << false << false << 0 << false << Level::Ok;
    QTest::newRow("live lock file") << true << false << -1 << false << Level::Problem;
    QTest::newRow("open in another program") << false << true << 0 << false << Level::Problem;
    QTest::newRow("flock held") << false << false << 0 << true << Level::Problem;
    QTest::newRow("exclusive open") << false << false << EBUSY << false << Level::Problem;
    QTest::newRow("permission left to its check") << false << false << EACCES << false << Level::Ok;
    // Refused by a security module or for a capability rather than by the file's mode.
    QTest::newRow("operation not permitted, left to the access check")
        << false << false << EPERM << false << Level::Ok;
    QTest::newRow("device gone, left to its check")
        << false << false << ENOENT << false << Level::Ok;
    QTest::newRow("other failure") << false << false << EIO << false << Level::Warning;
}

void tst_Finding::holderVerdicts()
{
    QFETCH(bool, lock);
    QFETCH(bool, openedByOther);
    QFETCH(int, openErrno);
    QFETCH(bool, flockHeld);
    QFETCH(Level, level);

    HolderFacts holders;
    if (lock)
        holders.lock = LockHolder{QStringLiteral("/run/lock/LCK..ttyUSB0"), {4242, "minicom"}};
    if (openedByOther)
        holders.openedBy.append({4243, QStringLiteral("picocom")});
    if (openErrno >= 0)
        holders.openErrno = openErrno;
    holders.flockHeld = flockHeld;
    const Verdict verdict = checkHolders(dialoutDevice(0660), holders);
    QCOMPARE(verdict.level, level);
    QCOMPARE(verdict.fix.isEmpty(), level != Level::Problem);
    if (lock)
        QVERIFY2(verdict.text.contains(QLatin1String("4242")), qPrintable(verdict.text));
}

void tst_Finding::grabberVerdicts_data()
{
    QTest::addColumn<QStringList>("comms"); // the contents of the fake /proc/N/comm files
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("vendorId"); // -1: unknown
    QTest::addColumn<QList<Level>>("levels");

    const QStringList both{"ModemManager", "brltty", "bash"};
    QTest::newRow("neither running")
        << QStringList{"bash", "sshd"} << "" << -1 << QList<Level>{Level::Ok};
    QTest::newRow("both, no port")
        << both << "" << -1 << QList<Level>{Level::Warning, Level::Warning};
    QTest::newRow("ModemManager, ttyACM")
        << both << "/dev/ttyACM0" << -1 << QList<Level>{Level::Problem};
    QTest::newRow("brltty, CH340")
        << both << "/dev/ttyUSB0" << 0x1a86 << QList<Level>{Level::Problem};
    QTest::newRow("brltty, FTDI") << both << "/dev/ttyUSB0" << 0x0403 << QList<Level>{Level::Ok};
    QTest::newRow("brltty, adapter gone")
        << both << "/dev/ttyUSB31" << -1 << QList<Level>{Level::Problem};
}

void tst_Finding::grabberVerdicts()
{
    QFETCH(QStringList, comms);
    QFETCH(QString, device);
    QFETCH(int, vendorId);
    QFETCH(QList<Level>, levels);

    // Process names are read from a proc folder; this one is made up.
    QTemporaryDir proc;
    QVERIFY(proc.isValid());
    for (int i = 0; i < comms.size(); ++i) {
        const QString dir = proc.path() + QStringLiteral("/%1").arg(100 + i);
        QVERIFY(QDir().mkpath(dir));
        QFile comm(dir + QStringLiteral("/comm"));
        QVERIFY(comm.open(QIODevice::WriteOnly));
        comm.write(comms[i].toLatin1() + '\n');
    }
    QVERIFY(QDir().mkpath(proc.path() + QStringLiteral("/self")));

    const QStringList running = runningProcessNames(proc.path());
    QCOMPARE(running.size(), comms.size());
    const QList<Verdict> verdicts = checkGrabbers(
        running, device, vendorId < 0 ? std::nullopt : std::optional<quint16>(quint16(vendorId)));
    QCOMPARE(::levels(verdicts), levels);
}

void tst_Finding::linkFolderVerdicts_data()
{
    QTest::addColumn<QString>("shape"); // how the folder is spoilt
    QTest::addColumn<QList<Level>>("levels");

    QTest::newRow("private") << "" << QList<Level>{Level::Ok};
    QTest::newRow("missing") << "missing" << QList<Level>{Level::Ok};
    QTest::newRow("open to others") << "0755" << QList<Level>{Level::Problem};
    QTest::newRow("a symbolic link") << "symlink" << QList<Level>{Level::Problem};
    QTest::newRow("a link to nothing") << "dangling" << QList<Level>{Level::Ok, Level::Warning};
    QTest::newRow("a link left by a stopped program")
        << "stale" << QList<Level>{Level::Ok, Level::Problem};
}

void tst_Finding::linkFolderVerdicts()
{
    QFETCH(QString, shape);
    QFETCH(QList<Level>, levels);

    QString path = m_folder->path();
    QVERIFY(m_folder->link(3, QStringLiteral("/dev/null")));
    if (shape == QLatin1String("missing"))
        path += QStringLiteral("-none");
    else if (shape == QLatin1String("0755"))
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0755) == 0);
    else if (shape == QLatin1String("dangling"))
        QVERIFY(m_folder->link(4, path + QStringLiteral("/nothing")));
    else if (shape == QLatin1String("stale")) {
        // The serving lock of a simulator killed with -9: there, and nobody holds it.
        QFile lock(path + QStringLiteral("/com3.lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
    } else if (shape == QLatin1String("symlink")) {
        const QString aside = m_folder->runtimePath() + QStringLiteral("/elsewhere");
        QVERIFY(QDir().rename(path, aside));
        QVERIFY(QFile::link(aside, path));
    }
    QCOMPARE(::levels(checkLinkFolder(linkFolderFacts(path))), levels);
}

void tst_Finding::lockFilesOfLiveProcessesOnly_data()
{
    QTest::addColumn<QString>("name"); // {pts}: the pty's number
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("held");
    QTest::addColumn<qint64>("pid");

    // The parent of this test (CTest or a shell) is alive and not this process.
    const qint64 parent = ::getppid();
    const QByteArray live = QByteArray::number(parent);
    const qint32 binaryPid = qint32(parent);
    QTest::newRow("UUCP text") << "LCK..{pts}" << live.rightJustified(10, ' ') + "\n"
                               << true << parent;
    QTest::newRow("UUCP with program")
        << "LCK..{pts}" << live.rightJustified(10, ' ') + " minicom root\n"
        << true << parent;
    QTest::newRow("binary pid") << "LCK..{pts}"
                                << QByteArray(reinterpret_cast<const char *>(&binaryPid), 4) << true
                                << parent;
    QTest::newRow("Qt's, named below /dev") << "LCK..pts_{pts}" << live + "\nminicom\nhost\n"
                                            << true << parent;
    QTest::newRow("names no process")
        << "LCK..{pts}" << QByteArray("garbage\n") << true << qint64(0);
    QTest::newRow("dead pid") << "LCK..{pts}" << QByteArray("  99999999\n") << false << qint64(0);
    QTest::newRow("our own") << "LCK..{pts}" << QByteArray::number(qint64(::getpid())) + "\n"
                             << false << qint64(0);
}

// Through the serial layer's own lock reading, in the private lock folder TestLinkFolder
// sets up: the machine's is never touched.
void tst_Finding::lockFilesOfLiveProcessesOnly()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(bool, held);
    QFETCH(qint64, pid);

    PtyPeer peer(7);
    QVERIFY2(peer.isValid(), qPrintable(peer.errorString()));
    const QString pts = QFileInfo(peer.slavePath()).fileName();
    QFile lock(m_folder->lockPath() + QLatin1Char('/') +
               QString(name).replace(QLatin1String("{pts}"), pts));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(content);
    lock.close();

    const std::optional<LockHolder> holder = liveLockHolder(peer.slavePath());
    QCOMPARE(bool(holder), held);
    if (held) {
        QCOMPARE(holder->process.pid, pid);
        QCOMPARE(holder->lockFile, lock.fileName());
        QCOMPARE(
            checkHolders(deviceFacts(peer.slavePath()), HolderFacts{holder, {}, {}, false, 0, {}})
                .level,
            Level::Problem);
    }
    // The doctor changes nothing: a stale lock stays for the next open to replace.
    QVERIFY(lock.exists());
}

void tst_Finding::holdersOfARealDeviceSeen()
{
    PtyPeer peer(7);
    QVERIFY2(peer.isValid(), qPrintable(peer.errorString()));
    const LockLookup noLocks = [](const QString &) { return std::nullopt; };

    HolderFacts free = holderFacts(peer.slavePath(), true, noLocks);
    QCOMPARE(free.openErrno, std::optional<int>(0));
    QVERIFY(!free.flockHeld);
    QVERIFY(free.openedBy.isEmpty());

    // Another program with the device open.
    QProcess holder;
    holder.setStandardInputFile(peer.slavePath());
    holder.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(holder.waitForStarted());
    const HolderFacts open = holderFacts(peer.slavePath(), false, noLocks);
    const qint64 holderPid = holder.processId();
    holder.kill();
    holder.waitForFinished();
    QCOMPARE(open.openedBy.size(), 1);
    QCOMPARE(open.openedBy.first().pid, holderPid);
    QCOMPARE(open.openedBy.first().name, QStringLiteral("sleep"));
    QCOMPARE(checkHolders(deviceFacts(peer.slavePath()), open).level, Level::Problem);

    // A flock on another open of the device, as picocom and tio take.
    const int fd = ::open(QFile::encodeName(peer.slavePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const HolderFacts locked = holderFacts(peer.slavePath(), true, noLocks);
    ::close(fd);
    QVERIFY(locked.flockHeld);
    QCOMPARE(checkHolders(deviceFacts(peer.slavePath()), locked).level, Level::Problem);
}

enum class PortCase {
    LinkToNull,
    StaleLinkElsewhere,
    ServedThroughPtmx,
    ServedThroughPtsPtmx,
    HeldOpen
};
Q_DECLARE_METATYPE(PortCase)

void tst_Finding::doctorJudgesThePortAskedAbout_data()
{
    QTest::addColumn<PortCase>("portCase");
    QTest::addColumn<bool>("problem");   // any check of COM 5 fails
    QTest::addColumn<QString>("holder"); // the holder check's level and text, "" if none
    QTest::addColumn<QString>("says");   // some verdict says this

    // Every process has /dev/null open; none of them holds a port.
    QTest::newRow("link to /dev/null") << PortCase::LinkToNull << true << ""
                                       << "/dev/null is not a serial device";
    QTest::newRow("a stale link of another port") << PortCase::StaleLinkElsewhere << false << "ok"
                                                  << "com6.lock";
    QTest::newRow("the simulator's own end") << PortCase::ServedThroughPtmx << false << "ok"
                                             << "no other program holds it";
    // A container's /dev: /dev/ptmx is a link to pts/ptmx, the name /proc shows.
    QTest::newRow("the simulator's own end, container-style /dev")
        << PortCase::ServedThroughPtsPtmx << false << "ok"
        << "no other program holds it";
    QTest::newRow("held open by another program") << PortCase::HeldOpen << true << "FAIL"
                                                  << "open in sleep (pid ";
}

void tst_Finding::doctorJudgesThePortAskedAbout()
{
    QFETCH(PortCase, portCase);
    QFETCH(bool, problem);
    QFETCH(QString, holder);
    QFETCH(QString, says);

    std::unique_ptr<ForeignPty> served;
    std::unique_ptr<PtyPeer> peer;
    QProcess other;
    switch (portCase) {
    case PortCase::LinkToNull:
        QVERIFY(m_folder->link(5, QStringLiteral("/dev/null")));
        break;
    case PortCase::ServedThroughPtmx:
    case PortCase::ServedThroughPtsPtmx:
        served = std::make_unique<ForeignPty>(
            portCase == PortCase::ServedThroughPtmx ? "/dev/ptmx" : "/dev/pts/ptmx");
        if (!served->problem().isEmpty())
            QSKIP(qPrintable(served->problem()));
        QVERIFY(m_folder->link(5, served->slavePath()));
        break;
    default:
        peer = std::make_unique<PtyPeer>(5);
        QVERIFY2(peer->isValid(), qPrintable(peer->errorString()));
        break;
    }
    if (portCase == PortCase::StaleLinkElsewhere) {
        // What a simulator killed with -9 leaves for COM 6: its link and an unheld lock.
        QVERIFY(m_folder->link(6, peer->slavePath()));
        QFile lock(m_folder->path() + QStringLiteral("/com6.lock"));
        QVERIFY(lock.open(QIODevice::WriteOnly));
    }
    if (portCase == PortCase::HeldOpen) {
        other.setStandardInputFile(peer->slavePath());
        other.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(other.waitForStarted(5000));
    }

    const LockLookup noLocks = [](const QString &) { return std::nullopt; };
    const QList<Verdict> verdicts = runDoctor(5, noLocks);
    other.kill();
    other.waitForFinished(5000);
    QStringList lines;
    bool failed = false;
    QString holderLine;
    for (const Verdict &verdict : verdicts) {
        lines.append(formatVerdict(verdict));
        failed = failed || verdict.level == Level::Problem;
        if (verdict.check == Verdict::Check::Holder)
            holderLine = formatVerdict(verdict);
    }
    const QString report = lines.join(QLatin1Char('\n'));
    QVERIFY2(failed == problem, qPrintable(report));
    QVERIFY2(holder.isEmpty() ? holderLine.isEmpty() : holderLine.startsWith(holder),
             qPrintable(report));
    QVERIFY2(report.contains(says), qPrintable(report));
}

void tst_Finding::linkRefusesWhatLeadsToNoPort_data()
{
    QTest::addColumn<QString>("target"); // {folder}: the link folder
    QTest::addColumn<CommError::Kind>("kind");
    QTest::addColumn<QString>("says");

    QTest::newRow("/dev/null") << "/dev/null" << CommError::Kind::NotTerminal
                               << "COM 5: /dev/null is not a serial device";
    QTest::newRow("a plain file") << "{folder}/../plain" << CommError::Kind::NotTerminal
                                  << "is not a serial device";
    QTest::newRow("its own link") << "{folder}/com5" << CommError::Kind::LinkRefused
                                  << "the link of COM 5 itself";
    QTest::newRow("a link that leads back to it")
        << "{folder}/com6" << CommError::Kind::LinkRefused << "the link of COM 5 itself";
}

// COM 5 leads to a pty, COM 6 to COM 5; whatever is refused leaves COM 5 as it was.
void tst_Finding::linkRefusesWhatLeadsToNoPort()
{
    QFETCH(QString, target);
    QFETCH(CommError::Kind, kind);
    QFETCH(QString, says);

    PtyPeer peer(5);
    QVERIFY2(peer.isValid(), qPrintable(peer.errorString()));
    QVERIFY(m_folder->link(6, m_folder->path() + QStringLiteral("/com5")));
    QFile plain(m_folder->runtimePath() + QStringLiteral("/plain"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    target.replace(QLatin1String("{folder}"), m_folder->path());

    std::optional<CommError::Kind> refused;
    QString text;
    try {
        makePortLink(5, target);
    } catch (const CommError &error) {
        refused = error.kind();
        text = error.description();
    }
    QCOMPARE(refused, std::optional<CommError::Kind>(kind));
    QVERIFY2(text.contains(says), qPrintable(text));
    QCOMPARE(QFileInfo(m_folder->path() + QStringLiteral("/com5")).symLinkTarget(),
             peer.slavePath());
    QCOMPARE(portDevice(5), peer.slavePath());
}

void tst_Finding::deviceFactsOfRealFiles()
{
    PtyPeer peer(7);
    QVERIFY2(peer.isValid(), qPrintable(peer.errorString()));
    QTemporaryDir dir;
    const QString plain = dir.path() + QStringLiteral("/plain");
    QFile file(plain);
    QVERIFY(file.open(QIODevice::WriteOnly));

    const DeviceFacts pty = deviceFacts(peer.slavePath());
    QVERIFY(pty.exists && pty.isCharDevice);
    QCOMPARE(pty.owner, ::getuid());
    QCOMPARE(checkDevice(pty).level, Level::Ok);
    QCOMPARE(checkDevice(deviceFacts(plain)).level, Level::Problem);
    QVERIFY(!deviceFacts(plain).isCharDevice);
    QCOMPARE(checkDevice(deviceFacts(dir.path() + QStringLiteral("/none"))).level, Level::Problem);
    QVERIFY(!deviceFacts(dir.path() + QStringLiteral("/none")).exists);
}

QTEST_MAIN(tst_Finding)
#include "tst_finding.moc"
