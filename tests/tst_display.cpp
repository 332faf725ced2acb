#include "commcontrol.h"
#include "messageboxes.h"
#include "ptyrig.h"
#include "shape.h"
#include "windowdriver.h"

#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {
constexpr int kPort = 7;
} // namespace

// The window against a scripted device on a real pseudo-terminal.
class tst_Display : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void typicalRunConfiguresTheDisplay();
    void settingsReadAppliesThePassingPrefix_data();
    void settingsReadAppliesThePassingPrefix();
    void blockReadAppliesThePassingPrefix_data();
    void blockReadAppliesThePassingPrefix();
    void modifySendsTheChosenSettings_data();
    void modifySendsTheChosenSettings();
    void modifyRefusesNoParityWithSevenBits();
    void reconnectReopensWithNewSettings();
    void connectSequenceSeenFromOutside_data();
    void connectSequenceSeenFromOutside();
    void connectToAPortWithoutDeviceIsReported_data();
    void connectToAPortWithoutDeviceIsReported();
    void connectRefusesTypedPortSettings();
    void typedTextIsNeverASelection_data();
    void typedTextIsNeverASelection();
    void buttonsRefuseListsWithoutSelection();
    void portFailureDuringAButtonIsReported();
    void exchangeAfterAFailedConnectIsReported_data();
    void exchangeAfterAFailedConnectIsReported();
    void pressesDuringAWaitAreIgnored();
    void wholeJobByKeyboardAlone();

private:
    void connectTo(const QByteArray &reply);

    std::unique_ptr<PtyRig> m_rig;
};

void tst_Display::init()
{
    m_rig = std::make_unique<PtyRig>(kPort);
    QVERIFY2(m_rig->problem().isEmpty(), qPrintable(m_rig->problem()));
}

void tst_Display::cleanup()
{
    m_rig.reset();
}

void tst_Display::connectTo(const QByteArray &reply)
{
    if (!reply.isEmpty())
        m_rig->peer.respond("$M\r", reply);
    click(*m_rig->window, "cmdConnect");
}

void tst_Display::typicalRunConfiguresTheDisplay()
{
    MessageBoxes boxes;
    connectTo(">13810A\r");
    QCOMPARE(m_rig->peer.received(), QByteArray("$M\r"));
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
    QCOMPARE(control<QPushButton>(*m_rig->window, "cmdConnect")->text(),
             QStringLiteral("Reconnect"));
    QCOMPARE(control<QLabel>(*m_rig->window, "lblSettings")->text(), QStringLiteral("9600,N,8,1"));
    QVERIFY(control(*m_rig->window, "Frame2")->isEnabled());
    QCOMPARE(positions(*m_rig->window, kCommsLists), (QList<int>{1, 3, 1, 1, 9}));
    QCOMPARE(list(*m_rig->window, "cmbSA")->currentText(), QStringLiteral("0A"));

    m_rig->peer.clearReceived();
    m_rig->peer.respond("$N2\r", ">212\r");
    list(*m_rig->window, "cmbBlock")->setListIndex(2);
    click(*m_rig->window, "cmdGet");
    QCOMPARE(m_rig->peer.received(), QByteArray("$N2\r"));
    QCOMPARE(positions(*m_rig->window, kBlockLists), (QList<int>{2, 1, 2}));
    QCOMPARE(list(*m_rig->window, "cmbDP")->currentText(), QStringLiteral("0.01"));

    m_rig->peer.clearReceived();
    list(*m_rig->window, "cmbDT")->setListIndex(2);
    click(*m_rig->window, "cmdSet");
    QCOMPARE(m_rig->peer.received(), QByteArray("$D222\r"));
    QCOMPARE(positions(*m_rig->window, kBlockLists), (QList<int>{2, 2, 2}));
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
    QCOMPARE(boxes.count(), 0);
}

