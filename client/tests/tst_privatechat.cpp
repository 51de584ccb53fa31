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

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

namespace {

// The partner's client: a raw connection that speaks the framed peer protocol.
struct Partner
{
    QTcpSocket *socket;
    QByteArray received;
    bool open = true;
    explicit Partner(QTcpSocket *s) : socket(s)
    {
        QObject::connect(s, &QTcpSocket::readyRead, s, [this] { received += socket->readAll(); });
        QObject::connect(s, &QTcpSocket::disconnected, s, [this] { open = false; });
        received += s->readAll();
    }
    ~Partner() { delete socket; }
    void send(const QStringList &messages)
    {
        QByteArray bytes; // all in one write: several messages in one read
        for (const QString &m : messages)
            bytes += PeerProtocol::frame(m);
        socket->write(bytes);
    }
    QStringList messages() const
    {
        QStringList list = QString::fromLatin1(received).split(QChar(0));
        list.removeLast();
        return list;
    }
};

// Listens on 127.0.0.1 at a free port of the request range (private chats use no other ports).
quint16 listenInRange(QTcpServer &server)
{
    const int start = QRandomGenerator::global()->bounded(1001);
    for (int i = 0; i < 1001; ++i) {
        if (server.listen(QHostAddress::LocalHost, quint16(5000 + (start + i) % 1001)))
            return server.serverPort();
    }
    return 0;
}

QString relayed(const QString &message, const QString &port, const QString &user = "bob")
{
    return "<rqst>" + message + "<addr>127.0.0.1<port>" + port + "<user>" + user + "</rqst>";
}

} // namespace

class PrivateChatTest : public QObject
{
    Q_OBJECT

    FakeMessageBoxes *boxes = nullptr;
    LoopbackServer *server = nullptr;
    frmMain *w = nullptr;
    QTcpServer requester; // the partner's client when it is the requester
    std::unique_ptr<Partner> partner;

    QStringList sent() const { return server->messages(0).mid(1); } // after the login
    static frmprivatechat *chat() { return Window<frmprivatechat>::get(); }
    void select(const QString &name)
    {
        const auto found = w->lstusers->findItems(name, Qt::MatchExactly);
        w->lstusers->setCurrentItem(found.value(0));
    }
    // "&Private Chat" for bob and "Request"; returns the port, once the request is on the wire.
    quint16 requestBob(const QString &message = "let's talk")
    {
        const qsizetype before = sent().size(); // then "<busy>" and the request
        select("bob");
        w->mnupchat->trigger();
        if (!Window<frmreqchat>::get())
            return 0;
        Window<frmreqchat>::get()->Text1->setText(message);
        Window<frmreqchat>::get()->Cmdrequest->click();
        const quint16 port = chat() ? chat()->Winsock->LocalPort() : 0;
        const bool onTheWire = QTest::qWaitFor([&] { return sent().size() > before + 1; });
        return onTheWire && port >= 5000 && port <= 6000
                && sent().at(before + 1) == relayed(message, QString::number(port)) ? port : 0;
    }
    // The partner connects to the requesting window's port (and accepts).
    bool connectedRequest()
    {
        auto *socket = new QTcpSocket;
        socket->connectToHost(QHostAddress::LocalHost, requestBob());
        partner = std::make_unique<Partner>(socket);
        return QTest::qWaitFor([] { return chat()->Winsock->State() == PeerSocket::SocketState::Connected; });
    }
    bool acceptedChat()
    {
        if (!connectedRequest())
            return false;
        partner->send({PeerProtocol::acceptReply()});
        return QTest::qWaitFor([] { return chat()->isVisible(); });
    }
    // The request relayed to this client; the partner (the requester) takes the connection.
    bool relayedFromBob(const QString &message = "let's talk", const QString &user = "bob")
    {
        server->send(0, relayed(message, QString::number(requester.serverPort()), user));
        if (!QTest::qWaitFor([&] { return requester.hasPendingConnections(); }))
            return false;
        partner = std::make_unique<Partner>(requester.nextPendingConnection());
        return chat() != nullptr;
    }
    bool endedAndFreed(const QStringList &expectedSent)
    {
        return QTest::qWaitFor([&] { return sent() == expectedSent; }) && !Globals::bPrivateChatActive;
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
        select("ann");
        w->mnupchat->trigger();
        QCOMPARE(boxes->shown.size(), 2);
        QCOMPARE(boxes->shown[0].text, QString("Please Select User from Online user list"));
        QCOMPARE(boxes->shown[1].text, QString("You are trying ti established a private chat with youself"));
        QVERIFY(boxes->shown[1].title == "Quillet" && boxes->shown[1].icon == BoxIcon::None);
        QVERIFY(endedAndFreed({"<busy>", "<free>", "<busy>", "<free>"}));

        select("bob");
        w->mnupchat->trigger();
        QVERIFY(Window<frmreqchat>::get()->isVisible());
        QCOMPARE(Window<frmreqchat>::get()->windowTitle(), QString(" Chat Request"));
        QCOMPARE(Window<frmreqchat>::get()->Label4->text(), QString("bob"));
        w->mnupchat->trigger();
        QCOMPARE(boxes->shown.size(), 3);
        QVERIFY(boxes->shown[2].text == "Private chat session already active, close it"
                && boxes->shown[2].title == "Error" && boxes->shown[2].icon == BoxIcon::None);

        // Cancel, and the close box, end the request.
        Window<frmreqchat>::get()->Cmdcancel->click();
        w->mnupchat->trigger();
        Window<frmreqchat>::get()->close();
        QVERIFY(!Window<frmreqchat>::get());
        QVERIFY(endedAndFreed({"<busy>", "<free>", "<busy>", "<free>", "<busy>", "<free>", "<busy>", "<free>"}));
        QCOMPARE(boxes->shown.size(), 3);
    }

