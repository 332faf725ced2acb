#include "frmmain.h"
#include "quitsignals.h"

#include <QApplication>
#include <QScreen>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmark"));
    QApplication::setDesktopFileName(QStringLiteral("org.quillmark.quillmark"));
    quitOnTerminationSignals();

    frmMain window;
    if (const QScreen *screen = window.screen())
        window.move(screen->availableGeometry().center() - window.rect().center());
    window.show();
    return app.exec();
}
