#include "ptyrig.h"

#include "windowdriver.h"

#include <QTest>

PtyRig::PtyRig(int port) : peer(port), window(std::make_unique<frmMain>())
{
    window->show();
    list(*window, "cmbPort")->setListIndex(port - 1);
}

QString PtyRig::problem() const
{
    if (!folder.isValid())
        return QStringLiteral("no link folder");
    if (!peer.isValid())
        return peer.errorString();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return QStringLiteral("the window did not show");
    return QString();
}