    void theRequestGoesOutOnlyOnceAPortListens()
    {
        QTcpServer taken;
        const quint16 takenPort = listenInRange(taken);
        frmreqchat::randomPort = [&, first = true]() mutable {
            return std::exchange(first, false) ? takenPort : 5000 + QRandomGenerator::global()->bounded(1001);
        };
        const quint16 port = requestBob();
        QVERIFY(port >= 5000 && port <= 6000 && port != takenPort);
        QCOMPARE(chat()->Winsock->State(), PeerSocket::SocketState::Listening);
        QCOMPARE(chat()->Winsock->LocalPort(), port);
        QVERIFY(!chat()->isVisible() && Window<frmreqchat>::get() && !Window<frmreqchat>::get()->isVisible());
        QCOMPARE(sent().constFirst(), QString("<busy>"));
        chat()->close(); // ends the request and unloads the hidden dialog
        QVERIFY(!Window<frmreqchat>::get());

        // No port to be had: the request never goes out.
        frmreqchat::randomPort = [&] { return takenPort; };
        select("bob");
        w->mnupchat->trigger();
        Window<frmreqchat>::get()->Cmdrequest->click();
        QCOMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, frmreqchat::NoPortText);
        QVERIFY(!chat() && !Window<frmreqchat>::get());
        QVERIFY(endedAndFreed({"<busy>", sent().value(1), "<free>", "<busy>", "<free>"}));
    }

    void anAcceptanceShowsTheWindowARefusalShowsTheReason()
    {
        QVERIFY(acceptedChat());
        QCOMPARE(chat()->windowTitle(), QString("Private Chat"));
        QCOMPARE(chat()->Label2->text(), QString("bob"));
        QCOMPARE(chat()->Label1->text(), QString("ann"));
        QVERIFY(boxes->shown.isEmpty() && Globals::bPrivateChatActive);
        chat()->mnuclconnection->trigger();
        QVERIFY(!chat() && !Window<frmreqchat>::get());
        QVERIFY(endedAndFreed({"<busy>", sent().value(1), "<free>"}));
        QTRY_VERIFY(!partner->open);

        QVERIFY(connectedRequest());
        partner->send({PeerProtocol::refuseReply("<b>busy</b>")});
        QTRY_COMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, frmprivatechat::RefusedText + "\n<b>busy</b>");
        QVERIFY(boxes->shown[0].title == "Request refused" && boxes->shown[0].icon == BoxIcon::Critical);
        QVERIFY(!chat() && !Window<frmreqchat>::get());
        QVERIFY(endedAndFreed({"<busy>", sent().value(1), "<free>", "<busy>", sent().value(4), "<free>"}));
        QTRY_VERIFY(!partner->open);
    }

    void anUnansweredRequestEndsAfterItsTimeout()
    {
        frmprivatechat::AnswerTimeoutMs = 20;
        const quint16 port = requestBob();
        QTRY_COMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, frmprivatechat::UnansweredText);
        QVERIFY(!chat() && !Window<frmreqchat>::get());
        QVERIFY(endedAndFreed({"<busy>", sent().value(1), "<free>"}));
        QTcpSocket late; // nobody listens any more
        late.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!late.waitForConnected(5000));
    }

    // --- The accepting side ---

    void aRelayedRequestConnectsAndAcceptIsSent()
    {
        QVERIFY(relayedFromBob("<i>hi</i>", "<b>bob</b>"));
        frmchat *d = Window<frmchat>::get();
        QVERIFY(d && d->isVisible() && chat() && !chat()->isVisible());
        QCOMPARE(d->windowTitle(), QString("Incoming Chat Request"));
        QCOMPARE(d->Label1->text(), QString("<b>bob</b>"));
        QCOMPARE(d->Label4->text(), QString("<i>hi</i>"));
        QVERIFY(d->Label1->textFormat() == Qt::PlainText && d->Label4->textFormat() == Qt::PlainText);
        QTRY_COMPARE(chat()->Winsock->State(), PeerSocket::SocketState::Connected);
        d->Cmdrequest->click();
        QTRY_COMPARE(partner->messages(), QStringList{"<chat reply>accept</chat reply>"});
        QVERIFY(chat()->isVisible() && !Window<frmchat>::get());
        QCOMPARE(chat()->Label2->text(), QString("<b>bob</b>"));
        QCOMPARE(chat()->Label2->textFormat(), Qt::PlainText);
        QCOMPARE(sent(), QStringList{"<busy>"});
    }

    void anAnswerGivenBeforeTheConnectionIsUpIsSentOnceItIs()
    {
        connect(w, &frmMain::RequestTaken, this, [] {
            QCOMPARE(chat()->Winsock->State(), PeerSocket::SocketState::Connecting);
            Window<frmchat>::get()->Cmdrequest->click();
        });
        QVERIFY(relayedFromBob());
        QTRY_COMPARE(partner->messages(), QStringList{"<chat reply>accept</chat reply>"});
        QVERIFY(chat()->isVisible());
    }

    void refuseAndTheCloseBoxSendARefusalAndFree()
    {
        QVERIFY(relayedFromBob() && Window<frmchat>::get());
        Window<frmchat>::get()->Text1->setText("busy now");
        Window<frmchat>::get()->Cmdcancel->click();
        QTRY_COMPARE(partner->messages(), QStringList{"<chat reply>refuse</chat reply>busy now"});
        QTRY_VERIFY(!partner->open);
        QVERIFY(!chat() && !Window<frmchat>::get());
        QVERIFY(endedAndFreed({"<busy>", "<free>"}));

        QVERIFY(relayedFromBob() && Window<frmchat>::get());
        Window<frmchat>::get()->close();
        QTRY_COMPARE(partner->messages(), QStringList{"<chat reply>refuse</chat reply>"});
        QVERIFY(endedAndFreed({"<busy>", "<free>", "<busy>", "<free>"}));
        QVERIFY(boxes->shown.isEmpty());
    }

    void aFailedConnectionIsToldAndFrees()
    {
        const QString port = QString::number(requester.serverPort());
        requester.close(); // nothing listens there now
        server->send(0, relayed("hi", port));
        QTRY_COMPARE(boxes->shown.size(), 1);
        QVERIFY(!boxes->shown[0].text.isEmpty() && boxes->shown[0].title == "Quillet");
        QVERIFY(!chat() && !Window<frmchat>::get());
        QVERIFY(endedAndFreed({"<busy>", "<free>"}));
    }

    void aRequestToAnotherPortOrHostIsDropped()
    {
        server->send(0, relayed("hi", "80"));
        server->send(0, "<rqst>hi<addr>evil.example<port>5100<user>bob</rqst>");
        server->send(0, "<message>end<style>N<user>bob</user></message>");
        QTRY_VERIFY(w->txtrx->toPlainText().contains("bob : end"));
        QVERIFY(!chat() && !Window<frmchat>::get() && sent().isEmpty());
    }

    // --- The private chat window ---

    void keysAreMirroredWithoutTakingTheFocus()
    {
        QVERIFY(acceptedChat());
        QVERIFY(QTest::qWaitForWindowActive(chat()));
        chat()->Txtsend->setFocus();
        for (int key : {Qt::Key_H, Qt::Key_I, Qt::Key_Backspace, Qt::Key_O, Qt::Key_Return})
            QTest::keyClick(chat()->Txtsend, Qt::Key(key));
        QCOMPARE(chat()->Txtsend->toPlainText(), QString("ho\n"));
        QTRY_COMPARE(partner->messages(),
                     QStringList({"<a>h</a>", "<a>i</a>", "<d>1 </d>", "<a>o</a>", "<a>\n</a>"}));

        partner->send({"<a>h</a>", "<a>i</a>", "<d>1 </d>", "<a>o</a>", "<a>\n</a>", "<a>x</a>"});
        QTRY_COMPARE(chat()->Txtrecv->toPlainText(), QString("ho\nx"));
        QVERIFY(chat()->Txtsend->hasFocus());
        partner->send({"<d>1 </d>", "<d>1 </d>", "<d>1 </d>", "<d>1 </d>", "<a>!</a>"});
        QTRY_COMPARE(chat()->Txtrecv->toPlainText(), QString("!"));
    }

    void thePartnersTypingAsksForAttentionOncePerBurstWhileTheWindowIsInactive()
    {
        AttentionRecorder recorder;
        QVERIFY(acceptedChat());
        QVERIFY(QTest::qWaitForWindowActive(chat()));
        partner->send({"<a>a</a>"});
        QTRY_COMPARE(chat()->Txtrecv->toPlainText(), QString("a"));
        QVERIFY(recorder.requests.isEmpty()); // read as it comes

        w->activateWindow(); // the user turns to the room
        QVERIFY(QTest::qWaitForWindowActive(w));
        partner->send({"<a>b</a>", "<d>1 </d>", "<a>c</a>"});
        QTRY_COMPARE(chat()->Txtrecv->toPlainText(), QString("ac"));
        partner->send({"<a>d</a>"});
        QTRY_COMPARE(chat()->Txtrecv->toPlainText(), QString("acd"));
        QCOMPARE(recorder.requests, QList<QWidget *>{chat()});
        QCOMPARE(QApplication::activeWindow(), w); // asked, not taken

        chat()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(chat()));
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w));
        partner->send({"<a>e</a>"});
        QTRY_COMPARE(recorder.requests.size(), 2);
    }

    void thePartnerClosingIsShownAndFrees()
    {
        QVERIFY(acceptedChat());
        partner->socket->disconnectFromHost();
        QTRY_COMPARE(chat()->Text3->text(), QString("bob closed the connection."));
        QCOMPARE(chat()->Label3->text(), QString("Status :"));
        QVERIFY(chat()->isVisible() && endedAndFreed({"<busy>", sent().value(1), "<free>"}));

        // The next chat starts in a fresh window.
        frmprivatechat *old = chat();
        QVERIFY(requestBob());
        QVERIFY(chat() != old && !chat()->isVisible() && chat()->Text3->text().isEmpty());
        QVERIFY(boxes->shown.isEmpty());
    }

    void aboutHidesTheWindowUntilItCloses()
    {
        QVERIFY(acceptedChat());
        chat()->mnuabout->trigger();
        QVERIFY(Window<frmabout1>::get()->isVisible() && !chat()->isVisible());
        QCOMPARE(Window<frmabout1>::get()->windowTitle(), QString("About Private Chat"));
        Window<frmabout1>::get()->cmdOK->click();
        QVERIFY(chat()->isVisible() && !Window<frmabout1>::get());
        chat()->mnuabout->trigger();
        Window<frmabout1>::get()->close();
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
