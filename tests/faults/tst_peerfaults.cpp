// Fault injection on the peer connection: every port the requester tries to listen on may be taken
// already; the partner, played by the test with a raw socket on 127.0.0.1, resets the connection
// (linger 0) in the middle of a private chat, with half a message on the wire, or before the
// request has been answered; on either side.
#include "PrivateChatFixture.h"

#include <cerrno>

using namespace quillet;
using namespace quillet::test;

class PeerFaultsTest : public PrivateChatFixture
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(start()); }
    void cleanup() { finish(); }

    void theListeningPortIsTaken()
    {
        // The first port tried is taken: the request goes out only once another one listens.
        QTcpServer taken;
        const quint16 takenPort = listenInRange(taken);
        testServices.randomPort = [&, first = true]() mutable {
            return std::exchange(first, false) ? takenPort : 5000 + QRandomGenerator::global()->bounded(1001);
        };
        const quint16 port = requestChatWith("bob");
        QVERIFY(port >= 5000 && port <= 6000 && port != takenPort);
        QCOMPARE(pc->link()->state(), PeerLink::State::Listening);
        QVERIFY(!chat() && requestDialog() && !requestDialog()->isVisible());
        QVERIFY(partnerConnectsTo(port)); // and leaves without an answer
        partner->disconnectFromHost();
        const QStringList first{"<busy>", relayed("let's talk", port), "<free>"};
        QVERIFY(endedAndFreed(first));
        boxes->shown.clear();

        testServices.randomPort = [&] { return takenPort; }; // no port to be had: nothing goes out
        privateChatWith("bob");
        requestDialog()->Cmdrequest->click();
        QCOMPARE(boxes->shown, (QList<ShownBox>{{PrivateChat::NoPortText, "Error", BoxIcon::Exclamation}}));
        QVERIFY(!chat() && endedAndFreed(first + QStringList{"<busy>", "<free>"}));
    }

    void thePartnerResetsTheConnection_data()
    {
        QTest::addColumn<bool>("requesting"); // ann asked for the chat (else bob did)
        QTest::addColumn<bool>("answered");
        QTest::newRow("accepting side, mid-chat") << false << true;
        QTest::newRow("requesting side, mid-chat") << true << true;
        QTest::newRow("requesting side, before the answer") << true << false;
        QTest::newRow("accepting side, before the answer") << false << false;
    }
    void thePartnerResetsTheConnection()
    {
        QFETCH(bool, requesting);
        QFETCH(bool, answered);
        const int sockets = openSocketCount();
        if (requesting) {
            QVERIFY(partnerConnectsTo(requestChatWith("bob")));
            if (answered)
                partnerSends({PeerProtocol::acceptReply()});
        } else {
            QVERIFY(relayedFrom("bob"));
            QTRY_COMPARE(pc->link()->state(), PeerLink::State::Connected);
            if (answered)
                Window<frmchat>::get()->Cmdrequest->click();
        }
        if (answered) {
            QTRY_VERIFY(chat() && chat()->isVisible());
            partnerSends({"<a>h</a>", "<a>i</a>"});
            QTRY_COMPARE(chat()->Txtrecv->toPlainText(), QString("hi"));
            partner->write("<a>x"); // the reset cuts this message short
            partner->flush();
        }
        resetConnection(partner.get());

        // The user is told, the chat is over and the server hears "<free>" once.
        const QString reset = qt_error_string(ECONNRESET);
        QTRY_COMPARE(boxes->shown, (QList<ShownBox>{{reset, "Quillet", BoxIcon::None}}));
        QVERIFY(!Globals::bPrivateChatActive);
        QTRY_COMPARE(sent().count("<free>"), 1);
        QCOMPARE(sent().constLast(), QString("<free>"));
        if (answered) {
            // The window stays open with the reason in its status row and what had come whole.
            QVERIFY(chat()->isVisible() && pc->state() == PrivateChat::State::Ended);
            QCOMPARE(chat()->Label3->text() + chat()->Text3->text(),
                     frmprivatechat::StatusCaption + PrivateChat::ConnectionErrorText + reset);
            QCOMPARE(chat()->Txtrecv->toPlainText(), QString("hi"));
            QTest::keyClicks(chat()->Txtsend, "still here"); // typing goes on without a connection
            QCOMPARE(chat()->Txtsend->toPlainText(), QString("still here"));
            QCOMPARE(pc->link()->state(), PeerLink::State::Closed);
            chat()->close();
        }
        QVERIFY(!chat() && !Window<frmreqchat>::get() && !Window<frmchat>::get());
        QCOMPARE(sent().count("<free>"), 1);

        // Nothing is left open, and the next chat starts as usual.
        partner.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(openSocketCount(), sockets);
        QVERIFY(relayedFrom("bob"));
        QCOMPARE(sent().constLast(), QString("<busy>"));
    }
};

QTEST_MAIN(PeerFaultsTest)
#include "tst_peerfaults.moc"
