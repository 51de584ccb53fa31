// A client logged in as "ann" to a chat server played by the test (which lists ann and bob), with
// the private chat wired in, and the partner's client played by the test: a listener in the request
// range for when the partner asks, and a raw socket for the partner's end of the peer connection.
#pragma once

#include "ClientTestSupport.h"
#include "Globals.h"
#include "frmMain.h"
#include "frmcanvas.h"
#include "frmchat.h"
#include "frmprivatechat.h"
#include "frmreqchat.h"
#include "protocol/peerprotocol.h"

#include <QtTest>
#include <QtWidgets>

#include <sys/socket.h>

namespace quillet::test {

// The sockets the process holds open: listeners and connections. (Other descriptors come and go
// with Qt's own worker threads, which the painting starts and ends when it likes.)
inline int openSocketCount()
{
    int count = 0;
    for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::System))
        count += fd.symLinkTarget().contains("socket:[");
    return count;
}

class PrivateChatFixture : public QObject
{
protected:
    FakeMessageBoxes *boxes = nullptr;
    LoopbackServer *server = nullptr;
    frmMain *w = nullptr;
    QTcpServer requester;                // the partner's client when it asks for the chat
    std::unique_ptr<QTcpSocket> partner; // the partner's end of the peer connection

    static frmprivatechat *chat() { return Window<frmprivatechat>::get(); }
    QStringList sent() const { return server->messages(0).mid(1); } // after the login

    bool start()
    {
        boxes = new FakeMessageBoxes;
        server = new LoopbackServer;
        w = startMainWindow();
        connectPrivateChat(w);
        w->show();
        connectAsAnn(w, server->port());
        if (!QTest::qWaitFor([&] { return server->messages(0) == QStringList{"ann///pw"}; }))
            return false;
        server->send(0, "<add usr>ann,bob,</add usr>");
        // Requests name ports 5000..6000 only.
        const int first = QRandomGenerator::global()->bounded(1001);
        for (int i = 0; i < 1001 && !requester.isListening(); ++i)
            requester.listen(QHostAddress::LocalHost, quint16(5000 + (first + i) % 1001));
        return QTest::qWaitFor([&] { return w->lstusers->count() == 2; }) && requester.isListening();
    }
    void finish()
    {
        partner.reset();
        requester.close();
        discardWindows<frmchat, frmreqchat, frmcanvas, frmprivatechat>();
        discardClientWindows();
        delete server;
        delete boxes;
    }

    void partnerSends(const QStringList &messages) // in one write
    {
        QByteArray bytes;
        for (const QString &m : messages)
            bytes += PeerProtocol::frame(m);
        partner->write(bytes);
    }
    void partnerResets() // linger 0: the close sends RST instead of FIN
    {
        const linger hard{1, 0};
        ::setsockopt(int(partner->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        partner->abort();
    }
    // "&Private Chat" for `name` and "Request": the port the window listens on, once the request
    // has gone out (0 if it did not).
    quint16 requestChatWith(const QString &name)
    {
        const qsizetype before = sent().size();
        w->lstusers->setCurrentItem(w->lstusers->findItems(name, Qt::MatchExactly).value(0));
        w->mnupchat->trigger();
        if (frmreqchat *dialog = Window<frmreqchat>::get())
            dialog->Cmdrequest->click();
        const quint16 port = chat() ? chat()->Winsock->LocalPort() : 0;
        return QTest::qWaitFor([&] { return sent().size() == before + 2; }) ? port : 0;
    }
    // The partner, asked by ann, connects to her window.
    bool partnerConnectsTo(quint16 port)
    {
        partner = std::make_unique<QTcpSocket>();
        partner->connectToHost(QHostAddress::LocalHost, port);
        return QTest::qWaitFor([] { return chat()->Winsock->State() == PeerSocket::SocketState::Connected; });
    }
    // The partner asks ann (through the server) and takes her window's connection.
    bool relayedFrom(const QString &user, const QString &message = "let's talk")
    {
        server->send(0, "<rqst>" + message + "<addr>127.0.0.1<port>" + QString::number(requester.serverPort())
                                + "<user>" + user + "</rqst>");
        if (!QTest::qWaitFor([&] { return requester.hasPendingConnections(); }))
            return false;
        partner.reset(requester.nextPendingConnection());
        return chat() && Window<frmchat>::get();
    }
};

} // namespace quillet::test
