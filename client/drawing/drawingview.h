// A view of the partner's drawing (the canvas's lower area). It repaints at most once a frame
// however fast the drawing changes, so that a flood of strokes leaves typing and the window
// responsive: the first change after a quiet frame is shown at once, later ones wait for the
// frame's end and are shown together.
#pragma once

#include "drawing.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

namespace quillet::Drawing {

class DrawingView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int FrameMs = 16;

    explicit DrawingView(QWidget *parent = nullptr);

    // Shows that drawing (white without one). The view does not own it; a drawing deleted while
    // shown leaves the view white.
    void setDrawing(const PartnerDrawing *drawing);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void drawingChanged(QRect area);
    void showChanges();

    QPointer<const PartnerDrawing> drawing_;
    QRect pending_;       // changed since the last repaint was asked for
    QElapsedTimer sinceShown_;
    QTimer frameEnd_;
};

} // namespace quillet::Drawing
