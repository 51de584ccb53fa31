#include "drawingview.h"

#include "drawing.h"

#include <QPaintEvent>
#include <QPainter>

namespace quillet::Drawing {

DrawingView::DrawingView(QWidget *parent)
    : QWidget(parent)
{
    setFixedSize(StrokeMessages::CanvasSize);
    setAttribute(Qt::WA_OpaquePaintEvent); // paintEvent covers every damaged pixel
    setAttribute(Qt::WA_StaticContents);
    frameEnd_.setSingleShot(true);
    connect(&frameEnd_, &QTimer::timeout, this, &DrawingView::showChanges);
}

void DrawingView::setDrawing(const PartnerDrawing *drawing)
{
    if (drawing_)
        disconnect(drawing_, nullptr, this, nullptr);
    drawing_ = drawing;
    if (drawing_) {
        connect(drawing_, &PartnerDrawing::changed, this, &DrawingView::drawingChanged);
        connect(drawing_, &QObject::destroyed, this, qOverload<>(&QWidget::update));
    }
    frameEnd_.stop();
    pending_ = {};
    update();
}

void DrawingView::drawingChanged(QRect area)
{
    pending_ |= area;
    if (frameEnd_.isActive())
        return; // shown at the end of this frame
    const qint64 since = sinceShown_.isValid() ? sinceShown_.elapsed() : FrameMs;
    if (since >= FrameMs)
        showChanges();
    else
        frameEnd_.start(int(FrameMs - since));
}

void DrawingView::showChanges()
{
    update(pending_);
    pending_ = {};
    sinceShown_.start();
}

void DrawingView::paintEvent(QPaintEvent *event)
{
    QPainter p(this);
    const QRect damaged = event->rect();
    if (drawing_)
        p.drawImage(damaged, drawing_->image(), damaged);
    else
        p.fillRect(damaged, Qt::white);
}

} // namespace quillet::Drawing
