// Private chats inside one client: "&Private Chat" and the request dialog (the requesting side),
// the relayed request and the incoming-request dialog (the accepting side), and the private chat
// window. The server is a loopback server played by the test; the partner's client is played by a
// raw socket (one process holds one client).
#include "ClientTestSupport.h"
#include "Globals.h"
#include "frmMain.h"
#include "frmabout1.h"
#include "frmcanvas.h"
#include "frmchat.h"
#include "frmprivatechat.h"
#include "frmreqchat.h"
#include "protocol/peerprotocol.h"

#include <QtWidgets>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;
using State = PeerSocket::SocketState;

namespace {

// Listens on 127.0.0.1 at a free port of the request range (private chats use no other ports).
quint16 listenInRange(QTcpServer &server)
{
    const int start = QRandomGenerator::global()->bounded(1001);
    for (int i = 0; i < 1001 && !server.isListening(); ++i)
        server.listen(QHostAddress::LocalHost, quint16(5000 + (start + i) % 1001));
    return server.serverPort();
}

QString relayed(const QString &message, quint16 port, const QString &user = "bob")
{
    return "<rqst>" + message + "<addr>127.0.0.1<port>" + QString::number(port) + "<user>" + user
            + "</rqst>";
}

// What this user sends the server for n requests: each "<busy>", the request if any, "<free>".
QStringList busyFree(int n, const QString &request = QString())
{
    QStringList sent;
    for (int i = 0; i < n; ++i)
        sent << "<busy>" << request << "<free>";
    sent.removeAll(QString());
    return sent;
}

} // namespace

class PrivateChatTest : public QObject
{
    Q_OBJECT

    FakeMessageBoxes *boxes = nullptr;
    LoopbackServer *server = nullptr;
    frmMain *w = nullptr;
    QTcpServer requester;                // the partner's client when it is the requester
    std::unique_ptr<QTcpSocket> partner; // the partner's end of the peer connection
    QByteArray fromPartner;               // what reached it

    QStringList sent() const { return server->messages(0).mid(1); } // after the login
    QStringList partnerGot() const
    {
        return QString::fromLatin1(fromPartner).split(QChar(0)).mid(0, fromPartner.count('\0'));
    }
    void partnerSends(const QStringList &messages) // all in one write: several in one read
    {
        QByteArray bytes;
        for (const QString &m : messages)
            bytes += PeerProtocol::frame(m);
        partner->write(bytes);
    }
    void takePartner(QTcpSocket *socket)
    {
        partner.reset(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this] { fromPartner += partner->readAll(); });
    }
    bool partnerClosed() const { return partner->state() == QAbstractSocket::UnconnectedState; }
    static frmprivatechat *chat() { return Window<frmprivatechat>::get(); }
    static frmreqchat *requestDialog() { return Window<frmreqchat>::get(); }
    void privateChatWith(const QString &name)
    {
        w->lstusers->setCurrentItem(w->lstusers->findItems(name, Qt::MatchExactly).value(0));
        w->mnupchat->trigger();
    }
    // "&Private Chat" for bob and "Request"; returns the port, once the request is on the wire.
    quint16 requestBob()
    {
        const qsizetype before = sent().size(); // then "<busy>" and the request
        privateChatWith("bob");
        requestDialog()->Text1->setText("let's talk");
        requestDialog()->Cmdrequest->click();
        const quint16 port = chat() ? chat()->Winsock->LocalPort() : 0;
        const bool onTheWire = QTest::qWaitFor([&] { return sent().size() > before + 1; });
        return onTheWire && sent().at(before + 1) == relayed("let's talk", port) ? port : 0;
    }
    // The partner connects to the requesting window's port, and accepts if asked to.
    bool requestTakenByBob(bool accept)
    {
        takePartner(new QTcpSocket);
        partner->connectToHost(QHostAddress::LocalHost, requestBob());
        if (!QTest::qWaitFor([] { return chat()->Winsock->State() == State::Connected; }) || !accept)
            return chat()->Winsock->State() == State::Connected;
        partnerSends({PeerProtocol::acceptReply()});
        return QTest::qWaitFor([] { return chat()->isVisible(); });
    }
    // The request relayed to this client; the partner (the requester) takes the connection.
    bool relayedFromBob(const QString &message = "let's talk", const QString &user = "bob")
    {
        server->send(0, relayed(message, requester.serverPort(), user));
        if (!QTest::qWaitFor([&] { return requester.hasPendingConnections(); }))
            return false;
        takePartner(requester.nextPendingConnection());
        return chat() != nullptr;
    }
    // The request or chat is over: no dialog left, and this user is free.
    bool endedAndFreed(const QStringList &expectedSent)
    {
        return QTest::qWaitFor([&] { return sent() == expectedSent; }) && !Globals::bPrivateChatActive
                && !requestDialog() && !Window<frmchat>::get();
    }

