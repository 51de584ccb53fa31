#include "SharedCanvas.h"

#include "frmcanvas.h"

namespace quillet {

SharedCanvas::SharedCanvas(std::function<void(const QString &)> send, QObject *parent)
    : QObject(parent), send_(std::move(send))
{
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(0);
    connect(&flushTimer_, &QTimer::timeout, this, &SharedCanvas::flush);
}

void SharedCanvas::chatStarted()
{
    unsent_.clear();
    flushTimer_.stop();
    partner_.clear();
    announced_ = false;
}

void SharedCanvas::attach(frmcanvas *canvas)
{
    if (!canvas || canvas == canvas_)
        return;
    canvas_ = canvas;
    canvas->showPartnerDrawing(&partner_);
    connect(canvas, &frmcanvas::segmentDrawn, this, &SharedCanvas::drawn);
    connect(canvas, &frmcanvas::drawingCleared, this, &SharedCanvas::cleared);
}

void SharedCanvas::drawn(int colour, QPoint from, QPoint to)
{
    unsent_.append({colour, QLine(from, to)});
    if (unsent_.size() >= StrokeMessages::MaxSegments)
        flush();
    else if (!flushTimer_.isActive())
        flushTimer_.start();
}

void SharedCanvas::cleared()
{
    flush();
    send_(StrokeMessages::clearMessage());
}

void SharedCanvas::flush()
{
    flushTimer_.stop();
    for (const QString &message : StrokeMessages::drawMessages(std::exchange(unsent_, {})))
        send_(message);
}

void SharedCanvas::received(QStringView name, QStringView body)
{
    const std::optional<StrokeMessages::Strokes> strokes = StrokeMessages::parse(name, body);
    if (!strokes)
        return;
    partner_.apply(*strokes);
    if (!announced_ && !partner_.isBlank() && !(canvas_ && canvas_->isVisible())) {
        announced_ = true;
        emit partnerDrawsUnseen();
    }
}

} // namespace quillet