void tst_Display::settingsReadAppliesThePassingPrefix_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QList<int>>("after"); // mode, baud, bits, parity, address positions
    QTest::addColumn<QColor>("colour");

    const QList<int> defaults = {0, 3, 1, 0, 0};
    QTest::newRow("all pass") << QByteArray(">11720A\r") << QList<int>{1, 1, 0, 2, 9} << kGreen;
    QTest::newRow("no reply") << QByteArray() << defaults << kYellow;
    QTest::newRow("stray byte in front") << QByteArray("#>11720A\r") << defaults << kYellow;
    // A two-wire adapter hands back the command before the reply: the line's, not the
    // display's. Other bytes in front, even most of the command, are judged as they come.
    QTest::newRow("echo of the command in front")
        << QByteArray("$M\r>11720A\r") << QList<int>{1, 1, 0, 2, 9} << kGreen;
    QTest::newRow("another command in front") << QByteArray("$N\r>11720A\r") << defaults << kYellow;
    QTest::newRow("part of the command in front")
        << QByteArray("$M>11720A\r") << defaults << kYellow;
    QTest::newRow("mode fails") << QByteArray(">21720A\r") << defaults << kYellow;
    QTest::newRow("baud fails") << QByteArray(">14720A\r") << QList<int>{1, 3, 1, 0, 0} << kYellow;
    QTest::newRow("data bits fail")
        << QByteArray(">11920A\r") << QList<int>{1, 1, 1, 0, 0} << kYellow;
    QTest::newRow("parity fails") << QByteArray(">11730A\r") << QList<int>{1, 1, 0, 0, 0}
                                  << kYellow;
    QTest::newRow("address fails")
        << QByteArray(">1172FB\r") << QList<int>{1, 1, 0, 2, 0} << kYellow;
    QTest::newRow("address 00 leaves no selection")
        << QByteArray(">117200\r") << QList<int>{1, 1, 0, 2, -1} << kGreen;
}

void tst_Display::settingsReadAppliesThePassingPrefix()
{
    QFETCH(QByteArray, reply);
    QFETCH(QList<int>, after);
    QFETCH(QColor, colour);

    connectTo(reply);
    QCOMPARE(positions(*m_rig->window, kCommsLists), after);
    QCOMPARE(indicatorColour(*m_rig->window), colour);
    QVERIFY(control(*m_rig->window, "Frame2")->isEnabled());
}

void tst_Display::blockReadAppliesThePassingPrefix_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QList<int>>("after"); // block, data type, decimal point positions

    const QList<int> unchanged = {0, 0, 0};
    QTest::newRow("all pass") << QByteArray(">212\r") << QList<int>{2, 1, 2};
    QTest::newRow("echo of the command in front")
        << QByteArray("$N0\r>212\r") << QList<int>{2, 1, 2};
    QTest::newRow("another block, applied as it comes")
        << QByteArray(">512\r") << QList<int>{5, 1, 2};
    QTest::newRow("data type fails") << QByteArray(">232\r") << QList<int>{2, 0, 0};
    QTest::newRow("decimal point fails") << QByteArray(">216\r") << QList<int>{2, 1, 0};
    QTest::newRow("block fails") << QByteArray(">9ab\r") << unchanged;
    QTest::newRow("no reply") << QByteArray() << unchanged;
    QTest::newRow("4 characters") << QByteArray(">21\r") << unchanged;
    QTest::newRow("6 characters") << QByteArray(">2120\r") << unchanged;
}

void tst_Display::blockReadAppliesThePassingPrefix()
{
    QFETCH(QByteArray, reply);
    QFETCH(QList<int>, after);

    connectTo(">13810A\r");
    m_rig->peer.clearReceived();
    if (!reply.isEmpty())
        m_rig->peer.respond("$N0\r", reply);
    click(*m_rig->window, "cmdGet");
    QCOMPARE(m_rig->peer.received(), QByteArray("$N0\r"));
    QCOMPARE(positions(*m_rig->window, kBlockLists), after);
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
}

void tst_Display::modifySendsTheChosenSettings_data()
{
    QTest::addColumn<QList<int>>("chosen"); // mode, baud, bits, parity, address positions
    QTest::addColumn<QByteArray>("command");
    QTest::newRow("RTU 9600 8 Even 0A") << QList<int>{1, 3, 1, 1, 9} << QByteArray("$C13810A\r");
    QTest::newRow("ASCII 1200 7 Odd 01") << QList<int>{0, 0, 0, 2, 0} << QByteArray("$C007201\r");
    QTest::newRow("None with 8 bits is allowed")
        << QList<int>{0, 2, 1, 0, 249} << QByteArray("$C0280FA\r");
}

