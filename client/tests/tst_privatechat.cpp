// The private chat as a state machine, seen from ann's client: each row is a walk of events
// (what ann does, what the partner's client and the server do) and ends in the state PrivateChat
// is in, what ann sent the server and the partner, the windows shown and the boxes. The server is a
// loopback server played by the test; the partner's client is played by raw sockets. A taken port,
// a reset connection and untrusted texts are cases of the fault-injection suites.
#include "PrivateChatFixture.h"

#include <QMetaEnum>

#include <cerrno>

using namespace quillet;
using namespace quillet::test;

// A walk of events and where it ends: the state, what ann sent the server after the login (PORT:
// where she listened) and the partner, the windows shown and the texts of the boxes; each list
// written as its items joined by "^".
struct EventRow {
    const char *tag;
    QString events;
    const char *state;
    QString toServer, toPartner = {}, shown = {}, texts = {};
};

class PrivateChatTest : public PrivateChatFixture
{
    Q_OBJECT

    QStringList ports; // where ann listened, request by request

    QString stateName() const
    {
        return QMetaEnum::fromType<PrivateChat::State>().valueToKey(int(pc->state()));
    }
    QStringList windows() const
    {
        QStringList shown;
        if (frmreqchat *d = requestDialog(); d && d->isVisible())
            shown << "request to " + d->Label4->text() + (d->Label5->isVisible() ? " | " + d->Label5->text() : "");
        if (frmchat *d = Window<frmchat>::get(); d && d->isVisible())
            shown << "offer from " + d->Label1->text() + ": " + d->Label4->text();
        if (frmprivatechat *c = chat(); c && c->isVisible()) {
            const QString got = c->Txtrecv->toPlainText(), status = c->Text3->text();
            shown << "chat with " + c->Label2->text() + (got.isEmpty() ? "" : " got " + got)
                         + (status.isEmpty() ? "" : " | " + status);
        }
        for (const QString &notice : notices->up)
            shown << "notice " + notice;
        return shown;
    }

    // One event. "=STATE" after it waits for that state.
    void step(const QString &event)
    {
        const QString what = event.section(u' ', 0, 0);
        QString arg = event.section(u' ', 1);
        QString until;
        if (const qsizetype eq = arg.lastIndexOf(" ="); eq >= 0 || arg.startsWith(u'=')) {
            until = arg.mid(eq >= 0 ? eq + 2 : 1);
            arg = eq >= 0 ? arg.left(eq) : QString();
        }
        if (what == "choose") { // select a user (or none), "&Private Chat"
            w->lstusers->clearSelection();
            privateChatWith(arg);
        } else if (what == "request") {
            requestDialog()->Text1->setText(arg);
            requestDialog()->Cmdrequest->click();
            ports << QString::number(pc->link()->localPort());
        } else if (what == "cancel") {
            requestDialog()->Cmdcancel->click();
        } else if (what == "quick-timeout") {
            testServices.answerTimeoutMs = 20;
        } else if (what == "connects") { // the partner, asked by ann
            QVERIFY(partnerConnectsTo(pc->link()->localPort()));
        } else if (what == "sends") {
            partnerSends(arg.split(u'|'));
        } else if (what == "hears") { // the partner has received this message
            QTRY_VERIFY(partnerGot().contains(arg));
        } else if (what == "closes") {
            partner->disconnectFromHost();
        } else if (what == "resets") {
            resetConnection(partner.get());
        } else if (what == "relayed") { // from bob through the server, bob listening
            QVERIFY(relayedFrom("bob", arg));
        } else if (what == "server") { // the server sends this text
            server->send(0, QString(arg).replace("PORT", QString::number(requester.serverPort())));
        } else if (what == "accept") {
            Window<frmchat>::get()->Cmdrequest->click();
        } else if (what == "refuse") {
            Window<frmchat>::get()->Text1->setText(arg);
            Window<frmchat>::get()->Cmdcancel->click();
        } else if (what == "type") {
            QTest::keyClicks(chat()->Txtsend, arg);
        } else if (what == "away") { // no window of the program is active
            w->hide();
            QTRY_VERIFY(!QApplication::activeWindow());
        } else if (what == "draw") { // "Open Canvas", a click at (Y, Y) and a drag 10 to the right
            chat()->mnuopcanvas->trigger();
            frmcanvas *canvas = Window<frmcanvas>::get();
            QTest::mousePress(canvas->Picdraw, Qt::LeftButton, {}, QPoint(arg.toInt(), arg.toInt()));
            QTest::mouseMove(canvas->Picdraw, QPoint(arg.toInt() + 10, arg.toInt()));
        } else if (what == "close-chat") {
            chat()->mnuclconnection->trigger();
        } else {
            QFAIL(qPrintable("unknown event " + event));
        }
        if (!until.isEmpty())
            QTRY_COMPARE(stateName(), until);
    }

private slots:
    void init() { QVERIFY(start()); }
    void cleanup()
    {
        ports.clear();
        finish();
    }

