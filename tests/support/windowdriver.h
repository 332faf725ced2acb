#pragma once

#include "combobox.h"
#include "frmmain.h"

#include <QColor>
#include <QPushButton>
#include <QTest>

#include <initializer_list>

// The indicator's colours.
inline const QColor kGreen(0, 255, 0);
inline const QColor kYellow(255, 255, 0);
inline const QColor kRed(255, 0, 0);

// The display-side lists in the order the "$M" reply fills them, and the block lists.
inline const std::initializer_list<const char *> kCommsLists = {"cmbMod", "cmbNewBaud",
                                                                "cmbNewBits", "cmbNewPar", "cmbSA"};
inline const std::initializer_list<const char *> kBlockLists = {"cmbBlock", "cmbDT", "cmbDP"};

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
