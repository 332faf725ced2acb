#include "frmmain.h"

#include "combobox.h"
#include "commcontrol.h"
#include "optionlists.h"
#include "portinfo.h"
#include "portnames.h"
#include "portwatcher.h"
#include "protocollimits.h"
#include "shape.h"
#include "taskbar.h"
#include "timer.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QStyleFactory>

namespace {

// The layout is drawn in twips; 15 twips make one pixel at 96 dots per inch.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidth = 12435;
constexpr int kClientHeight = 3195;

void place(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                        height / kTwipsPerPixel);
}

// The layout was drawn for a small dialog font; at the default 10 pt several captions
// would be clipped at their fixed widths. Where the machine lacks this font, fontconfig
// gives a wider one, and the window steps the size down until everything fits.
constexpr int kDialogPixelSize = 11;
constexpr int kSmallestPixelSize = 7;

QFont dialogFont()
{
    QFont font(QStringLiteral("DejaVu Sans Condensed"));
    font.setPixelSize(kDialogPixelSize);
    return font;
}

// Our pictures are all PNG; naming the format spares loading every image plugin to
// guess it, which costs start-up time and memory.
QPixmap picture(const QString &path)
{
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

// How each kind of control takes its caption or initial text.
void setCaption(QGroupBox *frame, const QString &caption)
{
    frame->setTitle(caption);
}

void setCaption(ComboBox *list, const QString &text)
{
    list->setEditText(text);
}

void setCaption(QLabel *label, const QString &caption)
{
    label->setText(caption);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setAutoFillBackground(true);
}

void setCaption(QPushButton *button, const QString &caption)
{
    button->setText(caption);
    button->setAutoDefault(false);
    button->setDefault(false);
}

void setCaption(Shape *, const QString &) {}

} // namespace

frmMain::frmMain(QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quillmark"));
    setFont(dialogFont());
    QIcon icon;
    icon.addPixmap(picture(QStringLiteral(":/images/icon16.png")));
    icon.addPixmap(picture(QStringLiteral(":/images/icon32.png")));
    setWindowIcon(icon);
    setFixedSize(kClientWidth / kTwipsPerPixel, kClientHeight / kTwipsPerPixel);

    buildLayout();
    // The layout was drawn for flat, classic frames: with them the opaque labels blend
    // into their frame and each frame's caption sits in its border.
    if (QStyle *classic = QStyleFactory::create(QStringLiteral("Windows"))) {
        classic->setParent(this);
        setStyle(classic);
        for (QWidget *widget : findChildren<QWidget *>())
            widget->setStyle(classic);
    }

    fitFont();

    tmrTout = new Timer(this);
    tmrTout->setObjectName(QStringLiteral("tmrTout"));
    tmrTout->setInterval(qm::kReplyWindowMs);
    tmrTout->setTimerType(Qt::PreciseTimer);
    connect(tmrTout, &QTimer::timeout, this, &frmMain::tmrTout_Timer);

    cm = new CommControl(this);
    cm->setObjectName(QStringLiteral("cm"));
    // A green light over a port that is gone would claim a link that no longer exists;
    // the loss itself is reported when the user next uses the port.
    connect(cm, &CommControl::portLost, this, [this] { shpPort->setBackColor(indicator::kRed); });

    connect(cmdConnect, &QPushButton::clicked, this, &frmMain::cmdConnect_Click);
    connect(cmdModifyComm, &QPushButton::clicked, this, &frmMain::cmdModifyComm_Click);
    connect(cmdGet, &QPushButton::clicked, this, &frmMain::cmdGet_Click);
    connect(cmdSet, &QPushButton::clicked, this, &frmMain::cmdSet_Click);

    Form_Load();
}

frmMain::~frmMain() = default;

template <typename W>
void frmMain::add(W *frmMain::*member, QGroupBox *frmMain::*container, const char *name, int left,
                  int top, int width, int height, const char *caption)
{
    auto *made = new W(container ? static_cast<QWidget *>(this->*container) : this);
    this->*member = made;
    setCaption(made, QString::fromLatin1(caption));
    made->setObjectName(QString::fromLatin1(name));
    place(made, left, top, width, height);
}

