#pragma once

#include "combobox.h"
#include "frmmain.h"

#include <QPushButton>
#include <QTest>

// Reaches the window's controls by their names, as a user finds them by their captions.
template <typename T = QWidget> T *control(const frmMain &window, const char *name)
{
    return window.findChild<T *>(QString::fromLatin1(name));
}

inline ComboBox *list(const frmMain &window, const char *name)
{
    return control<ComboBox>(window, name);
}

// Clicks a button with the mouse; returns once its handler has finished.
inline void click(const frmMain &window, const char *name)
{
    QTest::mouseClick(control<QPushButton>(window, name), Qt::LeftButton);
}

// The list positions of several lists at once, for one comparison.
QList<int> positions(const frmMain &window, std::initializer_list<const char *> names);

// The indicator's colour as red, green and blue.
QColor indicatorColour(const frmMain &window);

// Types text into a list's field, leaving the list without a selection.
void typeInto(const frmMain &window, const char *name, const QString &text);