void tst_Display::modifySendsTheChosenSettings()
{
    QFETCH(QList<int>, chosen);
    QFETCH(QByteArray, command);

    connectTo(">13810A\r");
    m_rig->peer.clearReceived();
    int i = 0;
    for (const char *name : kCommsLists)
        list(*m_rig->window, name)->setListIndex(chosen.at(i++));
    MessageBoxes boxes;
    click(*m_rig->window, "cmdModifyComm");
    QCOMPARE(m_rig->peer.received(), command);
    QCOMPARE(positions(*m_rig->window, kCommsLists), chosen);
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
    QCOMPARE(boxes.count(), 0);
}

void tst_Display::modifyRefusesNoParityWithSevenBits()
{
    connectTo(">13810A\r");
    m_rig->peer.clearReceived();
    list(*m_rig->window, "cmbNewPar")->setListIndex(0);
    list(*m_rig->window, "cmbNewBits")->setListIndex(0);
    MessageBoxes boxes;
    click(*m_rig->window, "cmdModifyComm");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QStringLiteral("Invalid Combination"));
    QCOMPARE(boxes.last().text, QStringLiteral("Parity: None & Bits: 7 not supported"));
    QCOMPARE(boxes.last().icon, QMessageBox::Information);
    QCOMPARE(m_rig->peer.received(), QByteArray());
    QCOMPARE(positions(*m_rig->window, {"cmbNewPar", "cmbNewBits"}), (QList<int>{0, 0}));
}

void tst_Display::reconnectReopensWithNewSettings()
{
    connectTo(">13810A\r");
    list(*m_rig->window, "cmbBaud")->setListIndex(1);
    list(*m_rig->window, "cmbPar")->setListIndex(2);
    list(*m_rig->window, "cmbBits")->setListIndex(0);
    m_rig->peer.clearReceived();
    click(*m_rig->window, "cmdConnect");
    QCOMPARE(m_rig->peer.received(), QByteArray("$M\r"));
    QCOMPARE(control<QLabel>(*m_rig->window, "lblSettings")->text(), QStringLiteral("2400,O,7,1"));
    const termios line = m_rig->peer.slaveTermios();
    QCOMPARE(cfgetospeed(&line), speed_t(B2400));
    QVERIFY(line.c_cflag & PARODD);
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
}

void tst_Display::connectSequenceSeenFromOutside_data()
{
    QTest::addColumn<bool>("hangUp"); // the device goes away while the read waits
    QTest::addColumn<QStringList>("colours");
    QTest::addColumn<bool>("frame2After");
    QTest::addColumn<QString>("box");

    QTest::newRow("answer after 400 ms")
        << false << QStringList{"white closed", "yellow open", "green open"} << true << QString();
    QTest::newRow("hang-up during the read")
        << true << QStringList{"white closed", "yellow open", "red closed"} << false
        << QStringLiteral("Comm Port Error!");
}

void tst_Display::connectSequenceSeenFromOutside()
{
    QFETCH(bool, hangUp);
    QFETCH(QStringList, colours);
    QFETCH(bool, frame2After);
    QFETCH(QString, box);

    frmMain &window = *m_rig->window;
    const CommControl *port = control<CommControl>(window, "cm");
    QWidget *frame2 = control(window, "Frame2");
    // Each colour as it is set, with the port's state at that moment.
    QStringList seen;
    QObject::connect(
        control<Shape>(window, "shpPort"), &Shape::backColorChanged, this, [&](quint32 colour) {
            const char *name = colour == indicator::kWhite    ? "white"
                               : colour == indicator::kYellow ? "yellow"
                               : colour == indicator::kGreen  ? "green"
                               : colour == indicator::kRed    ? "red"
                                                              : "other";
            seen << QString::fromLatin1(name) +
                        (port->portOpen() ? QStringLiteral(" open") : QStringLiteral(" closed"));
        });
    QColor colourAt200;
    bool frame2At200 = true;
    QTimer::singleShot(200, this, [&] {
        colourAt200 = indicatorColour(window);
        frame2At200 = frame2->isEnabled();
        if (hangUp)
            m_rig->peer.hangUp();
    });
    if (!hangUp)
        m_rig->peer.respond("$M\r", ">13810A\r", 400);

    MessageBoxes boxes;
    click(window, "cmdConnect");
    QCOMPARE(colourAt200, kYellow);
    QVERIFY(!frame2At200);
    QCOMPARE(seen, colours);
    QCOMPARE(frame2->isEnabled(), frame2After);
    QCOMPARE(control<QPushButton>(window, "cmdConnect")->text(), QStringLiteral("Reconnect"));
    QCOMPARE(boxes.count(), box.isEmpty() ? 0 : 1);
    QCOMPARE(boxes.last().title, box);
}

