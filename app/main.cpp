#include "bytetrace.h"
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

    // --trace FILE records every byte on the line for a support request; the window itself
    // is the same with it.
    const QStringList arguments = QApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString path;
        if (arguments[i] == QLatin1String("--trace"))
            path = i + 1 < arguments.size() ? arguments[++i] : QString();
        else if (arguments[i].startsWith(QLatin1String("--trace=")))
            path = arguments[i].mid(8);
        else
            continue;
        if (path.isEmpty()) {
            QTextStream(stderr) << "quillmark: --trace: no file given\n";
            return 2;
        }
        if (const QString why = bytetrace::start(path); !why.isEmpty()) {
            QTextStream(stderr) << "quillmark: --trace: " << path << " cannot be written: " << why
                                << '\n';
            return 2;
        }
        bytetrace::onStopped([path](const QString &why) {
            QTextStream(stderr) << "quillmark: --trace: " << path
                                << " is incomplete, tracing stopped: " << why << '\n';
        });
    }

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
