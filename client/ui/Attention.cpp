#include "Attention.h"

#include "Services.h"

#include <QApplication>
#include <QEvent>

#include <utility>

namespace quillet {

void requestAttention(QWidget *window)
{
    if (services().requestAttention)
        services().requestAttention(window);
    else
        QApplication::alert(window);
}

AttentionRequest::AttentionRequest(QWidget *window)
    : QObject(window), window_(window->window())
{
    window_->installEventFilter(this);
}

void AttentionRequest::arrived()
{
    if (!window_ || window_->isActiveWindow()) {
        pending_ = false; // the user is looking at it
        return;
    }
    if (pending_)
        return;
    pending_ = true;
    requestAttention(window_);
}

bool AttentionRequest::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window_ && event->type() == QEvent::WindowActivate)
        pending_ = false;
    return QObject::eventFilter(watched, event);
}

} // namespace quillet
