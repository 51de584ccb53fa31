// Private chats inside one client: "&Private Chat" and the request dialog (the requesting side),
// the relayed request and the incoming-request dialog (the accepting side), and the private chat
// window. The server is a loopback server played by the test; the partner's client is played by a
// raw socket (one process holds one client).
#include "PrivateChatFixture.h"

using namespace quillet;
using namespace quillet::test;
using State = PeerSocket::SocketState;

namespace {

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

class PrivateChatTest : public PrivateChatFixture
{
    Q_OBJECT

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
        if (!partnerConnectsTo(requestBob()) || !accept)
            return chat()->Winsock->State() == State::Connected;
        partnerSends({PeerProtocol::acceptReply()});
        return QTest::qWaitFor([] { return chat()->isVisible(); });
    }
    // The request or chat is over: no dialog left, and this user is free.
    bool endedAndFreed(const QStringList &expectedSent)
    {
        return QTest::qWaitFor([&] { return sent() == expectedSent; }) && !Globals::bPrivateChatActive
                && !requestDialog() && !Window<frmchat>::get();
    }

private slots:
    void init() { QVERIFY(start()); }
    void cleanup()
    {
        frmprivatechat::AnswerTimeoutMs = 60 * 1000;
        frmreqchat::randomPort = {};
        finish();
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
        QVERIFY(relayedFrom("<b>bob</b>", "<i>hi</i>"));
        QTRY_COMPARE(partnerGot(), QStringList{"<chat reply>accept</chat reply>"});
        QVERIFY(chat()->isVisible() && !Window<frmchat>::get() && sent() == QStringList{"<busy>"});
        QVERIFY(chat()->Label2->text() == "<b>bob</b>" && chat()->Label2->textFormat() == Qt::PlainText);
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
