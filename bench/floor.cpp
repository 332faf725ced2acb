// The floor for start-up time and memory: the least that a Qt Widgets program showing
// one window of the tool's size costs on this machine, built with the same compiler,
// flags and Qt as the tool, so that the difference is what the tool itself adds.
//
// With --text the window also shows one line of text. A bare window never starts the
// font machinery (font database, shaping, glyph cache), which any window with a caption
// in it pays for; the second floor tells that share apart from the tool's own.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Quillmark floor"));
    window.setFixedSize(829, 213);
    if (QApplication::arguments().contains(QStringLiteral("--text"))) {
        auto *caption = new QLabel(QStringLiteral("Communication Settings"), &window);
        caption->move(8, 8);
    }
    window.show();
    return app.exec();
}
