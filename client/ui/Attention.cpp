#include "Attention.h"

#include <QApplication>
#include <QEvent>

#include <utility>

namespace quillet {

namespace {
std::function<void(QWidget *)> replacement;
}

void requestAttention(QWidget *window)
{
    if (replacement)
        replacement(window);
    else
        QApplication::alert(window);
}

std::function<void(QWidget *)> installAttentionRequest(std::function<void(QWidget *)> handler)
{
    return std::exchange(replacement, std::move(handler));
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
