#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>

class QTimer;

// Answers the real modal message boxes the window opens while this object lives: it
// records each box's title, text and icon, then presses OK, so a handler that shows
// a box returns to the test. A box with any other buttons fails the running test.
class MessageBoxes : public QObject
{
    Q_OBJECT

public:
    struct Seen
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
    };

    explicit MessageBoxes(QObject *parent = nullptr);

    const QList<Seen> &seen() const { return m_seen; }
    int count() const { return int(m_seen.size()); }
    Seen last() const { return m_seen.isEmpty() ? Seen() : m_seen.last(); }

private:
    void answer();

    QTimer *m_poll = nullptr;
    QList<Seen> m_seen;
};
