#include "frmmain.h"

#include "layout.h"

#include "combobox.h"
#include "commcontrol.h"
#include "exchange.h"
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
    m_exchange = std::make_unique<Exchange>(*cm);
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

template <typename W> void frmMain::add(W *frmMain::*member, const char *name)
{
    const LayoutRow &row = layoutRow(name);
    const QString container = QString::fromLatin1(row.container);
    QWidget *parent = container == objectName() ? static_cast<QWidget *>(this)
                                                : findChild<QGroupBox *>(container);
    auto *made = new W(parent);
    this->*member = made;
    setCaption(made, QString::fromLatin1(row.caption));
    made->setObjectName(QString::fromLatin1(row.name));
    place(made, row.left, row.top, row.width, row.height);
}

void frmMain::buildLayout()
{
    // In the order of the layout table: the focus chain follows the order of creation.
    add(&frmMain::Frame1, "Frame1");
    add(&frmMain::cmbBaud, "cmbBaud");
    add(&frmMain::Label1, "Label1");
    add(&frmMain::Label2, "Label2");
    add(&frmMain::cmbPar, "cmbPar");
    add(&frmMain::cmbBits, "cmbBits");
    add(&frmMain::Label3, "Label3");
    add(&frmMain::Label4, "Label4");
    add(&frmMain::cmbPort, "cmbPort");
    add(&frmMain::cmdConnect, "cmdConnect");
    add(&frmMain::shpPort, "shpPort");
    add(&frmMain::lblSettings, "lblSettings");
    add(&frmMain::Frame2, "Frame2");
    add(&frmMain::Frame3, "Frame3");
    add(&frmMain::cmbNewBaud, "cmbNewBaud");
    add(&frmMain::Label5, "Label5");
    add(&frmMain::cmbNewPar, "cmbNewPar");
    add(&frmMain::Label6, "Label6");
    add(&frmMain::cmbNewBits, "cmbNewBits");
    add(&frmMain::Label7, "Label7");
    add(&frmMain::cmdModifyComm, "cmdModifyComm");
    add(&frmMain::cmbSA, "cmbSA");
    add(&frmMain::Label8, "Label8");
    add(&frmMain::cmbMod, "cmbMod");
    add(&frmMain::Label9, "Label9");
    add(&frmMain::Frame4, "Frame4");
    add(&frmMain::Label10, "Label10");
    add(&frmMain::cmbBlock, "cmbBlock");
    add(&frmMain::Label11, "Label11");
    add(&frmMain::cmbDT, "cmbDT");
    add(&frmMain::Label12, "Label12");
    add(&frmMain::cmbDP, "cmbDP");
    add(&frmMain::cmdGet, "cmdGet");
    add(&frmMain::cmdSet, "cmdSet");
    add(&frmMain::Image1, "Image1");

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
