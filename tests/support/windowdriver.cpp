#include "windowdriver.h"

#include "shape.h"

#include <QLineEdit>

QList<int> positions(const frmMain &window, std::initializer_list<const char *> names)
{
    QList<int> result;
    for (const char *name : names)
        result << list(window, name)->listIndex();
    return result;
}

QColor indicatorColour(const frmMain &window)
{
    const quint32 c = control<Shape>(window, "shpPort")->backColor();
    return QColor(int(c & 0xFF), int(c >> 8 & 0xFF), int(c >> 16 & 0xFF));
}

void typeInto(const frmMain &window, const char *name, const QString &text)
{
    QLineEdit *field = list(window, name)->lineEdit();
    field->selectAll();
    QTest::keyClicks(field, text);
}