void tst_Display::connectToAPortWithoutDeviceIsReported_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("named"); // how the report names the port
    QTest::newRow("link to nothing") << 9 << QStringLiteral("COM 9");
    QTest::newRow("number without a device") << 200 << QStringLiteral("COM 200");
}

void tst_Display::connectToAPortWithoutDeviceIsReported()
{
    QFETCH(int, port);
    QFETCH(QString, named);
    QVERIFY(m_rig->folder.link(9, m_rig->folder.path() + QStringLiteral("/gone")));

    list(*m_rig->window, "cmbPort")->setListIndex(port - 1);
    MessageBoxes boxes;
    click(*m_rig->window, "cmdConnect");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QStringLiteral("Comm Port Error!"));
    QCOMPARE(boxes.last().icon, QMessageBox::Critical);
    QVERIFY2(boxes.last().text.startsWith(named), qPrintable(boxes.last().text));
    QCOMPARE(indicatorColour(*m_rig->window), kRed);
    QCOMPARE(control<QPushButton>(*m_rig->window, "cmdConnect")->text(), QStringLiteral("Connect"));
    QVERIFY(control<QLabel>(*m_rig->window, "lblSettings")->text().isEmpty());
    QVERIFY(!control(*m_rig->window, "Frame2")->isEnabled());
}

void tst_Display::connectRefusesTypedPortSettings()
{
    connectTo(">13810A\r");
    CommControl *port = control<CommControl>(*m_rig->window, "cm");
    QVERIFY(port->portOpen());

    typeInto(*m_rig->window, "cmbBaud", QStringLiteral("19200"));
    m_rig->peer.clearReceived();
    MessageBoxes boxes;
    click(*m_rig->window, "cmdConnect");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QStringLiteral("Comm Port Error!"));
    QCOMPARE(boxes.last().text, QStringLiteral("Baud Rate: choose a value from the list."));
    QCOMPARE(indicatorColour(*m_rig->window), kRed);
    QVERIFY(!port->portOpen()); // closed first, then refused
    QCOMPARE(m_rig->peer.received(), QByteArray());
}

void tst_Display::typedTextIsNeverASelection_data()
{
    QTest::addColumn<QString>("listName");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("leaveBy"); // how the focus leaves the field
    QTest::addColumn<QString>("button");  // pressed afterwards, if any
    QTest::addColumn<QString>("refusal"); // the title of the box it must show

    struct Row
    {
        const char *tag, *list, *text, *leaveBy, *button, *refusal;
    };
    // Typed text that equals an entry is looked up by QComboBox when the focus leaves.
    const Row rows[] = {
        {"port COM 7, Tab, Connect", "cmbPort", "COM 7", "Tab", "cmdConnect", "Comm Port Error!"},
        {"address 05, Tab, Modify", "cmbSA", "05", "Tab", "cmdModifyComm", "Invalid Selection"},
        {"baud 4800, Tab", "cmbBaud", "4800", "Tab", "", ""},
        {"baud 2400, Enter", "cmbBaud", "2400", "Enter", "", ""},
        {"data type Long, click elsewhere, SET", "cmbDT", "Long", "click", "cmdSet",
         "Invalid Selection"},
        {"no such entry, click elsewhere, Connect", "cmbBaud", "19200", "click", "cmdConnect",
         "Comm Port Error!"},
    };
    for (const Row &r : rows) {
        QTest::newRow(r.tag) << QString::fromLatin1(r.list) << QString::fromLatin1(r.text)
                             << QString::fromLatin1(r.leaveBy) << QString::fromLatin1(r.button)
                             << QString::fromLatin1(r.refusal);
    }
}

