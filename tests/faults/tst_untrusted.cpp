// Text from the network is shown literally wherever it is shown. Markup-looking text, control
// characters and Latin-1 characters above 0x7f come from a chat server and a partner played by the
// test over 127.0.0.1, through the real sockets, into the message window, the users list, both
// request dialogs, the private chat and canvas windows and the refusal box. A requester's window
// takes one connection and stops listening. (Relayed requests that fail the checks: the protocol
// table and the private chat suite.)
#include "PrivateChatFixture.h"

using namespace quillet;
using namespace quillet::test;

namespace {

// The message window shows names and texts on one line: each line break becomes a blank.
QString oneLine(QString text)
{
    return text.replace('\r', ' ').replace('\n', ' ');
}

// A label's text as the user sees it: as it is, when the label takes it as plain text and has no
// buddy (a buddy would make an "&" in it a mnemonic).
QString shown(const QLabel *label)
{
    if (label->textFormat() != Qt::PlainText || label->buddy())
        return "not plain: " + label->text();
    return label->text();
}

// The real message boxes, watched: the text format, icon, title and text of each as it comes up;
// then its OK is pressed.
class BoxWatcher : public QObject
{
public:
    BoxWatcher() { qApp->installEventFilter(this); }
    QStringList shown;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *box = qobject_cast<QMessageBox *>(object);
        if (box && event->type() == QEvent::Show) {
            shown << QString::number(box->textFormat()) + QString::number(box->icon()) + '|'
                        + box->windowTitle() + '|' + box->text();
            QMetaObject::invokeMethod(box, &QMessageBox::accept, Qt::QueuedConnection);
        }
        return false;
    }
};

} // namespace

class UntrustedInputTest : public PrivateChatFixture
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(start()); }
    void cleanup() { finish(); }

    void networkTextIsShownLiterally()
    {
        // Markup, every control character and every Latin-1 character above 0x7f, in one text.
        QString text = "<b>x</b><img src=x>&amp;<a href=\"http://example.com/\">y</a>";
        for (char16_t c = 0x01; c <= 0xff; c = c == 0x1f ? 0x80 : c + 1)
            text += QChar(c);
        delete std::exchange(boxes, nullptr); // the real boxes
        testServices.boxes = nullptr;
        BoxWatcher watcher;
        QString name = text;
        name.remove('<').remove(','); // a listed name ends at "<" or ","

        // The room: a join, a line and a server notice; the list keeps the name as it came.
        server->send(0, "<add usr>" + name + ",</add usr>");
        server->send(0, room(text, "B", text));
        server->send(0, room(text, "I", "Server"));
        QTRY_COMPARE(shownLines(w->txtrx).size(), 3);
        QCOMPARE(shownLines(w->txtrx), (QStringList{oneLine(name) + " joined the room. ",
                                                    oneLine(text) + " : " + oneLine(text), oneLine(text)}));
        QCOMPARE(runsOfLine(w->txtrx, 1), (QStringList{oneLine(text) + " :  #0000ff", oneLine(text) + " #000000 B"}));
        QCOMPARE(w->lstusers->item(3)->text(), name);

        // Ann asks the listed user; the partner refuses with the text as the reason.
        QVERIFY(partnerConnectsTo(requestChatWith(name)));
        QCOMPARE(shown(Window<frmreqchat>::get()->Label4), name);
        partnerSends({PeerProtocol::refuseReply(text)});
        QTRY_COMPARE(pc->state(), PrivateChat::State::Idle);
        QCOMPARE(watcher.shown, QStringList{QString::number(Qt::PlainText) + QString::number(QMessageBox::Critical)
                                            + '|' + PrivateChat::RefusedTitle + '|'
                                            + PrivateChat::RefusedText + '\n' + text});

        server->send(0, "<rem usr>" + name + ",</rem usr>");
        QTRY_COMPARE(w->lstusers->count(), 3);
        QCOMPARE(shownLines(w->txtrx).value(3), oneLine(name) + " has left the room. ");

        // The user named by the text asks ann, with the text as the message; she accepts, the
        // partner types the text, she opens the canvas, and the partner leaves.
        QVERIFY(relayedFrom(text, text));
        frmchat *dialog = Window<frmchat>::get();
        QVERIFY(dialog);
        QCOMPARE(shown(dialog->Label1), text);
        QCOMPARE(shown(dialog->Label4), text);
        dialog->Cmdrequest->click();
        QCOMPARE(shown(chat()->Label2), text);
        QStringList keys;
        for (const QChar c : text)
            keys << "<a>" + QString(c) + "</a>";
        partnerSends(keys);
        QTRY_COMPARE(shownLines(chat()->Txtrecv), QString(text).replace('\r', '\n').split('\n'));
        chat()->mnuopcanvas->trigger();
        QCOMPARE(shown(Window<frmcanvas>::get()->Label2), oneLine(text));
        partner->disconnectFromHost();
        QTRY_COMPARE(chat()->Text3->text(), text + PrivateChat::PartnerClosedText);
        QCOMPARE(watcher.shown.size(), 1);
    }

    void theRequestersWindowTakesOneConnectionAndStopsListening()
    {
        // Two partners connect before the window has seen either; a third one later.
        const quint16 port = requestChatWith("bob");
        QTcpSocket first, second, third;
        for (QTcpSocket *s : {&first, &second}) {
            s->connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(s->waitForConnected(10000)); // to the system's backlog
        }
        QTRY_COMPARE(pc->link()->state(), PeerLink::State::Connected);
        QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState); // dropped unseen
        QCOMPARE(pc->link()->peerPort(), first.localPort());
        third.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!third.waitForConnected(10000));
        QCOMPARE(third.error(), QAbstractSocket::ConnectionRefusedError);
        // The first is the partner: its answer opens the chat.
        first.write(PeerProtocol::frame(PeerProtocol::acceptReply()));
        QTRY_VERIFY(chat() && chat()->isVisible() && first.state() == QAbstractSocket::ConnectedState);
    }

    // Fault injection: the port the requester tries to listen on is taken already.
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

};

QTEST_MAIN(UntrustedInputTest)
#include "tst_untrusted.moc"
