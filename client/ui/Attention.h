// Asking for the user's attention when something arrives for a window that is not active.
//
// AttentionRequest watches one top-level window. Each arrival calls arrived(): when the window is
// not the active one, it asks for attention (QApplication::alert: the taskbar entry is flagged, the
// focus stays where it is) once, and not again for later arrivals until the window has been active
// since. So a burst of room lines or typed characters raises one request, not one per line.
//
// The request itself goes through requestAttention() (services().requestAttention), which tests
// replace to watch it (the offscreen platform shows nothing).
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

namespace quillet {

// Asks for attention for `window`: QApplication::alert(window), or services().requestAttention.
void requestAttention(QWidget *window);

class AttentionRequest : public QObject
{
public:
    // Watches `window` (its top-level window), and is destroyed with it.
    explicit AttentionRequest(QWidget *window);

    // Something arrived for the window.
    void arrived();

    // An attention request is out and the window has not been active since.
    bool pending() const { return pending_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QPointer<QWidget> window_;
    bool pending_ = false;
};

} // namespace quillet
