#include "frmmain.h"
#include "quitsignals.h"

#include <QApplication>
#include <QFontInfo>
#include <QScreen>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmark"));
    QApplication::setDesktopFileName(QStringLiteral("org.quillmark.quillmark"));
    quitOnTerminationSignals();

    frmMain window;
    // For the package check: the font the window settled on and what does not fit in it.
    if (qEnvironmentVariableIsSet("QUILLMARK_FIT_REPORT")) {
        const QFontInfo font(window.font());
        QTextStream out(stdout);
        out << "font: " << font.family() << ' ' << font.pixelSize() << "px\n";
        const QStringList misfits = window.captionsThatDoNotFit();
        for (const QString &misfit : misfits)
            out << "does not fit: " << misfit << '\n';
        return misfits.isEmpty() ? 0 : 1;
    }
    if (const QScreen *screen = window.screen())
        window.move(screen->availableGeometry().center() - window.rect().center());
    window.show();
    return app.exec();
}
