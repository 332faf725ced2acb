#include "combobox.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionComboBox>

ComboBox::ComboBox(QWidget *parent) : QComboBox(parent)
{
    // QComboBox keeps its old current index while the user types, so the typed state is
    // tracked here. When the field's editing finishes (Return, Tab, a click elsewhere, the
    // window losing focus) QComboBox looks the text up among the entries and reports a
    // match as "activated", exactly as if it had been picked; typed text must stay typed
    // text. Slots connected to the field before and after QComboBox's own run around its
    // lookup, so an activation inside that bracket is known to be no pick.
    setEditable(true);
    auto *field = new QLineEdit(this);
    connect(field, &QLineEdit::editingFinished, this, [this] { m_fieldFinishing = true; });
    connect(field, &QLineEdit::returnPressed, this, [this] { m_fieldFinishing = true; });
    setLineEdit(field); // in place of the one setEditable() made
    connect(field, &QLineEdit::editingFinished, this, [this] { m_fieldFinishing = false; });
    connect(field, &QLineEdit::returnPressed, this, [this] { m_fieldFinishing = false; });
    connect(field, &QLineEdit::textEdited, this, [this] { m_typed = true; });
    // Picking in the popup and moving through the entries with the arrow and Page keys or
    // the wheel: the only ways besides setListIndex() to select an entry.
    connect(this, &QComboBox::activated, this, [this] {
        if (!m_fieldFinishing)
            m_typed = false;
    });

    setCompleter(nullptr);
    setInsertPolicy(QComboBox::NoInsert);
    setMaxVisibleItems(8);
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

int ComboBox::fieldWidth() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    return style()
        ->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this)
        .width();
}

void ComboBox::setItemToolTips(std::function<QStringList()> toolTips)
{
    // Worked out when the list drops down rather than here, so start-up stays quick.
    m_toolTips = std::move(toolTips);
}

void ComboBox::showPopup()
{
    refreshToolTips();
    QComboBox::showPopup();
}

void ComboBox::refreshShownToolTips()
{
    if (view()->isVisible())
        refreshToolTips();
}

void ComboBox::refreshToolTips()
{
    if (!m_toolTips)
        return;
    const QStringList tips = m_toolTips();
    for (int i = 0; i < count() && i < tips.size(); ++i)
        setItemData(i, tips.at(i), Qt::ToolTipRole);
}
