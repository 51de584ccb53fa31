// Desktop notices for private chat requests.
//
// A request that comes in while no window of the program is active is easy to miss. RequestNotice
// then shows a notice through the desktop's notification service: "Private chat request from
// NAME", the request's message as plain text, and a click (its default action) that brings the
// request's window to the front. One notice per request, taken back when the request is answered
// or a new one comes. Where no notification service runs the window asks for attention instead
// (the taskbar entry is flagged). While a window of the program is active there
// is no notice: the request's window shows up in front of the user anyway.
//
// The service is the freedesktop notification service on the session bus
// (org.freedesktop.Notifications, over QtDBus) unless the Services set names another (tests put a
// fake there); the attention request is the set's too.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

namespace quillet {

class NotificationService : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Asks for a notice with a default action; `shown` gets its id once the service answered (at
    // once or later), 0 when no notice could be shown (no service). Both texts are plain text.
    virtual void notify(const QString &summary, const QString &body,
                        std::function<void(quint32 id)> shown) = 0;
    // Takes the notice back, if it is still up.
    virtual void withdraw(quint32 id) = 0;

signals:
    void activated(quint32 id); // the user clicked the notice
    void closed(quint32 id);    // the notice is gone (dismissed, expired or taken back)
};

// The notification service on the session bus (made on first use).
NotificationService *sessionBusNotifications();

struct Services;

class RequestNotice : public QObject
{
    Q_OBJECT

public:
    explicit RequestNotice(Services &services, QObject *parent = nullptr);
    ~RequestNotice() override;

    static QString summary(const QString &user); // "Private chat request from USER"

    // A request from `user` came in, answered in `window`: the notice, unless a window of the
    // program is active; the attention request when there is no notification service.
    void requestArrived(const QString &user, const QString &message, QWidget *window);
    // The request was answered or dropped: its notice, if any, is taken back.
    void requestEnded();

private:
    void onActivated(quint32 id);

    Services &services_;
    QPointer<QWidget> window_;
    QPointer<NotificationService> service_; // the one the notice went through
    quint32 id_ = 0;     // the notice up, or 0
    quint64 serial_ = 0; // the request the answer of the service is for
};

} // namespace quillet