private slots:
    void init()
    {
        boxes = new FakeMessageBoxes;
        server = new LoopbackServer;
        w = startMainWindow();
        connectPrivateChat(w);
        w->show();
        connectAsAnn(w, server->port());
        QTRY_COMPARE(server->messages(0), QStringList{"ann///pw"});
        server->send(0, "<add usr>ann,bob,</add usr>");
        QTRY_COMPARE(w->lstusers->count(), 2);
        QVERIFY(listenInRange(requester));
    }
    void cleanup()
    {
        partner.reset();
        fromPartner.clear();
        requester.close();
        frmprivatechat::AnswerTimeoutMs = 60 * 1000;
        frmreqchat::randomPort = {};
        discardWindows<frmchat, frmreqchat, frmabout1, frmcanvas, frmprivatechat>();
        discardClientWindows();
        delete server;
        delete boxes;
    }

    // --- The requesting side ---

    void privateChatChecksTheSelectionAndTheFlag()
    {
        w->mnupchat->trigger(); // nothing selected
        privateChatWith("ann");
        privateChatWith("bob");
        QVERIFY(requestDialog()->isVisible() && requestDialog()->Label4->text() == "bob");
        w->mnupchat->trigger(); // while the request is on
        QCOMPARE(boxes->shown, (QList<ShownBox>{
                     {"Please Select User from Online user list", "Quillet", BoxIcon::None},
                     {"You are trying ti established a private chat with youself", "Quillet", BoxIcon::None},
                     {"Private chat session already active, close it", "Error", BoxIcon::None}}));
        requestDialog()->Cmdcancel->click(); // Cancel, and the close box, end the request
        privateChatWith("bob");
        requestDialog()->close();
        QVERIFY(endedAndFreed(busyFree(4)));
    }

    void theRequestGoesOutOnlyOnceAPortListens()
    {
        QTcpServer taken;
        const quint16 takenPort = listenInRange(taken);
        frmreqchat::randomPort = [&, first = true]() mutable {
            return std::exchange(first, false) ? takenPort
                                               : 5000 + QRandomGenerator::global()->bounded(1001);
        };
        const quint16 port = requestBob();
        QVERIFY(port >= 5000 && port <= 6000 && port != takenPort);
        QCOMPARE(chat()->Winsock->State(), State::Listening);
        QVERIFY(!chat()->isVisible() && requestDialog() && !requestDialog()->isVisible());
        chat()->close(); // ends the request and unloads the hidden dialog
        QVERIFY(endedAndFreed(busyFree(1, relayed("let's talk", port))));

        frmreqchat::randomPort = [&] { return takenPort; }; // no port to be had
        privateChatWith("bob");
        requestDialog()->Cmdrequest->click();
        QCOMPARE(boxes->shown, (QList<ShownBox>{{frmreqchat::NoPortText, "Error", BoxIcon::Exclamation}}));
        QVERIFY(!chat() && endedAndFreed(busyFree(1, relayed("let's talk", port)) + busyFree(1)));
    }

    void anAcceptanceShowsTheWindowARefusalShowsTheReason()
    {
        QVERIFY(requestTakenByBob(true));
        QVERIFY(boxes->shown.isEmpty() && Globals::bPrivateChatActive && chat()->Label2->text() == "bob");
        chat()->mnuclconnection->trigger();
        QVERIFY(!chat() && endedAndFreed(busyFree(1, sent().value(1))));
        QTRY_VERIFY(partnerClosed());

        QVERIFY(requestTakenByBob(false));
        partnerSends({PeerProtocol::refuseReply("<b>busy</b>")});
        QTRY_COMPARE(boxes->shown, (QList<ShownBox>{{frmprivatechat::RefusedText + "\n<b>busy</b>",
                                                      "Request refused", BoxIcon::Critical}}));
        QVERIFY(!chat() && endedAndFreed(busyFree(1, sent().value(1)) + busyFree(1, sent().value(4))));
        QTRY_VERIFY(partnerClosed());
    }

    void anUnansweredRequestEndsAfterItsTimeout()
    {
        frmprivatechat::AnswerTimeoutMs = 20;
        const quint16 port = requestBob();
        QTRY_COMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, frmprivatechat::UnansweredText);
        QVERIFY(!chat() && endedAndFreed(busyFree(1, sent().value(1))));
        QTcpSocket late; // nobody listens any more
        late.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!late.waitForConnected(5000));
    }

    // --- The accepting side ---

    void anAnswerGivenBeforeTheConnectionIsUpIsSentOnceItIs()
    {
        connect(w, &frmMain::RequestTaken, this, [] {
            frmchat *d = Window<frmchat>::get();
            QVERIFY(d->isVisible() && !chat()->isVisible());
            QVERIFY(d->Label1->text() == "<b>bob</b>" && d->Label1->textFormat() == Qt::PlainText);
            QVERIFY(d->Label4->text() == "<i>hi</i>" && d->Label4->textFormat() == Qt::PlainText);
            QCOMPARE(chat()->Winsock->State(), State::Connecting);
            d->Cmdrequest->click();
        });
        QVERIFY(relayedFromBob("<i>hi</i>", "<b>bob</b>"));
        QTRY_COMPARE(partnerGot(), QStringList{"<chat reply>accept</chat reply>"});
        QVERIFY(chat()->isVisible() && !Window<frmchat>::get() && sent() == QStringList{"<busy>"});
        QVERIFY(chat()->Label2->text() == "<b>bob</b>" && chat()->Label2->textFormat() == Qt::PlainText);
    }

    void refusingClosingOrFailingSendsARefusalAndFrees()
    {
        QVERIFY(relayedFromBob());
        QTRY_COMPARE(chat()->Winsock->State(), State::Connected);
        Window<frmchat>::get()->Text1->setText("busy now");
        Window<frmchat>::get()->Cmdcancel->click();
        QTRY_COMPARE(partnerGot(), QStringList{"<chat reply>refuse</chat reply>busy now"});
        QTRY_VERIFY(partnerClosed());
        QVERIFY(!chat() && endedAndFreed(busyFree(1)));

        fromPartner.clear();
        QVERIFY(relayedFromBob());
        Window<frmchat>::get()->close(); // the close box refuses
        QTRY_COMPARE(partnerGot(), QStringList{"<chat reply>refuse</chat reply>"});
        QVERIFY(endedAndFreed(busyFree(2)) && boxes->shown.isEmpty());

        const quint16 port = requester.serverPort();
        requester.close(); // nothing listens there now: the connection fails
        server->send(0, relayed("hi", port));
        QTRY_COMPARE(boxes->shown.size(), 1);
        QVERIFY(!boxes->shown[0].text.isEmpty() && boxes->shown[0].title == "Quillet");
        QVERIFY(!chat() && endedAndFreed(busyFree(3)));
    }

    // --- The private chat window ---

    void thePartnersKeysShowWithoutTakingTheFocus()
    {
        AttentionRecorder recorder;
        QVERIFY(requestTakenByBob(true));
        QVERIFY(QTest::qWaitForWindowActive(chat()));
        chat()->Txtsend->setFocus(); // the typing side is shown end to end
        partnerSends({"<a>h</a>", "<a>i</a>", "<d>1 </d>", "<a>o</a>", "<a>\n</a>", "<a>x</a>"});
        QTRY_COMPARE(chat()->Txtrecv->toPlainText(), QString("ho\nx"));
        QVERIFY(chat()->Txtsend->hasFocus() && recorder.requests.isEmpty()); // read as it comes
        partnerSends({"<d>1 </d>", "<d>1 </d>", "<d>1 </d>", "<d>1 </d>", "<a>!</a>"});
        QTRY_COMPARE(chat()->Txtrecv->toPlainText(), QString("!"));

        w->activateWindow(); // the user turns to the room: the partner's typing asks for attention
        QVERIFY(QTest::qWaitForWindowActive(w));
        partnerSends({"<a>?</a>"});
        QTRY_COMPARE(recorder.requests, QList<QWidget *>{chat()});
        QCOMPARE(QApplication::activeWindow(), w);
    }

    void aboutHidesTheWindowUntilItCloses()
    {
        QVERIFY(requestTakenByBob(true));
        chat()->mnuabout->trigger();
        QVERIFY(Window<frmabout1>::get()->isVisible() && !chat()->isVisible());
        Window<frmabout1>::get()->cmdOK->click();
        QVERIFY(chat()->isVisible() && !Window<frmabout1>::get() && w->isVisible());
        // The inert items do nothing; Open Canvas opens the canvas.
        for (QAction *item : {chat()->mnuclcanvas, chat()->sendfile, chat()->mnusendpicture})
            item->trigger();
        QVERIFY(chat()->isVisible() && boxes->shown.isEmpty() && !Window<frmcanvas>::get());
        chat()->mnuopcanvas->trigger();
        QVERIFY(Window<frmcanvas>::get() && Window<frmcanvas>::get()->isVisible());
    }
};

QTEST_MAIN(PrivateChatTest)
#include "tst_privatechat.moc"