void frmMain::buildLayout()
{
    // One row a control: member, container (none for the window itself), name, then left,
    // top, width and height in twips from the container's top-left corner, and caption.
    // In tab-index order: the focus chain follows the order of creation.
    add(&frmMain::Frame1, nullptr, "Frame1", 120, 120, 2895, 3015, "Communication Settings");
    add(&frmMain::cmbBaud, &frmMain::Frame1, "cmbBaud", 1200, 360, 1335, 315, "Combo1");
    add(&frmMain::Label1, &frmMain::Frame1, "Label1", 120, 360, 975, 255, "Baud Rate:");
    add(&frmMain::Label2, &frmMain::Frame1, "Label2", 120, 840, 975, 255, "Parity:");
    add(&frmMain::cmbPar, &frmMain::Frame1, "cmbPar", 1200, 840, 1335, 315, "Combo1");
    add(&frmMain::cmbBits, &frmMain::Frame1, "cmbBits", 1200, 1320, 1335, 315, "Combo1");
    add(&frmMain::Label3, &frmMain::Frame1, "Label3", 120, 1320, 855, 255, "Data Bits:");
    add(&frmMain::Label4, &frmMain::Frame1, "Label4", 120, 1800, 735, 255, "Port:");
    add(&frmMain::cmbPort, &frmMain::Frame1, "cmbPort", 1200, 1800, 1335, 315, "Combo1");
    add(&frmMain::cmdConnect, &frmMain::Frame1, "cmdConnect", 1200, 2280, 1335, 375, "Connect");
    add(&frmMain::shpPort, &frmMain::Frame1, "shpPort", 240, 2280, 615, 255, "");
    add(&frmMain::lblSettings, &frmMain::Frame1, "lblSettings", 240, 2640, 2295, 255, "");
    add(&frmMain::Frame2, nullptr, "Frame2", 3240, 120, 9135, 2175, "Modify");
    add(&frmMain::Frame3, &frmMain::Frame2, "Frame3", 240, 240, 5655, 1815, "New Comm Settings");
    add(&frmMain::cmbNewBaud, &frmMain::Frame3, "cmbNewBaud", 1320, 360, 1335, 315, "Combo1");
    add(&frmMain::Label5, &frmMain::Frame3, "Label5", 240, 360, 975, 255, "Baud Rate:");
    add(&frmMain::cmbNewPar, &frmMain::Frame3, "cmbNewPar", 1320, 840, 1335, 315, "Combo1");
    add(&frmMain::Label6, &frmMain::Frame3, "Label6", 240, 840, 975, 255, "Parity:");
    add(&frmMain::cmbNewBits, &frmMain::Frame3, "cmbNewBits", 1320, 1320, 1335, 315, "Combo1");
    add(&frmMain::Label7, &frmMain::Frame3, "Label7", 240, 1320, 855, 255, "Data Bits:");
    add(&frmMain::cmdModifyComm, &frmMain::Frame3, "cmdModifyComm", 3360, 1320, 1455, 375,
        "Modify");
    add(&frmMain::cmbSA, &frmMain::Frame3, "cmbSA", 4320, 360, 1095, 315, "Combo1");
    add(&frmMain::Label8, &frmMain::Frame3, "Label8", 3000, 360, 1215, 255, "Slave Address:");
    add(&frmMain::cmbMod, &frmMain::Frame3, "cmbMod", 4320, 840, 1095, 315, "Combo1");
    add(&frmMain::Label9, &frmMain::Frame3, "Label9", 3000, 840, 975, 255, "MODBUS:");
    add(&frmMain::Frame4, &frmMain::Frame2, "Frame4", 6000, 240, 2895, 1815, "Set Display Blocks");
    add(&frmMain::Label10, &frmMain::Frame4, "Label10", 240, 360, 1575, 255, "Block No./Reg. No.");
    add(&frmMain::cmbBlock, &frmMain::Frame4, "cmbBlock", 1920, 360, 735, 315, "Combo1");
    add(&frmMain::Label11, &frmMain::Frame4, "Label11", 240, 720, 1215, 255, "DataType:");
    add(&frmMain::cmbDT, &frmMain::Frame4, "cmbDT", 1440, 720, 1215, 315, "Combo1");
    add(&frmMain::Label12, &frmMain::Frame4, "Label12", 240, 1080, 1095, 255, "Decimal Point:");
    add(&frmMain::cmbDP, &frmMain::Frame4, "cmbDP", 1680, 1080, 975, 315, "Combo1");
    add(&frmMain::cmdGet, &frmMain::Frame4, "cmdGet", 480, 1440, 735, 255, "GET");
    add(&frmMain::cmdSet, &frmMain::Frame4, "cmdSet", 1560, 1440, 735, 255, "SET");
    add(&frmMain::Image1, nullptr, "Image1", 9720, 2280, 2625, 930, "");

    QPalette grey = lblSettings->palette();
    grey.setColor(QPalette::WindowText, QColor(128, 128, 128));
    lblSettings->setPalette(grey);
    Frame2->setEnabled(false);

    Image1->setAutoFillBackground(false);
    Image1->setPixmap(picture(QStringLiteral(":/images/logo.png")));
    Image1->setScaledContents(true);

    // Each label names the list beside it, for screen readers and error messages.
    const std::pair<QLabel *, ComboBox *> names[] = {
        {Label1, cmbBaud},    {Label2, cmbPar},    {Label3, cmbBits},    {Label4, cmbPort},
        {Label5, cmbNewBaud}, {Label6, cmbNewPar}, {Label7, cmbNewBits}, {Label8, cmbSA},
        {Label9, cmbMod},     {Label10, cmbBlock}, {Label11, cmbDT},     {Label12, cmbDP}};
    for (const auto &[caption, combo] : names) {
        caption->setBuddy(combo);
        combo->setAccessibleName(caption->text());
    }

    cmbBaud->setFocus();
}

