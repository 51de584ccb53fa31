// A client logged in as "ann" to a chat server played by the test (which lists ann, bob and carl), with
// the private chat wired in, and the partner's client played by the test: a listener in the request
// range for when the partner asks, and a raw socket for the partner's end of the peer connection.
#pragma once

#include "ClientTestSupport.h"
#include "PrivateChat.h"
#include "SharedCanvas.h"
#include "frmabout1.h"
#include "frmcanvas.h"
#include "frmchat.h"
#include "frmprivatechat.h"
#include "frmreqchat.h"
#include "protocol/peerprotocol.h"

namespace quillet::test {

// Listens on 127.0.0.1 at a free port of the request range (private chats use no other ports).
inline quint16 listenInRange(QTcpServer &server)
{
    const int start = QRandomGenerator::global()->bounded(1001);
    for (int i = 0; i < 1001 && !server.isListening(); ++i)
        server.listen(QHostAddress::LocalHost, quint16(5000 + (start + i) % 1001));
    return server.serverPort();
}

class PrivateChatFixture : public QObject
{
protected:
    FakeMessageBoxes *boxes = nullptr;
    LoopbackServer *server = nullptr;
    frmMain *w = nullptr;
    Services testServices; // handed to the private chat
    std::unique_ptr<FakeNotifications> notices; // its desktop notices
    PrivateChat *pc = nullptr;
    QTcpServer requester;                // the partner's client when it asks for the chat
    std::unique_ptr<QTcpSocket> partner; // the partner's end of the peer connection
    QByteArray fromPartner;               // what reached it

    static frmprivatechat *chat() { return Window<frmprivatechat>::get(); }
    static frmreqchat *requestDialog() { return Window<frmreqchat>::get(); }
    QStringList sent() const { return server->messages(0).mid(1); } // after the login
    QStringList partnerGot() const
    {
        return QString::fromLatin1(fromPartner).split(QChar(0)).mid(0, fromPartner.count('\0'));
    }

    bool start()
    {
        boxes = new FakeMessageBoxes;
        server = new LoopbackServer;
        w = startMainWindow();
        testServices = Services{};
        testServices.boxes = boxes;
        notices = std::make_unique<FakeNotifications>(testServices);
        pc = new PrivateChat(w, testServices);
        w->show();
        connectAsAnn(w, server->port());
        if (!QTest::qWaitFor([&] { return server->messages(0) == QStringList{"ann///pw"}; }))
            return false;
        server->send(0, "<add usr>ann,bob,carl,</add usr>");
        return QTest::qWaitFor([&] { return w->lstusers->count() == 3; }) && listenInRange(requester) != 0;
    }
    void finish()
    {
        partner.reset();
        fromPartner.clear();
        requester.close();
        discardWindows<frmchat, frmreqchat, frmabout1, frmcanvas, frmprivatechat>();
        discardClientWindows();
        notices.reset();
        delete server;
        delete boxes;
    }

    // The partner's end of the peer connection; what it receives collects in fromPartner.
    void takePartner(QTcpSocket *socket)
    {
        partner.reset(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this] { fromPartner += partner->readAll(); });
    }
    void partnerSends(const QStringList &messages) // in one write: several in one read
    {
        QByteArray bytes;
        for (const QString &m : messages)
            bytes += PeerProtocol::frame(m);
        partner->write(bytes);
    }
    void privateChatWith(const QString &name) // select `name`, "&Private Chat"
    {
        w->lstusers->setCurrentItem(w->lstusers->findItems(name, Qt::MatchExactly).value(0));
        w->mnupchat->trigger();
    }
    // "&Private Chat" for `name` and "Request" with `message`: the port the window listens on,
    // once "<busy>" and the request naming that port have gone out (0 if they did not).
    quint16 requestChatWith(const QString &name, const QString &message = "let's talk")
    {
        const qsizetype before = sent().size();
        privateChatWith(name);
        if (frmreqchat *dialog = requestDialog()) {
            dialog->Text1->setText(message);
            dialog->Cmdrequest->click();
        }
        const quint16 port = pc->link()->localPort();
        const QStringList expected{"<busy>", relayed(message, port, name)};
        return QTest::qWaitFor([&] { return sent().mid(before, 2) == expected; }) ? port : 0;
    }
    // The request or chat is over: this user has sent `expected` in all, is free, and no request
    // dialog is left.
    bool endedAndFreed(const QStringList &expected)
    {
        return QTest::qWaitFor([&] { return sent() == expected; }) && !Globals::bPrivateChatActive
                && !requestDialog() && !Window<frmchat>::get();
    }
    // The partner, asked by ann, connects to her window.
    bool partnerConnectsTo(quint16 port)
    {
        takePartner(new QTcpSocket);
        partner->connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor([&] { return pc->link()->state() == PeerLink::State::Connected; });
    }
    // The partner asks ann (through the server) and takes the connection of her private chat window.
    bool relayedFrom(const QString &user, const QString &message = "let's talk")
    {
        server->send(0, relayed(message, requester.serverPort(), user));
        if (!QTest::qWaitFor([&] { return requester.hasPendingConnections(); }))
            return false;
        takePartner(requester.nextPendingConnection());
        return Window<frmchat>::get() != nullptr;
    }
};

} // namespace quillet::test
