#pragma once

#include <QByteArray>
#include <QWidget>

#include <memory>

class CommControl;
class CommError;
class Exchange;
class ComboBox;
class QEventLoop;
class QGroupBox;
class QLabel;
class PortWatcher;
class QPushButton;
class Shape;
class Timer;

// The program's one window. Its members are grouped by concern: layout and start-up
// (frmmain.cpp), the connection sequence and command exchange (connection.cpp), and the
// display handlers (displayhandlers.cpp).
class frmMain : public QWidget
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    // Writes strCommand, waits one interval of tmrTout with the window live, then
    // stores what arrived in strResponse, less an echo of strCommand at its start.
    // Returns false, having sent nothing, when another exchange is still waiting, and
    // false when the window closed or the application began to quit during the wait (the
    // exchange is abandoned). A failure of the port is thrown as CommError.
    bool SendCommand();
    bool exchangeWaiting() const { return m_wait != nullptr; }

    // The controls whose caption or list entry is wider than its fixed box in the font
    // the window got, as "name \"text\""; empty when everything fits.
    QStringList captionsThatDoNotFit() const;

public slots:
    void Form_Load();
    void cmdConnect_Click();
    void cmdModifyComm_Click();
    void cmdGet_Click();
    void cmdSet_Click();
    void tmrTout_Timer();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // The tests of the exchange itself set and read the shared values below.
    friend struct WindowProbe;

    // The window's shared values of the command exchange.
    QByteArray strCommand;  // the complete command, closing carriage return included
    QByteArray strResponse; // everything the port received during the last exchange
    bool blnTimeout = false;

    void ReadCommSettings();
    // SendCommand for the buttons' own exchanges: a port failure is reported here.
    bool exchange();
    void reportCommError(const CommError &error);
    // Shows "Invalid Selection" for the first of `lists` without a selected entry.
    bool refuseMissingSelection(std::initializer_list<ComboBox *> lists);
    QString chooseFromListText(const ComboBox *list,
                               const QString &what = QStringLiteral("a value")) const;
    // Makes the control `name` of the layout table (layout.h) into `member`, in its
    // container, at its place.
    template <typename W> void add(W *frmMain::*member, const char *name);
    void buildLayout();
    // Steps the font's pixel size down until every caption fits its box.
    void fitFont();

    QGroupBox *Frame1 = nullptr;
    QGroupBox *Frame2 = nullptr;
    QGroupBox *Frame3 = nullptr;
    QGroupBox *Frame4 = nullptr;

    ComboBox *cmbBaud = nullptr;
    ComboBox *cmbPar = nullptr;
    ComboBox *cmbBits = nullptr;
    ComboBox *cmbPort = nullptr;
    ComboBox *cmbNewBaud = nullptr;
    ComboBox *cmbNewPar = nullptr;
    ComboBox *cmbNewBits = nullptr;
    ComboBox *cmbSA = nullptr;
    ComboBox *cmbMod = nullptr;
    ComboBox *cmbBlock = nullptr;
    ComboBox *cmbDT = nullptr;
    ComboBox *cmbDP = nullptr;

    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label8 = nullptr;
    QLabel *Label9 = nullptr;
    QLabel *Label10 = nullptr;
    QLabel *Label11 = nullptr;
    QLabel *Label12 = nullptr;
    QLabel *lblSettings = nullptr;

    QPushButton *cmdConnect = nullptr;
    QPushButton *cmdModifyComm = nullptr;
    QPushButton *cmdGet = nullptr;
    QPushButton *cmdSet = nullptr;

    Shape *shpPort = nullptr;
    QLabel *Image1 = nullptr;
    Timer *tmrTout = nullptr;
    CommControl *cm = nullptr;
    std::unique_ptr<Exchange> m_exchange; // over cm
    PortWatcher *m_portWatcher = nullptr; // keeps the Port list's tool tips up to date

    QEventLoop *m_wait = nullptr; // the running exchange's wait, if any
    bool m_closing = false;
};
