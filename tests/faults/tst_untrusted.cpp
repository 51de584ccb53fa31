// Text from the network is shown literally wherever it is shown. Markup-looking text, control
// characters and Latin-1 characters above 0x7f come from a chat server and a partner played by the
// test over 127.0.0.1, through the real sockets, into the message window, the users list, both
// request dialogs, the private chat and canvas windows and the refusal box. A relayed request that
// fails the checks is dropped; a requester's window takes one connection and stops listening.
#include "PrivateChatFixture.h"

using namespace quillet;
using namespace quillet::test;

namespace {

QString room(const QString &text, const QString &name, const QString &style)
{
    return "<message>" + text + "<style>" + style + "<user>" + name + "</user></message>";
}

// The message window shows names and texts on one line: each line break becomes a blank.
QString oneLine(QString text)
{
    return text.replace('\r', ' ').replace('\n', ' ');
}

// The lines of a text box as stored, the last one included (toPlainText() would turn a no-break
// space into a blank).
QStringList storedLines(const QPlainTextEdit *edit)
{
    QStringList lines;
    for (QTextBlock b = edit->document()->begin(); b.isValid(); b = b.next())
        lines << b.text();
    return lines;
}

// A label's text as the user sees it: as it is, when the label takes it as plain text and has no
// buddy (a buddy would make an "&" in it a mnemonic).
QString shown(const QLabel *label)
{
    if (label->textFormat() != Qt::PlainText || label->buddy())
        return "not plain: " + label->text();
    return label->text();
}

// The real message boxes, watched: the text format, title and text of each as it comes up; then
// its OK is pressed.
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
            shown << QString::number(box->textFormat()) + '|' + box->windowTitle() + '|' + box->text();
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

    void networkTextIsShownLiterally_data()
    {
        QTest::addColumn<QString>("text");
        QString controls, high;
        for (char16_t c = 0x01; c < 0x20; ++c)
            controls += QChar(c);
        for (char16_t c = 0x80; c <= 0xff; ++c)
            high += QChar(c);
        QTest::newRow("bold") << "<b>x</b>";
        QTest::newRow("image") << "<img src=x>";
        QTest::newRow("entity") << "&amp;";
        QTest::newRow("link") << "<a href=\"http://example.com/\">y</a>";
        QTest::newRow("tab and bell") << "a\tb\a";
        QTest::newRow("line break") << "one\r\ntwo";
        QTest::newRow("0x01..0x1f") << controls;
        QTest::newRow("Latin-1 above 0x7f") << high;
    }
    void networkTextIsShownLiterally()
    {
        QFETCH(QString, text);
        delete std::exchange(boxes, nullptr); // the real boxes
        BoxWatcher watcher;
        QString name = text;
        name.remove('<').remove(','); // a listed name ends at "<" or ","

        // The room: a join, a line and a server notice; the list keeps the name as it came.
        server->send(0, "<add usr>" + name + ",</add usr>");
        server->send(0, room(text, text, "B"));
        server->send(0, room(text, "Server", "I"));
        QTRY_COMPARE(storedLines(w->txtrx).size(), 4);
        QCOMPARE(storedLines(w->txtrx), (QStringList{oneLine(name) + " joined the room. ",
                                                     oneLine(text) + " : " + oneLine(text), oneLine(text), ""}));
        QCOMPARE(runsOfLine(w->txtrx, 1), (QStringList{oneLine(text) + " :  #0000ff", oneLine(text) + " #000000 B"}));
        QCOMPARE(w->lstusers->item(2)->text(), name);

        // Ann asks the listed user; the partner refuses with the text as the reason.
        QVERIFY(partnerConnectsTo(requestChatWith(name)));
        QCOMPARE(shown(Window<frmreqchat>::get()->Label4), name);
        QCOMPARE(shown(chat()->Label2), name);
        partnerSends({PeerProtocol::refuseReply(text)});
        QTRY_VERIFY(!chat());
        QCOMPARE(watcher.shown, QStringList{QString::number(Qt::PlainText) + '|' + frmprivatechat::RefusedTitle
                                            + '|' + frmprivatechat::RefusedText + '\n' + text});

        server->send(0, "<rem usr>" + name + ",</rem usr>");
        QTRY_COMPARE(w->lstusers->count(), 2);
        QCOMPARE(storedLines(w->txtrx).value(3), oneLine(name) + " has left the room. ");

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
        QTRY_COMPARE(storedLines(chat()->Txtrecv), QString(text).replace('\r', '\n').split('\n'));
        chat()->mnuopcanvas->trigger();
        QCOMPARE(shown(Window<frmcanvas>::get()->Label2), oneLine(text));
        partner->disconnectFromHost();
        QTRY_COMPARE(chat()->Text3->text(), text + frmprivatechat::PartnerClosedText);
        QCOMPARE(watcher.shown.size(), 1);
    }

    void aRelayedRequestThatFailsTheChecksIsDropped_data()
    {
        QTest::addColumn<QString>("request"); // PORT: the partner's listening port
        QTest::newRow("port 4999") << "<rqst>hi<addr>127.0.0.1<port>4999<user>bob</rqst>";
        QTest::newRow("port with a sign") << "<rqst>hi<addr>127.0.0.1<port>+PORT<user>bob</rqst>";
        QTest::newRow("host name") << "<rqst>hi<addr>localhost<port>PORT<user>bob</rqst>";
        QTest::newRow("address and a blank") << "<rqst>hi<addr>127.0.0.1 <port>PORT<user>bob</rqst>";
        QTest::newRow("no <addr>") << "<rqst>hi 127.0.0.1<port>PORT<user>bob</rqst>";
        QTest::newRow("no <user>") << "<rqst>hi<addr>127.0.0.1<port>PORT</rqst>";
        QTest::newRow("no </rqst>") << "<rqst>hi<addr>127.0.0.1<port>PORT<user>bob";
    }
    void aRelayedRequestThatFailsTheChecksIsDropped()
    {
        QFETCH(QString, request);
        const QString port = QString::number(requester.serverPort());
        server->send(0, request.replace("PORT", port));
        server->send(0, room("after", "bob", "N")); // shown once the request has been handled
        QTRY_COMPARE(storedLines(w->txtrx).value(0), QString("bob : after"));
        QVERIFY(sent().isEmpty() && !Globals::bPrivateChatActive); // no "<busy>"
        QVERIFY(!chat() && !Window<frmchat>::get() && !requester.hasPendingConnections());

        // The same request, whole and well formed, is taken.
        QVERIFY(relayedFrom("bob"));
        QCOMPARE(sent(), QStringList{"<busy>"});
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
        QTRY_COMPARE(chat()->Winsock->State(), PeerSocket::SocketState::Connected);
        QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState); // dropped unseen
        QCOMPARE(chat()->Winsock->RemotePort(), first.localPort());
        third.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!third.waitForConnected(10000));
        QCOMPARE(third.error(), QAbstractSocket::ConnectionRefusedError);
        // The first is the partner: its answer opens the chat.
        first.write(PeerProtocol::frame(PeerProtocol::acceptReply()));
        QTRY_VERIFY(chat()->isVisible() && first.state() == QAbstractSocket::ConnectedState);
    }
};

QTEST_MAIN(UntrustedInputTest)
#include "tst_untrusted.moc"
