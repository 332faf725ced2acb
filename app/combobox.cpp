#include "combobox.h"

#include <QLineEdit>

ComboBox::ComboBox(QWidget *parent) : QComboBox(parent)
{
    setEditable(true);
    setCompleter(nullptr);
    setInsertPolicy(QComboBox::NoInsert);
    setMaxVisibleItems(8);
    // QComboBox keeps its old current index while the user types, so the typed state
    // is tracked here; picking an entry (or Enter on an entry's exact text) ends it.
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] { m_typed = true; });
    connect(this, &QComboBox::activated, this, [this] { m_typed = false; });
}

int ComboBox::listIndex() const
{
    return m_typed ? -1 : currentIndex();
}

void ComboBox::setListIndex(int index)
{
    m_typed = false;
    if (index < -1 || index >= count())
        index = -1;
    setCurrentIndex(index);
    // Re-selecting the current entry does not rewrite text the user typed over it.
    setEditText(itemText(index));
}

QString ComboBox::list(int index) const
{
    return itemText(index);
}

void ComboBox::setItemToolTips(std::function<QString(int)> toolTip)
{
    // Worked out when the list drops down rather than here, so start-up stays quick.
    m_toolTip = std::move(toolTip);
}

void ComboBox::showPopup()
{
    refreshToolTips();
    QComboBox::showPopup();
}

void ComboBox::refreshToolTips()
{
    if (!m_toolTip)
        return;
    for (int i = 0; i < count(); ++i)
        setItemData(i, m_toolTip(i), Qt::ToolTipRole);
}
