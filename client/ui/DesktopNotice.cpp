#include "DesktopNotice.h"

#include "Controls.h"
#include "Services.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <optional>
#include <utility>

namespace quillet {

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");
const QString DefaultAction = QStringLiteral("default");
constexpr int CallTimeoutMs = 5000;
constexpr qsizetype MaxBodyLength = 300; // a request's message may be long: the notice shows the start

// The freedesktop notification service on the session bus. Every call is asynchronous: a missing
// service (or bus) only shows as an error answer, and the window then asks for attention instead.
class DBusNotifications final : public NotificationService
{
    Q_OBJECT

public:
    DBusNotifications()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            return;
        bus.connect(Service, Path, Interface, QStringLiteral("ActionInvoked"), this,
                    SLOT(onActionInvoked(uint,QString)));
        bus.connect(Service, Path, Interface, QStringLiteral("NotificationClosed"), this,
                    SLOT(onNotificationClosed(uint,uint)));
    }

    void notify(const QString &summary, const QString &body,
                std::function<void(quint32)> shown) override
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            shown(0);
            return;
        }
        if (markup_) {
            send(bus, summary, body, std::move(shown));
            return;
        }
        // A service that reads markup in the body gets the text escaped, so that it shows as typed.
        const auto call = QDBusMessage::createMethodCall(Service, Path, Interface,
                                                         QStringLiteral("GetCapabilities"));
        watch(bus.asyncCall(call, CallTimeoutMs), [=, this](const QDBusMessage &reply) mutable {
            const bool answered = reply.type() == QDBusMessage::ReplyMessage;
            if (!answered) {
                shown(0);
                return;
            }
            markup_ = reply.arguments().value(0).toStringList().contains(QStringLiteral("body-markup"));
            send(QDBusConnection::sessionBus(), summary, body, std::move(shown));
        });
    }

    void withdraw(quint32 id) override
    {
        auto call = QDBusMessage::createMethodCall(Service, Path, Interface,
                                                   QStringLiteral("CloseNotification"));
        call << uint(id);
        QDBusConnection::sessionBus().asyncCall(call, CallTimeoutMs);
    }

private slots:
    void onActionInvoked(uint id, const QString &action)
    {
        if (action == DefaultAction)
            emit activated(id);
    }
    void onNotificationClosed(uint id, uint /*reason*/) { emit closed(id); }

private:
    void send(QDBusConnection bus, const QString &summary, QString body,
              std::function<void(quint32)> shown)
    {
        if (body.size() > MaxBodyLength)
            body = body.left(MaxBodyLength) + QChar(0x2026);
        if (*markup_)
            body = body.toHtmlEscaped();
        auto call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
        const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("quillet")},
                                {QStringLiteral("category"), QStringLiteral("im.received")}};
        call << QStringLiteral("Quillet") << uint(0) << QStringLiteral("quillet") << summary << body
             << QStringList{DefaultAction, QStringLiteral("Open")} << hints << int(-1);
        watch(bus.asyncCall(call, CallTimeoutMs), [shown = std::move(shown)](const QDBusMessage &reply) {
            const bool answered = reply.type() == QDBusMessage::ReplyMessage;
            shown(answered ? quint32(reply.arguments().value(0).toUInt()) : 0);
        });
    }

    void watch(const QDBusPendingCall &call, std::function<void(const QDBusMessage &)> done)
    {
        auto *watcher = new QDBusPendingCallWatcher(call, this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [done = std::move(done)](QDBusPendingCallWatcher *w) {
                    w->deleteLater();
                    done(w->reply());
                });
    }

    std::optional<bool> markup_; // the service shows the body as markup; unknown until asked
};

} // namespace

NotificationService *sessionBusNotifications()
{
    static QPointer<NotificationService> bus;
    if (!bus) {
        bus = new DBusNotifications;
        bus->setParent(qApp);
    }
    return bus;
}

RequestNotice::RequestNotice(Services &services, QObject *parent)
    : QObject(parent), services_(services)
{
}

RequestNotice::~RequestNotice()
{
    requestEnded();
}

QString RequestNotice::summary(const QString &user)
{
    return QStringLiteral("Private chat request from %1").arg(oneLine(user));
}

void RequestNotice::requestArrived(const QString &user, const QString &message, QWidget *window)
{
    requestEnded();
    window_ = window;
    if (QApplication::activeWindow())
        return; // the user is at the program: the request's window comes up in front of them
    NotificationService *service =
        services_.notifications ? services_.notifications : sessionBusNotifications();
    if (service != service_) {
        if (service_)
            disconnect(service_, nullptr, this, nullptr);
        service_ = service;
        connect(service, &NotificationService::activated, this, &RequestNotice::onActivated);
        connect(service, &NotificationService::closed, this, [this](quint32 id) {
            if (id == id_)
                id_ = 0;
        });
    }
    const quint64 serial = serial_;
    service->notify(summary(user), message,
                    [self = QPointer(this), service = QPointer(service), serial](quint32 id) {
        if (!self || serial != self->serial_) { // answered, or another request came, meanwhile
            if (id && service)
                service->withdraw(id);
            return;
        }
        if (id)
            self->id_ = id;
        else if (self->window_ && self->services_.requestAttention)
            self->services_.requestAttention(self->window_);
        else if (self->window_)
            QApplication::alert(self->window_);
    });
}

void RequestNotice::requestEnded()
{
    ++serial_;
    if (id_ && service_)
        service_->withdraw(id_);
    id_ = 0;
}

void RequestNotice::onActivated(quint32 id)
{
    if (id == 0 || id != id_ || !window_)
        return;
    QWidget *w = window_;
    w->show();
    w->setWindowState((w->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    w->raise();
    w->activateWindow();
}

} // namespace quillet

#include "DesktopNotice.moc"
