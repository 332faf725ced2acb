#include "shape.h"

#include <QPainter>

Shape::Shape(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

QColor Shape::fill() const
{
    if (!m_backColorSet)
        return palette().color(QPalette::Base);
    return QColor(int(m_backColor & 0xFF), int(m_backColor >> 8 & 0xFF),
                  int(m_backColor >> 16 & 0xFF));
}

quint32 Shape::backColor() const
{
    const QColor c = fill();
    return rgb(c.red(), c.green(), c.blue());
}

void Shape::setBackColor(quint32 color)
{
    color &= 0x00FFFFFF;
    const bool changed = !m_backColorSet || color != m_backColor;
    m_backColor = color;
    m_backColorSet = true;
    update();
    if (changed)
        emit backColorChanged(color);
}

void Shape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 1));
    painter.setBrush(fill());
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = qMin(box.width(), box.height()) / 4.0;
    painter.drawRoundedRect(box, radius, radius);
}
