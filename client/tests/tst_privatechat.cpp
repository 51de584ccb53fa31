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
    std::unique_ptr<QTcpSocket> socket;
    QByteArray received;
    explicit Partner(QTcpSocket *s) : socket(s)
    {
        QObject::connect(s, &QTcpSocket::readyRead, s, [this] { received += socket->readAll(); });
    }
    void send(const QStringList &messages)
    {
        QByteArray bytes; // all in one write: several messages in one read
        for (const QString &m : messages)
            bytes += PeerProtocol::frame(m);
        socket->write(bytes);
    }
    QStringList messages() const
    {
        return QString::fromLatin1(received).split(QChar(0)).mid(0, received.count('\0'));
    }
    bool closed() const { return socket->state() == QAbstractSocket::UnconnectedState; }
};

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
    return "<rqst>" + message + "<addr>127.0.0.1<port>" + QString::number(port) + "<user>" + user + "</rqst>";
}

// What a user who asked for nothing n times sends the server.
QStringList busyFree(int n)
{
    QStringList sent;
    for (int i = 0; i < n; ++i)
        sent << "<busy>" << "<free>";
    return sent;
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
        if (!requestDialog())
            return 0;
        requestDialog()->Text1->setText("let's talk");
        requestDialog()->Cmdrequest->click();
        const quint16 port = chat() ? chat()->Winsock->LocalPort() : 0;
        const bool onTheWire = QTest::qWaitFor([&] { return sent().size() > before + 1; });
        return onTheWire && sent().at(before + 1) == relayed("let's talk", port) ? port : 0;
    }
    // The partner connects to the requesting window's port.
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
        server->send(0, relayed(message, requester.serverPort(), user));
        if (!QTest::qWaitFor([&] { return requester.hasPendingConnections(); }))
            return false;
        partner = std::make_unique<Partner>(requester.nextPendingConnection());
        return chat() != nullptr;
    }
    // The request or chat is over: no window left but the main one, and this user is free.
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
        QCOMPARE(boxes->shown.size(), 2);
        QCOMPARE(boxes->shown[0].text, QString("Please Select User from Online user list"));
        QCOMPARE(boxes->shown[1].text, QString("You are trying ti established a private chat with youself"));
        QVERIFY(boxes->shown[1].title == "Quillet" && boxes->shown[1].icon == BoxIcon::None);
        QVERIFY(endedAndFreed(busyFree(2)));

        privateChatWith("bob");
        QVERIFY(requestDialog()->isVisible() && requestDialog()->Label4->text() == "bob");
        w->mnupchat->trigger();
        QCOMPARE(boxes->shown.size(), 3);
        QVERIFY(boxes->shown[2].text == "Private chat session already active, close it"
                && boxes->shown[2].title == "Error" && boxes->shown[2].icon == BoxIcon::None);
        requestDialog()->Cmdcancel->click(); // Cancel, and the close box, end the request
        privateChatWith("bob");
        requestDialog()->close();
        QVERIFY(endedAndFreed(busyFree(4)));
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
        QVERIFY(!chat()->isVisible() && requestDialog() && !requestDialog()->isVisible());
        QCOMPARE(sent().constFirst(), QString("<busy>"));
        chat()->close(); // ends the request and unloads the hidden dialog
        QVERIFY(endedAndFreed({"<busy>", sent().value(1), "<free>"}));

        frmreqchat::randomPort = [&] { return takenPort; }; // no port to be had
        privateChatWith("bob");
        requestDialog()->Cmdrequest->click();
        QCOMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, frmreqchat::NoPortText);
        QVERIFY(!chat() && endedAndFreed({"<busy>", sent().value(1), "<free>", "<busy>", "<free>"}));
    }

    void anAcceptanceShowsTheWindowARefusalShowsTheReason()
    {
        QVERIFY(acceptedChat());
        QVERIFY(boxes->shown.isEmpty() && Globals::bPrivateChatActive && chat()->Label2->text() == "bob");
        chat()->mnuclconnection->trigger();
        QVERIFY(!chat() && endedAndFreed({"<busy>", sent().value(1), "<free>"}));
        QTRY_VERIFY(partner->closed());

        QVERIFY(connectedRequest());
        partner->send({PeerProtocol::refuseReply("<b>busy</b>")});
        QTRY_COMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, frmprivatechat::RefusedText + "\n<b>busy</b>");
        QVERIFY(boxes->shown[0].title == "Request refused" && boxes->shown[0].icon == BoxIcon::Critical);
        QVERIFY(!chat() && endedAndFreed({"<busy>", sent().value(1), "<free>", "<busy>", sent().value(4), "<free>"}));
        QTRY_VERIFY(partner->closed());
    }

    void anUnansweredRequestEndsAfterItsTimeout()
    {
        frmprivatechat::AnswerTimeoutMs = 20;
        const quint16 port = requestBob();
        QTRY_COMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, frmprivatechat::UnansweredText);
        QVERIFY(!chat() && endedAndFreed({"<busy>", sent().value(1), "<free>"}));
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
            QCOMPARE(chat()->Winsock->State(), PeerSocket::SocketState::Connecting);
            d->Cmdrequest->click();
        });
        QVERIFY(relayedFromBob("<i>hi</i>", "<b>bob</b>"));
        QTRY_COMPARE(partner->messages(), QStringList{"<chat reply>accept</chat reply>"});
        QVERIFY(chat()->isVisible() && !Window<frmchat>::get());
        QVERIFY(chat()->Label2->text() == "<b>bob</b>" && chat()->Label2->textFormat() == Qt::PlainText);
        QCOMPARE(sent(), QStringList{"<busy>"});
    }

    void refusingClosingOrFailingSendsARefusalAndFrees()
    {
        QVERIFY(relayedFromBob());
        QTRY_COMPARE(chat()->Winsock->State(), PeerSocket::SocketState::Connected);
        Window<frmchat>::get()->Text1->setText("busy now");
        Window<frmchat>::get()->Cmdcancel->click();
        QTRY_COMPARE(partner->messages(), QStringList{"<chat reply>refuse</chat reply>busy now"});
        QTRY_VERIFY(partner->closed());
        QVERIFY(!chat() && endedAndFreed(busyFree(1)));

        QVERIFY(relayedFromBob());
        Window<frmchat>::get()->close(); // the close box refuses
        QTRY_COMPARE(partner->messages(), QStringList{"<chat reply>refuse</chat reply>"});
        QVERIFY(endedAndFreed(busyFree(2)));
        QVERIFY(boxes->shown.isEmpty());

        const quint16 port = requester.serverPort();
        requester.close(); // nothing listens there now: the connection fails
        server->send(0, relayed("hi", port));
        QTRY_COMPARE(boxes->shown.size(), 1);
        QVERIFY(!boxes->shown[0].text.isEmpty() && boxes->shown[0].title == "Quillet");
        QVERIFY(!chat() && endedAndFreed(busyFree(3)));
    }

    // --- The private chat window ---

    void keysAreMirroredWithoutTakingTheFocus()
    {
        AttentionRecorder recorder;
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
        QVERIFY(chat()->Txtsend->hasFocus() && recorder.requests.isEmpty()); // read as it comes
        partner->send({"<d>1 </d>", "<d>1 </d>", "<d>1 </d>", "<d>1 </d>", "<a>!</a>"});
        QTRY_COMPARE(chat()->Txtrecv->toPlainText(), QString("!"));

        w->activateWindow(); // the user turns to the room: the partner's typing asks for attention
        QVERIFY(QTest::qWaitForWindowActive(w));
        partner->send({"<a>?</a>"});
        QTRY_COMPARE(recorder.requests, QList<QWidget *>{chat()});
        QCOMPARE(QApplication::activeWindow(), w);
    }

    void thePartnerClosingIsShownAndFrees()
    {
        QVERIFY(acceptedChat());
        partner->socket->disconnectFromHost();
        QTRY_COMPARE(chat()->Text3->text(), QString("bob closed the connection."));
        QCOMPARE(chat()->Label3->text(), QString("Status :"));
        QTRY_COMPARE(sent(), QStringList({"<busy>", sent().value(1), "<free>"}));
        QVERIFY(chat()->isVisible() && !Globals::bPrivateChatActive);

        frmprivatechat *old = chat(); // the next chat starts in a fresh window
        QVERIFY(requestBob());
        QVERIFY(chat() != old && !chat()->isVisible() && chat()->Text3->text().isEmpty());
        QVERIFY(boxes->shown.isEmpty());
    }

    void aboutHidesTheWindowUntilItCloses()
    {
        QVERIFY(acceptedChat());
        chat()->mnuabout->trigger();
        QVERIFY(Window<frmabout1>::get()->isVisible() && !chat()->isVisible());
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
