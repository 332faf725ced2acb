#pragma once

#include <QComboBox>

#include <functional>

// An editable drop-down list that is handled by the position of its selected entry.
// Text typed into the field is not a selection, whatever it says and wherever the focus
// goes afterwards: the list reads -1 until an entry is picked or set.
class ComboBox : public QComboBox
{
    Q_OBJECT

public:
    explicit ComboBox(QWidget *parent = nullptr);

    int listIndex() const;
    void setListIndex(int index);
    QString list(int index) const;
    // The width of the text field, as the style lays it out in the current geometry.
    int fieldWidth() const;

    // Tool tips for the entries, one per entry in order, worked out afresh each time the
    // list drops down.
    void setItemToolTips(std::function<QStringList()> toolTips);
    // Works them out again while the list is down (they are worked out afresh anyway the
    // next time it drops down), for tips that depend on something that just changed.
    void refreshShownToolTips();
    void showPopup() override;

private:
    void refreshToolTips();

    bool m_typed = false;
    bool m_fieldFinishing = false; // inside the field's editingFinished or returnPressed
    std::function<QStringList()> m_toolTips;
};
