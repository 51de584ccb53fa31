#include "AppIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace quillet {

namespace {

// A speech bubble with a quill stroke across it.
QPixmap drawIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size / 32.0;

    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(2 * s, 3 * s, 28 * s, 19 * s), 6 * s, 6 * s);
    QPainterPath tail;
    tail.moveTo(8 * s, 21 * s);
    tail.lineTo(6 * s, 29 * s);
    tail.lineTo(15 * s, 21 * s);
    tail.closeSubpath();
    p.setPen(QPen(QColor(20, 60, 140), 1.5 * s));
    p.setBrush(QColor(70, 130, 220));
    p.drawPath(bubble.united(tail));

    p.setPen(QPen(Qt::white, 2.2 * s, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(9 * s, 17 * s), QPointF(23 * s, 7 * s));
    p.setPen(QPen(Qt::white, 1.2 * s, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(15 * s, 13 * s), QPointF(21 * s, 13.5 * s));
    return pixmap;
}

} // namespace

QIcon programIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64})
        icon.addPixmap(drawIcon(size));
    return icon;
}

} // namespace quillet