void tst_Display::typedTextIsNeverASelection()
{
    QFETCH(QString, listName);
    QFETCH(QString, text);
    QFETCH(QString, leaveBy);
    QFETCH(QString, button);
    QFETCH(QString, refusal);

    frmMain &window = *m_rig->window;
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    connectTo(">13810A\r");
    QCOMPARE(indicatorColour(window), kGreen);
    m_rig->peer.clearReceived();
    // The text must differ from the selected entry, or QComboBox has nothing to look up.
    list(window, "cmbPort")->setListIndex(0);

    ComboBox *typedInto = list(window, listName.toLatin1().constData());
    QTest::mouseClick(typedInto->lineEdit(), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), typedInto);
    typeInto(window, listName.toLatin1().constData(), text);
    if (leaveBy == QLatin1String("Tab"))
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    else if (leaveBy == QLatin1String("Enter"))
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    else
        QTest::mouseClick(list(window, "cmbBits")->lineEdit(), Qt::LeftButton);
    QVERIFY(leaveBy == QLatin1String("Enter") || QApplication::focusWidget() != typedInto);
    QCOMPARE(typedInto->currentText(), text);
    QCOMPARE(typedInto->listIndex(), -1);

    if (button.isEmpty())
        return;
    MessageBoxes boxes;
    click(window, button.toLatin1().constData());
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, refusal);
    QCOMPARE(m_rig->peer.received(), QByteArray());
    QCOMPARE(typedInto->listIndex(), -1);
    if (button == QLatin1String("cmdConnect")) {
        QCOMPARE(indicatorColour(window), kRed);
        QVERIFY(!control<CommControl>(window, "cm")->portOpen());
    }
}

void tst_Display::buttonsRefuseListsWithoutSelection()
{
    connectTo(">13810A\r");
    m_rig->peer.clearReceived();
    MessageBoxes boxes;

    // An address of 00 from the display leaves the address list without a selection.
    list(*m_rig->window, "cmbSA")->setListIndex(-1);
    click(*m_rig->window, "cmdModifyComm");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QStringLiteral("Invalid Selection"));
    QCOMPARE(boxes.last().text, QStringLiteral("Slave Address: choose a value from the list."));
    QCOMPARE(boxes.last().icon, QMessageBox::Information);

    // The parity and bits check still comes first.
    list(*m_rig->window, "cmbNewPar")->setListIndex(0);
    list(*m_rig->window, "cmbNewBits")->setListIndex(0);
    click(*m_rig->window, "cmdModifyComm");
    QCOMPARE(boxes.last().title, QStringLiteral("Invalid Combination"));

    typeInto(*m_rig->window, "cmbBlock", QStringLiteral("10"));
    click(*m_rig->window, "cmdGet");
    QCOMPARE(boxes.last().text,
             QStringLiteral("Block No./Reg. No.: choose a value from the list."));
    list(*m_rig->window, "cmbBlock")->setListIndex(0);
    typeInto(*m_rig->window, "cmbDP", QStringLiteral("0.5"));
    click(*m_rig->window, "cmdSet");
    QCOMPARE(boxes.last().text, QStringLiteral("Decimal Point: choose a value from the list."));

    QCOMPARE(boxes.count(), 4);
    QCOMPARE(m_rig->peer.received(), QByteArray());
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
}

void tst_Display::portFailureDuringAButtonIsReported()
{
    connectTo(">13810A\r");
    MessageBoxes boxes;

    // The device is unplugged: the next exchange reports it, naming the port.
    m_rig->peer.hangUp();
    click(*m_rig->window, "cmdGet");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().title, QStringLiteral("Comm Port Error!"));
    QCOMPARE(boxes.last().icon, QMessageBox::Critical);
    QVERIFY2(boxes.last().text.startsWith(QStringLiteral("COM 7")), qPrintable(boxes.last().text));
    QCOMPARE(indicatorColour(*m_rig->window), kRed);

    // A failed reconnect leaves the display side enabled from the earlier read; its
    // buttons then meet a closed port and say so.
    list(*m_rig->window, "cmbPort")->setListIndex(199);
    click(*m_rig->window, "cmdConnect");
    QCOMPARE(boxes.count(), 2);
    QVERIFY(control(*m_rig->window, "Frame2")->isEnabled());
    for (const char *button : {"cmdSet", "cmdModifyComm"}) {
        click(*m_rig->window, button);
        QCOMPARE(boxes.last().title, QStringLiteral("Comm Port Error!"));
        QVERIFY2(boxes.last().text.startsWith(QStringLiteral("COM 200")),
                 qPrintable(boxes.last().text));
    }
    QCOMPARE(boxes.count(), 4);
}

void tst_Display::exchangeAfterAFailedConnectIsReported_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("Modify") << "cmdModifyComm";
    QTest::newRow("GET") << "cmdGet";
    QTest::newRow("SET") << "cmdSet";
}

