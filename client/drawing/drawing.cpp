#include "drawing.h"

#include <QPainter>

namespace quillet::Drawing {

QRect paintSegment(QPainter &painter, QLine line, const QColor &colour)
{
    const std::optional<QLine> cut = StrokeMessages::clip(line);
    if (!cut)
        return {};
    const QRect area(QPoint(0, 0), StrokeMessages::CanvasSize);
    if (cut->p1() == cut->p2()) {
        painter.setPen(QPen(colour, 1));
        painter.drawPoint(cut->p1());
        return QRect(cut->p1(), QSize(1, 1)).adjusted(-1, -1, 1, 1) & area;
    }
    painter.setPen(QPen(colour, 1, Qt::SolidLine, Qt::SquareCap));
    painter.drawLine(QLineF(*cut));
    return QRect(cut->p1(), cut->p2()).normalized().adjusted(-2, -2, 2, 2) & area;
}

PartnerDrawing::PartnerDrawing(QObject *parent)
    : QObject(parent), image_(StrokeMessages::CanvasSize, QImage::Format_RGB32)
{
    image_.fill(Qt::white);
}

void PartnerDrawing::draw(const QList<StrokeMessages::Segment> &segments)
{
    QRect changedArea;
    {
        QPainter painter(&image_);
        for (const StrokeMessages::Segment &s : segments) {
            if (s.colour >= 0 && s.colour < StrokeMessages::ColourCount)
                changedArea |= paintSegment(painter, s.line, QColor::fromRgb(Palette[s.colour]));
        }
    }
    if (changedArea.isEmpty())
        return;
    blank_ = false;
    emit changed(changedArea);
}

void PartnerDrawing::clear()
{
    image_.fill(Qt::white);
    blank_ = true;
    emit changed(image_.rect());
}

void PartnerDrawing::apply(const StrokeMessages::Strokes &strokes)
{
    if (strokes.clear)
        clear();
    else
        draw(strokes.segments);
}

} // namespace quillet::Drawing
