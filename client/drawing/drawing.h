// The drawings of the canvas, apart from any window: the sixteen-colour palette, painting one
// stroke segment into an image (the own drawing area and the partner's drawing paint alike, pixel
// for pixel), and the partner's drawing, kept by the private chat whether or not a canvas is open.
#pragma once

#include "strokemessages.h"

#include <QImage>
#include <QObject>
#include <QRgb>

#include <array>

class QPainter;

namespace quillet::Drawing {

// By palette index: white, black, light grey, grey, dark red, red, brown, orange, dark green,
// green, olive, yellow, purple, magenta, navy, blue.
inline constexpr std::array<QRgb, StrokeMessages::ColourCount> Palette = {
    qRgb(255, 255, 255), qRgb(0, 0, 0),     qRgb(192, 192, 192), qRgb(128, 128, 128),
    qRgb(128, 0, 0),     qRgb(255, 0, 0),   qRgb(128, 64, 0),    qRgb(255, 128, 0),
    qRgb(0, 128, 0),     qRgb(0, 255, 0),   qRgb(128, 128, 0),   qRgb(255, 255, 0),
    qRgb(128, 0, 128),   qRgb(255, 0, 255), qRgb(0, 0, 128),     qRgb(0, 0, 255),
};

// Paints `line` (cut by StrokeMessages::clip; a dot when its ends coincide) one pixel wide with the
// painter, which draws on an image of the drawing area. Returns the rectangle of the area that it
// may have changed (empty when the line lies wholly outside).
QRect paintSegment(QPainter &painter, QLine line, const QColor &colour);

// The partner's drawing: an image of the drawing area's size, so that it takes the same memory
// whatever the partner sends. changed() tells what part of it was painted.
class PartnerDrawing : public QObject
{
    Q_OBJECT

public:
    explicit PartnerDrawing(QObject *parent = nullptr);

    const QImage &image() const { return image_; }
    // Whether anything has been drawn since the start or the last clear.
    bool isBlank() const { return blank_; }

    // Segments in palette colours (others are skipped), in order.
    void draw(const QList<StrokeMessages::Segment> &segments);
    void clear();
    // Applies a received draw or clear message.
    void apply(const StrokeMessages::Strokes &strokes);

signals:
    void changed(QRect area);

private:
    QImage image_;
    bool blank_ = true;
};

} // namespace quillet::Drawing
