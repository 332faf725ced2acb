#include "frmmain.h"

#include "combobox.h"
#include "commcontrol.h"
#include "optionlists.h"
#include "portnames.h"
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
constexpr int kReplyWindowMs = 500;

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
    tmrTout->setInterval(kReplyWindowMs);
    tmrTout->setTimerType(Qt::PreciseTimer);
    connect(tmrTout, &QTimer::timeout, this, &frmMain::tmrTout_Timer);

    cm = new CommControl(this);
    cm->setObjectName(QStringLiteral("cm"));

    connect(cmdConnect, &QPushButton::clicked, this, &frmMain::cmdConnect_Click);
    connect(cmdModifyComm, &QPushButton::clicked, this, &frmMain::cmdModifyComm_Click);
    connect(cmdGet, &QPushButton::clicked, this, &frmMain::cmdGet_Click);
    connect(cmdSet, &QPushButton::clicked, this, &frmMain::cmdSet_Click);

    Form_Load();
}

frmMain::~frmMain() = default;

void frmMain::buildLayout()
{
    // Created in focus order, so the focus chain follows the tab indexes.
    auto frame = [](QWidget *container, const char *name, const char *caption) {
        auto *box = new QGroupBox(QString::fromLatin1(caption), container);
        box->setObjectName(QString::fromLatin1(name));
        return box;
    };
    auto list = [](QWidget *container, const char *name) {
        auto *combo = new ComboBox(container);
        combo->setObjectName(QString::fromLatin1(name));
        combo->setEditText(QStringLiteral("Combo1"));
        return combo;
    };
    auto label = [](QWidget *container, const char *name, const char *caption) {
        auto *text = new QLabel(QString::fromLatin1(caption), container);
        text->setObjectName(QString::fromLatin1(name));
        text->setTextFormat(Qt::PlainText);
        text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        text->setAutoFillBackground(true);
        return text;
    };
    auto button = [](QWidget *container, const char *name, const char *caption) {
        auto *push = new QPushButton(QString::fromLatin1(caption), container);
        push->setObjectName(QString::fromLatin1(name));
        push->setAutoDefault(false);
        push->setDefault(false);
        return push;
    };

    Frame1 = frame(this, "Frame1", "Communication Settings");
    place(Frame1, 120, 120, 2895, 3015);
    cmbBaud = list(Frame1, "cmbBaud");
    place(cmbBaud, 1200, 360, 1335, 315);
    Label1 = label(Frame1, "Label1", "Baud Rate:");
    place(Label1, 120, 360, 975, 255);
    Label2 = label(Frame1, "Label2", "Parity:");
    place(Label2, 120, 840, 975, 255);
    cmbPar = list(Frame1, "cmbPar");
    place(cmbPar, 1200, 840, 1335, 315);
    cmbBits = list(Frame1, "cmbBits");
    place(cmbBits, 1200, 1320, 1335, 315);
    Label3 = label(Frame1, "Label3", "Data Bits:");
    place(Label3, 120, 1320, 855, 255);
    Label4 = label(Frame1, "Label4", "Port:");
    place(Label4, 120, 1800, 735, 255);
    cmbPort = list(Frame1, "cmbPort");
    place(cmbPort, 1200, 1800, 1335, 315);
    cmdConnect = button(Frame1, "cmdConnect", "Connect");
    place(cmdConnect, 1200, 2280, 1335, 375);
    shpPort = new Shape(Frame1);
    shpPort->setObjectName(QStringLiteral("shpPort"));
    place(shpPort, 240, 2280, 615, 255);
    lblSettings = label(Frame1, "lblSettings", "");
    place(lblSettings, 240, 2640, 2295, 255);
    QPalette grey = lblSettings->palette();
    grey.setColor(QPalette::WindowText, QColor(128, 128, 128));
    lblSettings->setPalette(grey);

    Frame2 = frame(this, "Frame2", "Modify");
    place(Frame2, 3240, 120, 9135, 2175);
    Frame3 = frame(Frame2, "Frame3", "New Comm Settings");
    place(Frame3, 240, 240, 5655, 1815);
    cmbNewBaud = list(Frame3, "cmbNewBaud");
    place(cmbNewBaud, 1320, 360, 1335, 315);
    Label5 = label(Frame3, "Label5", "Baud Rate:");
    place(Label5, 240, 360, 975, 255);
    cmbNewPar = list(Frame3, "cmbNewPar");
    place(cmbNewPar, 1320, 840, 1335, 315);
    Label6 = label(Frame3, "Label6", "Parity:");
    place(Label6, 240, 840, 975, 255);
    cmbNewBits = list(Frame3, "cmbNewBits");
    place(cmbNewBits, 1320, 1320, 1335, 315);
    Label7 = label(Frame3, "Label7", "Data Bits:");
    place(Label7, 240, 1320, 855, 255);
    cmdModifyComm = button(Frame3, "cmdModifyComm", "Modify");
    place(cmdModifyComm, 3360, 1320, 1455, 375);
    cmbSA = list(Frame3, "cmbSA");
    place(cmbSA, 4320, 360, 1095, 315);
    Label8 = label(Frame3, "Label8", "Slave Address:");
    place(Label8, 3000, 360, 1215, 255);
    cmbMod = list(Frame3, "cmbMod");
    place(cmbMod, 4320, 840, 1095, 315);
    Label9 = label(Frame3, "Label9", "MODBUS:");
    place(Label9, 3000, 840, 975, 255);

    Frame4 = frame(Frame2, "Frame4", "Set Display Blocks");
    place(Frame4, 6000, 240, 2895, 1815);
    Label10 = label(Frame4, "Label10", "Block No./Reg. No.");
    place(Label10, 240, 360, 1575, 255);
    cmbBlock = list(Frame4, "cmbBlock");
    place(cmbBlock, 1920, 360, 735, 315);
    Label11 = label(Frame4, "Label11", "DataType:");
    place(Label11, 240, 720, 1215, 255);
    cmbDT = list(Frame4, "cmbDT");
    place(cmbDT, 1440, 720, 1215, 315);
    Label12 = label(Frame4, "Label12", "Decimal Point:");
    place(Label12, 240, 1080, 1095, 255);
    cmbDP = list(Frame4, "cmbDP");
    place(cmbDP, 1680, 1080, 975, 315);
    cmdGet = button(Frame4, "cmdGet", "GET");
    place(cmdGet, 480, 1440, 735, 255);
    cmdSet = button(Frame4, "cmdSet", "SET");
    place(cmdSet, 1560, 1440, 735, 255);
    Frame2->setEnabled(false);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(picture(QStringLiteral(":/images/logo.png")));
    Image1->setScaledContents(true);
    place(Image1, 9720, 2280, 2625, 930);

    // Each label names the list beside it, for screen readers and error messages.
    const std::pair<QLabel *, ComboBox *> names[] = {
        {Label1, cmbBaud},    {Label2, cmbPar},    {Label3, cmbBits},    {Label4, cmbPort},
        {Label5, cmbNewBaud}, {Label6, cmbNewPar}, {Label7, cmbNewBits}, {Label8, cmbSA},
        {Label9, cmbMod},     {Label10, cmbBlock}, {Label11, cmbDT},     {Label12, cmbDP}};
    for (const auto &[caption, combo] : names) {
        caption->setBuddy(combo);
        combo->setAccessibleName(caption->text());
    }

    QWidget *const focusOrder[] = {
        cmbBaud,       cmbPar, cmbBits, cmbPort,  cmdConnect, cmbNewBaud, cmbNewPar, cmbNewBits,
        cmdModifyComm, cmbSA,  cmbMod,  cmbBlock, cmbDT,      cmbDP,      cmdGet,    cmdSet};
    for (std::size_t i = 1; i < std::size(focusOrder); ++i)
        setTabOrder(focusOrder[i - 1], focusOrder[i]);
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

    // Tell the user which device stands behind each port number, as it is when the
    // list is opened.
    cmbPort->setItemToolTips([](int index) { return portDeviceDescription(index + 1); });
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

QString frmMain::chooseFromListText(const ComboBox *list) const
{
    QString caption = list->accessibleName();
    if (caption.endsWith(QLatin1Char(':')))
        caption.chop(1);
    return caption + QStringLiteral(": choose a value from the list.");
}