    void events()
    {
        const QString rqst = "<rqst>hi<addr>127.0.0.1<port>PORT<user>bob</rqst>";
        const QString accept = "<chat reply>accept</chat reply>";
        const QString hello = "<xhello>canvas,file</xhello>"; // the requester's, once the chat is on
        const QString freed = "<busy>^" + rqst + "^<free>";
        const QString asked = "choose bob^request hi^connects";
        const QString chatting = asked + "^sends " + accept + " =Connected^hears " + hello;
        const QString closedByBob = "chat with bob | bob" + PrivateChat::PartnerClosedText;
        const EventRow rows[] = {
            {"nothing selected", "choose ", "Idle", "<busy>^<free>", {}, {}, PrivateChat::NoSelectionText},
            {"own name", "choose ann", "Idle", "<busy>^<free>", {}, {}, PrivateChat::OwnNameText},
            {"a second request while one is on", "choose bob^choose carl", "Requesting", "<busy>", {}, "request to bob", PrivateChat::ActiveText},
            {"cancelled", "choose bob^cancel", "Idle", "<busy>^<free>"},
            {"unanswered", "quick-timeout^choose bob^request hi =Idle", "Idle", freed, {}, {}, PrivateChat::UnansweredText},
            {"refused with a reason", asked + "^sends <chat reply>refuse</chat reply>not now =Idle", "Idle", freed, {}, {}, PrivateChat::RefusedText + "\nnot now"},
            {"partner leaves unanswered", asked + "^closes =Idle", "Idle", freed, {}, {}, PrivateChat::UnansweredText},
            {"accepted, typing both ways", chatting + "^type h\bo\r^sends <a>x</a>|<a>y</a>|<d>1 </d>|<a>\n</a>", "Connected", "<busy>^" + rqst, hello + "^<a>h</a>^<d>1 </d>^<a>o</a>^<a>\n</a>", "chat with bob got x\n"},
            {"Close Connection", chatting + "^close-chat =Idle", "Idle", freed, hello},
            {"partner's <close>", chatting + "^sends <close> =Idle", "Idle", freed, hello},
            {"partner closes the chat", chatting + "^closes =Ended", "Ended", freed, hello, closedByBob},
            {"partner resets the chat", chatting + "^resets =Ended", "Ended", freed, hello, "chat with bob | " + PrivateChat::ConnectionErrorText + qt_error_string(ECONNRESET), qt_error_string(ECONNRESET)},
            // The stale dialog: after a chat that bob ended, a request to carl is a request to carl.
            {"after a chat, a request to another user", chatting + "^closes =Ended^choose carl^request hi", "Waiting", freed + "^<busy>^" + QString(rqst).replace("bob", "carl"), hello, closedByBob},
            {"after a chat, the next one stays on", chatting + "^closes =Ended^" + chatting, "Connected", freed + "^<busy>^" + rqst, hello + "^" + hello, "chat with bob"},
            {"after a chat, the dialog for another user", chatting + "^closes =Ended^choose carl", "Requesting", freed + "^<busy>", hello, "request to carl^" + closedByBob},
            // The accepting side.
            {"offered, accepted", "away^relayed hi^accept =Connected^sends <a>z</a>", "Connected", "<busy>", accept, "chat with bob got z"},
            // A partner that says hello hears one back, once; one that does not (above) hears none.
            {"offered, accepted, hello", "relayed hi^accept =Connected^sends <xhello>canvas</xhello>|<a>z</a>|" + hello, "Connected", "<busy>", accept + "^" + hello, "chat with bob got z"},
            // Away from the program, an offer comes with a desktop notice, until it is answered.
            {"offered while away", "away^relayed let's talk", "Offered", "<busy>", {}, "offer from bob: let's talk^notice Private chat request from bob: let's talk"},
            // Strokes go out only once the partner's hello has named the canvas.
            {"offered, accepted, drawing before and after the hello", "relayed hi^accept =Connected^draw 10^sends <xhello>canvas</xhello>^hears " + hello + "^draw 20", "Connected", "<busy>", accept + "^" + hello + "^<xdraw>1,20,20,20,20;1,20,20,30,20</xdraw>", "chat with bob"},
            {"offered, accepted, the partner draws unseen", "relayed hi^accept =Connected^sends <xdraw>5,1,1,9,9</xdraw>", "Connected", "<busy>", accept, "chat with bob | bob" + SharedCanvas::PartnerDrawsText},
            {"offered, refused", "relayed hi^refuse busy now =Idle", "Idle", "<busy>^<free>", "<chat reply>refuse</chat reply>busy now"},
            // What quillet-server no longer relays, a client drops too: the next request is taken.
            {"dropped: a leading zero", "server <rqst>x<addr>127.0.0.01<port>PORT<user>mallory</rqst>^relayed hi =Offered", "Offered", "<busy>", {}, "offer from bob: hi"},
        };
        for (const EventRow &row : rows) {
            walk(row);
            if (QTest::currentTestFailed())
                return qWarning("in the row \"%s\"", row.tag);
            cleanup();
            init();
        }
    }

private:
    void walk(const EventRow &row)
    {
        const auto list = [](const QString &s) { return s.isEmpty() ? QStringList() : s.split(u'^'); };
        const QString state = QString::fromLatin1(row.state);
        QStringList toServer = list(row.toServer);
        for (const QString &event : list(row.events)) {
            step(event);
            if (QTest::currentTestFailed())
                return;
        }
        for (QString &message : toServer)
            if (message.contains("PORT"))
                message.replace("PORT", ports.value(0)), ports.removeFirst();
        QTRY_COMPARE(sent(), toServer);
        QTRY_COMPARE(partnerGot(), list(row.toPartner));
        QTRY_COMPARE(windows(), list(row.shown));
        QCOMPARE(stateName(), state);
        QStringList shownTexts;
        for (const ShownBox &box : boxes->shown)
            shownTexts << box.text;
        QCOMPARE(shownTexts, list(row.texts));
        QCOMPARE(Globals::bPrivateChatActive, state != "Idle" && state != "Ended");
    }
};

QTEST_MAIN(PrivateChatTest)
#include "tst_privatechat.moc"