// The display side stays usable from the earlier read after a failed Connect; a button
// there meets no port and must say so, as every other failure of the port does, with the
// reason: a bare "the port is not open" under the same title reads like the Connect's box
// still showing.
void tst_Display::exchangeAfterAFailedConnectIsReported()
{
    QFETCH(QString, button);
    connectTo(">13810A\r");
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
    m_rig->peer.clearReceived();

    MessageBoxes boxes;
    list(*m_rig->window, "cmbPort")->setListIndex(149);
    click(*m_rig->window, "cmdConnect");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(indicatorColour(*m_rig->window), kRed);
    QVERIFY(control(*m_rig->window, "Frame2")->isEnabled());

    for (int press = 1; press <= 2; ++press) {
        click(*m_rig->window, qPrintable(button));
        QCOMPARE(boxes.count(), 1 + press);
        QCOMPARE(boxes.last().title, QStringLiteral("Comm Port Error!"));
        QCOMPARE(boxes.last().icon, QMessageBox::Critical);
        // The port and why it is not open: the reason the Connect failed.
        QCOMPARE(boxes.last().text,
                 boxes.seen().first().text + QStringLiteral("; the port is not open"));
        QCOMPARE(indicatorColour(*m_rig->window), kRed);
    }
    QCOMPARE(m_rig->peer.received(), QByteArray());
}

void tst_Display::pressesDuringAWaitAreIgnored()
{
    connectTo(">13810A\r");
    m_rig->peer.clearReceived();
    m_rig->peer.respond("$N0\r", ">212\r");

    // Presses that arrive while GET waits for its reply.
    QTimer::singleShot(100, this, [this] {
        for (const char *button : {"cmdConnect", "cmdSet", "cmdGet", "cmdModifyComm"})
            click(*m_rig->window, button);
    });
    MessageBoxes boxes;
    click(*m_rig->window, "cmdGet");
    QCOMPARE(m_rig->peer.received(), QByteArray("$N0\r"));
    QCOMPARE(positions(*m_rig->window, kBlockLists), (QList<int>{2, 1, 2}));
    QVERIFY(control<CommControl>(*m_rig->window, "cm")->portOpen());
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);
    QCOMPARE(boxes.count(), 0);
}

void tst_Display::wholeJobByKeyboardAlone()
{
    m_rig->window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_rig->window.get()));
    auto press = [](Qt::Key key, int times = 1) {
        for (int i = 0; i < times; ++i)
            QTest::keyClick(QApplication::focusWidget(), key);
    };
    auto focused = [] { return QApplication::focusWidget()->objectName(); };
    m_rig->peer.respond("$M\r", ">13810A\r");
    m_rig->peer.respond("$N1\r", ">112\r");

    // Port: COM 7 is six entries down from the default.
    press(Qt::Key_Tab, 3);
    QCOMPARE(focused(), QStringLiteral("cmbPort"));
    list(*m_rig->window, "cmbPort")->setListIndex(0);
    press(Qt::Key_Down, kPort - 1);
    QCOMPARE(list(*m_rig->window, "cmbPort")->listIndex(), kPort - 1);
    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("cmdConnect"));
    press(Qt::Key_Space);
    QCOMPARE(indicatorColour(*m_rig->window), kGreen);

    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("cmbNewBaud"));
    press(Qt::Key_Up); // 4800
    press(Qt::Key_Tab, 3);
    QCOMPARE(focused(), QStringLiteral("cmdModifyComm"));
    press(Qt::Key_Space);

    press(Qt::Key_Tab, 3);
    QCOMPARE(focused(), QStringLiteral("cmbBlock"));
    press(Qt::Key_Down); // block 2
    press(Qt::Key_Tab, 3);
    QCOMPARE(focused(), QStringLiteral("cmdGet"));
    press(Qt::Key_Space);
    QCOMPARE(positions(*m_rig->window, kBlockLists), (QList<int>{1, 1, 2}));

    press(Qt::Key_Tab);
    QCOMPARE(focused(), QStringLiteral("cmdSet"));
    press(Qt::Key_Space);
    QCOMPARE(m_rig->peer.received(), QByteArray("$M\r$C12810A\r$N1\r$D112\r"));
}

QTEST_MAIN(tst_Display)
#include "tst_display.moc"
