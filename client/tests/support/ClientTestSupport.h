// Test support for the client's windows (the fault-injection suites use it too): fakes for the
// seams (message boxes, desktop notices), a chat server played by the test
// on 127.0.0.1, the messages it relays, and helpers around the main window.
#pragma once

#include "DesktopNotice.h"
#include "Globals.h"
#include "MessageBoxes.h"
#include "Services.h"
#include "WindowRegistry.h"
#include "frmAddress.h"
#include "frmMain.h"
#include "frmabout.h"

#include <QtTest>
#include <QtWidgets>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

namespace quillet::test {

struct ShownBox
{
    QString text, title; // the title as shown: an empty one has become "Quillet"
    BoxIcon icon;
    bool operator==(const ShownBox &) const = default;
};

// Records every message box instead of showing it, while it lives.
class FakeMessageBoxes final : public MessageBoxes
{
public:
    FakeMessageBoxes() : previous_(std::exchange(services().boxes, this)) {}
    ~FakeMessageBoxes() override { services().boxes = previous_; }
    void show(QWidget *, const QString &text, const QString &title, BoxIcon icon) override
    {
        shown.append({text, title, icon});
        if (onShow)
            onShow();
    }
    QList<ShownBox> shown;
    std::function<void()> onShow; // runs while the modal box would be open

private:
    MessageBoxes *previous_;
};

// The desktop's notification service, played by the test while it lives (as the notices of `set`):
// the notices up, by number from 1, each as "SUMMARY: BODY".
struct FakeNotifications final : NotificationService
{
    explicit FakeNotifications(Services &set) : set(set), previous(std::exchange(set.notifications, this)) {}
    ~FakeNotifications() override { set.notifications = previous; }
    void notify(const QString &summary, const QString &body, std::function<void(quint32)> done) override
    {
        up.insert(++count, summary + ": " + body);
        done(count);
    }
    void withdraw(quint32 id) override { up.remove(id); }
    QMap<quint32, QString> up;
    quint32 count = 0;
    Services &set;
    NotificationService *previous;
};

// The chat server, played by the test. Connections are numbered from 0 as they are accepted.
class LoopbackServer : public QTcpServer
{
public:
    LoopbackServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                const qsizetype i = sockets_.size();
                sockets_ << socket;
                received_ << socket->readAll();
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket, i] { received_[i] += socket->readAll(); });
            }
        });
        if (!listen(QHostAddress::LocalHost, 0))
            qFatal("LoopbackServer: %s", qPrintable(errorString()));
    }
    ~LoopbackServer() override { qDeleteAll(sockets_); }
    quint16 port() const { return serverPort(); }
    int connectionCount() const { return int(sockets_.size()); }
    QTcpSocket *socket(int connection) const { return sockets_[connection]; }
    QByteArray received(int connection) const { return received_.value(connection); } // 0 bytes too
    QStringList messages(int connection) const // the complete 0-terminated messages
    {
        const QByteArray bytes = received(connection);
        return QString::fromLatin1(bytes).split(QChar(0)).mid(0, bytes.count('\0'));
    }
    bool isOpen(int connection) const
    {
        return sockets_[connection]->state() == QAbstractSocket::ConnectedState;
    }
    void send(int connection, const QString &message) // Latin-1 and a 0 byte
    {
        sockets_[connection]->write(message.toLatin1() + '\0');
    }

private:
    QList<QTcpSocket *> sockets_;
    QList<QByteArray> received_;
};

// Closes the connection with a reset (linger 0: RST instead of FIN).
inline void resetConnection(QTcpSocket *socket)
{
    const linger hard{1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket->abort();
}

// A room message as the server relays it, and a relayed private chat request from `user`
// listening on 127.0.0.1:port.
inline QString room(const QString &text, const QString &style = "N", const QString &name = "ann")
{
    return "<message>" + text + "<style>" + style + "<user>" + name + "</user></message>";
}
inline QString relayed(const QString &message, quint16 port, const QString &user = "bob")
{
    return "<rqst>" + message + "<addr>127.0.0.1<port>" + QString::number(port) + "<user>" + user
            + "</rqst>";
}

// Resets Globals (a fresh program) and loads frmMain, not shown.
inline frmMain *startMainWindow()
{
    Globals::reset();
    return Window<frmMain>::load();
}
// Deletes the listed windows if loaded, and every window already on its way out.
template<class... W>
void discardWindows()
{
    (delete Window<W>::get(), ...);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
inline void discardClientWindows() { discardWindows<frmabout, frmAddress, frmMain>(); }

// Chooses Connect and answers the login dialog with these values and OK, running beforeOK while
// the dialog is up (the main window is active again afterwards if shown); connectAsAnn: as "ann",
// password "pw", to 127.0.0.1:port.
inline void connectThroughDialog(frmMain *main, const QStringList &userPasswordHostPort,
                                 const std::function<void(QWidget *dialog)> &beforeOK = {})
{
    frmAddress *dialog = Window<frmAddress>::load();
    dialog->Text1->setText(userPasswordHostPort.value(0));
    dialog->Text2->setText(userPasswordHostPort.value(1));
    dialog->ComboAddress->setEditText(userPasswordHostPort.value(2));
    dialog->ComboPort->setEditText(userPasswordHostPort.value(3));
    QTimer::singleShot(0, dialog, [dialog, beforeOK] { // once the dialog runs modally inside Connect
        if (beforeOK)
            beforeOK(dialog);
        dialog->cmdOK->click();
    });
    main->mnuFileConnect->trigger();
    if (main->isVisible())
        main->activateWindow(); // the dialog had the focus
}
inline void connectAsAnn(frmMain *main, quint16 port)
{
    connectThroughDialog(main, {"ann", "pw", "127.0.0.1", QString::number(port)});
}

// A text box's lines as stored (a no-break space stays one; an empty last line is left out), and
// the formatted runs of one line, each as its text, a blank and its colour (#rrggbb), then " B" if
// bold and " I" if italic. Lines that wait for the end of the event loop's turn (a queued call on
// the box) go in first, as they would before anything is painted.
inline void takeWaitingLines(const QPlainTextEdit *edit)
{
    QCoreApplication::sendPostedEvents(const_cast<QPlainTextEdit *>(edit), QEvent::MetaCall);
}
inline QStringList shownLines(const QPlainTextEdit *edit)
{
    takeWaitingLines(edit);
    QStringList lines;
    for (QTextBlock b = edit->document()->begin(); b.isValid(); b = b.next())
        lines << b.text();
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}
inline QStringList runsOfLine(const QPlainTextEdit *edit, int line)
{
    takeWaitingLines(edit);
    QStringList runs;
    const QTextBlock block = edit->document()->findBlockByNumber(line);
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextCharFormat f = it.fragment().charFormat();
        runs << it.fragment().text() + ' ' + f.foreground().color().name()
                    + (f.fontWeight() >= QFont::Bold ? " B" : "") + (f.fontItalic() ? " I" : "");
    }
    return runs;
}

} // namespace quillet::test