void frmMain::Form_Load()
{
    auto fill = [](ComboBox *list, const QStringList &entries, int selected) {
        for (const QString &entry : entries)
            list->addItem(entry);
        list->setListIndex(selected);
    };
    fill(cmbBaud, optionlists::baudRates(), 3);
    fill(cmbPar, optionlists::parities(), 0);
    fill(cmbBits, optionlists::dataBits(), 1);
    fill(cmbNewBaud, optionlists::baudRates(), 3);
    fill(cmbNewPar, optionlists::parities(), 0);
    fill(cmbNewBits, optionlists::dataBits(), 1);
    fill(cmbMod, optionlists::modbusModes(), 0);
    fill(cmbDT, optionlists::dataTypes(), 0);
    fill(cmbDP, optionlists::decimalPoints(), 0);
    fill(cmbPort, optionlists::ports(), 0);
    fill(cmbSA, optionlists::addresses(), 0);
    fill(cmbBlock, optionlists::blocks(), 0);

    // Tell the user which device stands behind each port number, and what the system
    // knows of it (maker, model, serial number, stable by-id and by-path names), as it is
    // when the list is opened and again whenever an adapter is plugged in or unplugged.
    cmbPort->setItemToolTips([] {
        QStringList tips;
        for (const PortInfo &info : gatherPortInfo(allPortNumbers())) {
            QString tip = portDeviceDescription(info.port);
            if (const QString details = portInfoDetails(info); !details.isEmpty())
                tip += QLatin1Char('\n') + details;
            tips << tip;
        }
        return tips;
    });
    m_portWatcher = new PortWatcher(this);
    // Only an open list is worked out again at once: an idle window costs nothing.
    connect(m_portWatcher, &PortWatcher::portAdded, cmbPort, &ComboBox::refreshShownToolTips);
    connect(m_portWatcher, &PortWatcher::portRemoved, cmbPort, &ComboBox::refreshShownToolTips);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    // An exchange waiting for its reply must not keep the program alive.
    if (m_wait) {
        m_closing = true;
        tmrTout->setEnabled(false);
        m_wait->quit();
    }
    event->accept();
}

void frmMain::fitFont()
{
    QFont font = this->font();
    while (!captionsThatDoNotFit().isEmpty() && font.pixelSize() > kSmallestPixelSize) {
        font.setPixelSize(font.pixelSize() - 1);
        setFont(font);
    }
}

QStringList frmMain::captionsThatDoNotFit() const
{
    QStringList misfits;
    auto check = [&misfits](const QWidget *box, const QString &text, int room) {
        if (box->fontMetrics().horizontalAdvance(text) > room ||
            box->fontMetrics().height() > box->height())
            misfits << QStringLiteral("%1 \"%2\"").arg(box->objectName(), text);
    };
    for (const QLabel *label : findChildren<QLabel *>()) {
        // The settings label's widest text: the settings strings are all this long.
        if (label != Image1)
            check(label, label == lblSettings ? QStringLiteral("9600,N,8,1") : label->text(),
                  label->width());
    }
    for (const QPushButton *button : findChildren<QPushButton *>()) {
        // A button's caption needs a little room beside its bevel.
        check(button, button == cmdConnect ? QStringLiteral("Reconnect") : button->text(),
              button->width() - 4);
    }
    for (const QGroupBox *box : findChildren<QGroupBox *>())
        check(box, box->title(), box->width() - 16);
    for (const ComboBox *list : findChildren<ComboBox *>()) {
        for (int i = 0; i < list->count(); ++i)
            check(list, list->list(i), list->fieldWidth());
    }
    return misfits;
}

void frmMain::showEvent(QShowEvent *event)
{
    // A tool window of a technician's bench: no taskbar button.
    if (!event->spontaneous())
        keepOffTaskbar(this);
    QWidget::showEvent(event);
}

bool frmMain::refuseMissingSelection(std::initializer_list<ComboBox *> lists)
{
    for (ComboBox *list : lists) {
        if (list->listIndex() < 0) {
            QMessageBox box(QMessageBox::Information, QStringLiteral("Invalid Selection"),
                            chooseFromListText(list), QMessageBox::Ok, this);
            box.exec();
            return true;
        }
    }
    return false;
}

QString frmMain::chooseFromListText(const ComboBox *list, const QString &what) const
{
    QString caption = list->accessibleName();
    if (caption.endsWith(QLatin1Char(':')))
        caption.chop(1);
    return caption + QStringLiteral(": choose %1 from the list.").arg(what);
}
