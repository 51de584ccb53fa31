// Private chats inside one client: "&Private Chat" and the request dialog (the requesting side),
// the relayed request and the incoming-request dialog (the accepting side), and the private chat
// window. The server is a loopback server played by the test; the partner's client is played by a
// raw socket (one process holds one client). A port already taken, a reset connection and
// untrusted names and texts are cases of the fault-injection suites.
#include "PrivateChatFixture.h"

using namespace quillet;
using namespace quillet::test;
using State = PeerSocket::SocketState;

class PrivateChatTest : public PrivateChatFixture
{
    Q_OBJECT

    // What this user sends the server for n requests: each "<busy>", the request if any, "<free>".
    static QStringList busyFree(int n, const QString &request = QString())
    {
        QStringList sent;
        for (int i = 0; i < n; ++i)
            sent << "<busy>" << request << "<free>";
        sent.removeAll(QString());
        return sent;
    }

private slots:
    void init() { QVERIFY(start()); }
    void cleanup() { finish(); }

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

    void anUnansweredRequestEndsAfterItsTimeout()
    {
        frmprivatechat::AnswerTimeoutMs = 20;
        const quint16 port = requestChatWith("bob");
        QVERIFY(port != 0);
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
            QVERIFY(d->isVisible() && !chat()->isVisible() && d->Label4->text() == "hi");
            QCOMPARE(chat()->Winsock->State(), State::Connecting);
            d->Cmdrequest->click();
        });
        QVERIFY(relayedFrom("bob", "hi"));
        QTRY_COMPARE(partnerGot(), QStringList{"<chat reply>accept</chat reply>"});
        QVERIFY(chat()->isVisible() && !Window<frmchat>::get() && sent() == QStringList{"<busy>"});
        QCOMPARE(chat()->Label2->text(), QString("bob"));
    }

    void refusingClosingOrFailingSendsARefusalAndFrees()
    {
        QVERIFY(relayedFrom("bob"));
        QTRY_COMPARE(chat()->Winsock->State(), State::Connected);
        Window<frmchat>::get()->Text1->setText("busy now");
        Window<frmchat>::get()->Cmdcancel->click();
        QTRY_COMPARE(partnerGot(), QStringList{"<chat reply>refuse</chat reply>busy now"});
        QTRY_VERIFY(partnerClosed());
        QVERIFY(!chat() && endedAndFreed(busyFree(1)));

        fromPartner.clear();
        QVERIFY(relayedFrom("bob"));
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

    // --- The private chat window, on the requesting side ---

    void anAcceptedChatFromTheFirstKeyToCloseConnection()
    {
        AttentionRecorder recorder;
        QVERIFY(partnerConnectsTo(requestChatWith("bob")));
        partnerSends({PeerProtocol::acceptReply()});
        QTRY_VERIFY(chat()->isVisible());
        QVERIFY(QTest::qWaitForWindowActive(chat()));
        QVERIFY(boxes->shown.isEmpty() && Globals::bPrivateChatActive && chat()->Label2->text() == "bob");
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

        chat()->mnuabout->trigger(); // About takes the window's place until it closes
        QVERIFY(Window<frmabout1>::get()->isVisible() && !chat()->isVisible());
        Window<frmabout1>::get()->cmdOK->click();
        QVERIFY(chat()->isVisible() && !Window<frmabout1>::get() && w->isVisible());
        for (QAction *item : {chat()->mnuclcanvas, chat()->sendfile, chat()->mnusendpicture})
            item->trigger(); // inert
        QVERIFY(chat()->isVisible() && boxes->shown.isEmpty() && !Window<frmcanvas>::get());
        chat()->mnuopcanvas->trigger();
        QVERIFY(Window<frmcanvas>::get() && Window<frmcanvas>::get()->isVisible());

        chat()->mnuclconnection->trigger(); // the canvas stays
        QVERIFY(!chat() && Window<frmcanvas>::get() && endedAndFreed(busyFree(1, sent().value(1))));
        QTRY_VERIFY(partnerClosed());
    }
};

QTEST_MAIN(PrivateChatTest)
#include "tst_privatechat.moc"
