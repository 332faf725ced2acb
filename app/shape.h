#pragma once

#include <QWidget>

// 0x00BBGGRR, red in the lowest byte, as the window's colours are stored.
constexpr quint32 rgb(int red, int green, int blue)
{
    return quint32(red & 0xFF) | quint32(green & 0xFF) << 8 | quint32(blue & 0xFF) << 16;
}

// The indicator's colours: a port being opened, a port open (the display not yet
// understood), the display answered validly, a failure.
namespace indicator {
inline constexpr quint32 kWhite = rgb(255, 255, 255);
inline constexpr quint32 kYellow = rgb(255, 255, 0);
inline constexpr quint32 kGreen = rgb(0, 255, 0);
inline constexpr quint32 kRed = rgb(255, 0, 0);
} // namespace indicator

// The status indicator: a filled rounded rectangle with a thin outline. Until a
// colour is set it shows the system window-background colour.
class Shape : public QWidget
{
    Q_OBJECT

public:
    explicit Shape(QWidget *parent = nullptr);

    quint32 backColor() const;
    void setBackColor(quint32 color);
    bool backColorSet() const { return m_backColorSet; }

signals:
    // Each new colour at once, also those that a later one replaces before any repaint.
    void backColorChanged(quint32 color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor fill() const;

    quint32 m_backColor = 0;
    bool m_backColorSet = false;
};
