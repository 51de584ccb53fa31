// SharedCanvas: the canvas side of a private chat, a member of PrivateChat. It sends what the user
// draws on the canvas to the partner, and keeps what the partner draws (Drawing::PartnerDrawing),
// whether or not the canvas window is open, to show in the window's lower area.
//
// Sending: the dots and segments drawn during one turn of the event loop go out together, in as few
// draw messages as fit (a drag of many mouse moves, or a burst, is not one message per segment);
// "clear" goes out after whatever was drawn before it. Nothing goes out unless `send` takes it:
// PrivateChat sends only to a partner whose hello in this chat named "canvas".
// Receiving: draw and clear messages are painted into the partner's drawing; the first time in a
// chat that the partner's strokes arrive while the canvas is closed, partnerDrawsUnseen() says so.
#pragma once

#include "drawing.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

namespace quillet {

class frmcanvas;

class SharedCanvas : public QObject
{
    Q_OBJECT

public:
    static inline const QString PartnerDrawsText =
        QStringLiteral(" is drawing: Canvas > Open Canvas shows it.");

    // `send` puts one peer message on the way to the partner, or refuses it.
    explicit SharedCanvas(std::function<void(const QString &)> send, QObject *parent = nullptr);


    // A new chat: the partner's drawing starts blank and may be announced again.
    void chatStarted();
    // The canvas window has been opened (or brought to the front): it shows the partner's drawing
    // and its strokes go to the partner.
    void attach(frmcanvas *canvas);
    // A received extension message (others than draw and clear are ignored).
    void received(QStringView name, QStringView body);

signals:
    void partnerDrawsUnseen();

private:
    void drawn(int colour, QPoint from, QPoint to);
    void cleared();
    void flush();

    std::function<void(const QString &)> send_;
    Drawing::PartnerDrawing partner_;
    QPointer<frmcanvas> canvas_;
    QList<StrokeMessages::Segment> unsent_;
    QTimer flushTimer_; // the end of this turn of the event loop
    bool announced_ = false;
};

} // namespace quillet
