#include "messageboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTest>
#include <QTimer>

MessageBoxes::MessageBoxes(QObject *parent) : QObject(parent), m_poll(new QTimer(this))
{
    // A modal box runs its own event loop; timers keep firing inside it, so this is
    // where the box can be found and closed.
    m_poll->setInterval(5);
    connect(m_poll, &QTimer::timeout, this, &MessageBoxes::answer);
    m_poll->start();
}

void MessageBoxes::answer()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible() || box->property("answered").toBool())
        return;
    box->setProperty("answered", true);
    m_seen.append({box->windowTitle(), box->text(), box->icon()});
    // Every box the window shows offers exactly one button, OK.
    QAbstractButton *ok = box->button(QMessageBox::Ok);
    if (!ok || box->buttons().size() != 1) {
        QTest::qFail(qPrintable(QStringLiteral("the box \"%1\" has %2 buttons, not one OK button")
                                    .arg(box->windowTitle())
                                    .arg(box->buttons().size())),
                     __FILE__, __LINE__);
        box->reject();
        return;
    }
    ok->click();
}
