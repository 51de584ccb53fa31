// The room: the server message dispatcher driven by message texts (what each kind of message does
// to the message window, the users list and the private chat state), and composing room messages
// (the exact bytes that reach a loopback server).
#include "ClientTestSupport.h"
#include "Globals.h"
#include "frmMain.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

namespace {
const QColor Blue(0, 0, 255), Black(0, 0, 0), Grey(150, 150, 150);

QString room(const QString &text, const QString &style = "N", const QString &name = "ann")
{
    return "<message>" + text + "<style>" + style + "<user>" + name + "</user></message>";
}
QString request(const QString &message, const QString &address, const QString &port)
{
    return "<rqst>" + message + "<addr>" + address + "<port>" + port + "<user>bob</rqst>";
}
} // namespace

class RoomTest : public QObject
{
    Q_OBJECT

    frmMain *w = nullptr;
    FakeMessageBoxes *boxes = nullptr;
    LoopbackServer *server = nullptr;

    // Shows the window and logs in as ann to a loopback server.
    void connectToServer()
    {
        w->show();
        connectAsAnn(w, server->port());
        QVERIFY(QTest::qWaitForWindowActive(w));
        QTRY_COMPARE(server->messages(0), QStringList{"ann///pw"});
    }
    QStringList sent() const { return server->messages(0).mid(1); } // after the login
    QStringList users() const
    {
        QStringList names;
        for (int i = 0; i < w->lstusers->count(); ++i)
            names << w->lstusers->item(i)->text();
        return names;
    }
    // Everything a message can change but the caret.
    QString state() const
    {
        return w->txtrx->document()->toHtml() + users().join('|') + QString::number(Globals::nSilentJoins);
    }
    // A scroll (ScrollMessageWindow) brings the caret to the end from wherever it is.
    void caretToStart() { w->txtrx->moveCursor(QTextCursor::Start); }
    bool scrolled() const { return w->txtrx->textCursor().atEnd(); }

private slots:
    void init()
    {
        boxes = new FakeMessageBoxes;
        server = new LoopbackServer;
        w = startMainWindow();
    }
    void cleanup()
    {
        discardClientWindows();
        delete server;
        delete boxes;
    }

    void aRoomLineIsABlueNameAndStyledBlackText_data()
    {
        QTest::addColumn<QString>("style");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("italic");
        QTest::newRow("B") << "B" << true << false;
        QTest::newRow("I") << "I" << false << true;
        QTest::newRow("BI") << "BI" << true << true;
        for (const char *plain : {"N", "", "b", "IB"})
            QTest::newRow(plain) << plain << false << false;
    }
    void aRoomLineIsABlueNameAndStyledBlackText()
    {
        QFETCH(QString, style);
        QFETCH(bool, bold);
        QFETCH(bool, italic);
        w->Socketmain_DataArrival(room("styled", style, "bob"));
        w->Socketmain_DataArrival(room("plain", "N", "cy"));
        QCOMPARE(shownLines(w->txtrx), QStringList({"bob : styled", "cy : plain"}));
        const QList<Run> runs = runsOfLine(w->txtrx, 0);
        QCOMPARE(runs.size(), 2);
        QCOMPARE(runs[0].colour, Blue);
        QVERIFY(!runs[0].bold && !runs[0].italic); // never the name
        QCOMPARE(runs[1].colour, Black);
        QCOMPARE(runs[1].bold, bold);
        QCOMPARE(runs[1].italic, italic);
        for (const Run &run : runsOfLine(w->txtrx, 1)) // nothing carried over
            QVERIFY(!run.bold && !run.italic);
        QVERIFY(scrolled());
    }

    void aServerNoticeIsKnownByItsNameOnly_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("style");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("italic: grey") << "Server" << "I" << Grey;
        QTest::newRow("bold: black") << "SERVER" << "B" << Black;
        QTest::newRow("plain: black") << "TheserverBot" << "N" << Black;
        QTest::newRow("a user saying Server") << "mallory" << "I" << Black; // keeps the name
    }
    void aServerNoticeIsKnownByItsNameOnly()
    {
        QFETCH(QString, name);
        QFETCH(QString, style);
        QFETCH(QColor, colour);
        w->Socketmain_DataArrival(room("the Server is down", style, name));
        const QString prefix = name == "mallory" ? "mallory : " : "";
        QCOMPARE(shownLines(w->txtrx), QStringList{prefix + "the Server is down"});
        const Run text = runsOfLine(w->txtrx, 0).last();
        QCOMPARE(text.colour, colour);
        QCOMPARE(text.bold, style == "B");
        QCOMPARE(text.italic, style == "I");
    }

    void networkTextIsShownAsPlainText()
    {
        w->Socketmain_DataArrival(room("", "N", "bob"));
        w->Socketmain_DataArrival(room("a<b for> <style>", "N", "bob"));
        w->Socketmain_DataArrival(room("two\nlines\r\n", "N", "bob"));
        w->Socketmain_DataArrival(room("<b>x</b> <img src=\"y.png\">", "N", "<i>eve</i>"));
        w->Socketmain_DataArrival("<add usr>&lt;i&gt;,b>x &amp;,</add usr>");
        QCOMPARE(shownLines(w->txtrx),
                 QStringList({"bob : ", "bob : a<b for> <style>", "bob : two lines  ",
                              "<i>eve</i> : <b>x</b> <img src=\"y.png\">"}));
        for (const Run &run : runsOfLine(w->txtrx, 3))
            QVERIFY(!run.bold && !run.italic);
        QVERIFY(!w->txtrx->document()->toHtml().contains("<img"));
        QCOMPARE(users(), QStringList({"&lt;i&gt;", "b>x &amp;"}));
    }

    void joinsAreSilentUntilFourNamesCameInSilently()
    {
        w->Socketmain_DataArrival("<add usr>ann,</add usr>");              // silent: 1
        w->Socketmain_DataArrival("<add usr>bob,cy,</add usr>");           // bob told, cy silent
        w->Socketmain_DataArrival("<add usr>dee,eve,fay,gus,</add usr>");  // dee and gus told
        w->Socketmain_DataArrival("<add usr>a5,a6,a7,a8,a9,tail</add usr>"); // all names, all told
        QCOMPARE(users(), QStringList({"ann", "bob", "cy", "dee", "eve", "fay", "gus", "a5", "a6",
                                       "a7", "a8", "a9"}));
        const QStringList lines = shownLines(w->txtrx);
        QCOMPARE(lines.mid(0, 3), QStringList({"bob joined the room. ", "dee joined the room. ",
                                               "gus joined the room. "}));
        QCOMPARE(lines.size(), 8);
        QCOMPARE(Globals::nSilentJoins, qint16(4));
        QCOMPARE(runsOfLine(w->txtrx, 0).constFirst().colour, Grey);
        QVERIFY(scrolled());
    }

    void aRemovalTakesEveryEqualEntry()
    {
        w->Socketmain_DataArrival("<add usr>ann,bob,cy,bob,</add usr>");
        w->Socketmain_DataArrival("<REM USR>bob,ann,</rem usr>"); // any case; the first name only
        QCOMPARE(users(), QStringList({"ann", "cy"}));
        QCOMPARE(shownLines(w->txtrx), QStringList(2, "bob has left the room. "));
        QCOMPARE(runsOfLine(w->txtrx, 1).constFirst().colour, Grey);
        const QString before = state();
        w->Socketmain_DataArrival("<rem usr>nobody,</rem usr>");
        QCOMPARE(state(), before);
    }

    void busyAndFreeOnlyScrollAndLoginAnswersDoNot()
    {
        w->Socketmain_DataArrival("<add usr>ann,bob,</add usr>");
        w->Socketmain_DataArrival(room("hi"));
        const QString before = state();
        for (const char *m : {"<bsy usr>bob</bsy usr>", "<FRE USR>bob</fre usr>", "login successful"}) {
            caretToStart();
            w->Socketmain_DataArrival(m);
            QCOMPARE(state(), before);
            QCOMPARE(scrolled(), m[0] == '<');
        }
    }

    void undecodableMessagesAreDropped_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << "";
        QTest::newRow("no end tag") << "<message>hi<style>N<user>bob";
        QTest::newRow("no user tag") << "<message>hi<style>N</user></message>";
        QTest::newRow("out of order") << "<style>N<message>hi<user>bob</user></message>";
        QTest::newRow("just text") << "login successful ";
        QTest::newRow("add without comma") << "<add usr>bob</add usr>";
        QTest::newRow("add without end") << "<add usr>bob,";
        QTest::newRow("remove nobody") << "<rem usr>,</rem usr>";
        QTest::newRow("add in capitals") << "<ADD USR>bob,</ADD USR>";
    }
    void undecodableMessagesAreDropped()
    {
        QFETCH(QString, message);
        w->Socketmain_DataArrival("<add usr>ann,bob,</add usr>");
        w->Socketmain_DataArrival(room("hi"));
        const QString before = state();
        caretToStart();
        w->Socketmain_DataArrival(message);
        QCOMPARE(state(), before);
        QVERIFY(!scrolled());
    }

    void aRequestIsTakenOnlyWhenNoChatIsActive()
    {
        connectToServer();
        w->Socketmain_DataArrival(room("hi"));
        QSignalSpy taken(w, &frmMain::RequestTaken);
        bool flagSetAtHandOver = false;
        connect(w, &frmMain::RequestTaken, this, [&] { flagSetAtHandOver = Globals::bPrivateChatActive; });
        const QString message = "nineteen characters <addr>r> too"; // any length, tags too
        caretToStart();
        w->Socketmain_DataArrival(request(message, "192.168.1.20", "5123"));
        QCOMPARE(taken.count(), 1);
        QVERIFY(flagSetAtHandOver && scrolled());
        QCOMPARE(QStringList({Globals::sRequestMessage, Globals::sRequestAddr, Globals::sRequestPort,
                              Globals::sRequestUser}),
                 QStringList({message, "192.168.1.20", "5123", "bob"}));

        caretToStart();
        w->Socketmain_DataArrival(request("again", "192.168.1.30", "5999"));
        QCOMPARE(taken.count(), 1);
        QCOMPARE(Globals::sRequestAddr, QString("192.168.1.20"));
        QVERIFY(!scrolled());
        w->Command1_Click(); // a room line marks the end of what was sent
        QTRY_COMPARE(sent(), QStringList({"<busy>", room("")}));
    }

    void aRequestThatFailsItsChecksIsDropped_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("port below") << request("hi", "192.168.1.20", "4999");
        QTest::newRow("port above") << request("hi", "192.168.1.20", "6001");
        QTest::newRow("host name") << request("hi", "evil.example", "5100");
        QTest::newRow("three parts") << request("hi", "192.168.1", "5100");
        QTest::newRow("no end tag") << "<rqst>hi<addr>192.168.1.20<port>5100<user>bob";
        QTest::newRow("marker only") << "<RQST>";
    }
    void aRequestThatFailsItsChecksIsDropped()
    {
        QFETCH(QString, message);
        connectToServer();
        w->Socketmain_DataArrival(room("hi"));
        QSignalSpy taken(w, &frmMain::RequestTaken);
        caretToStart();
        w->Socketmain_DataArrival(message);
        QVERIFY(taken.isEmpty() && !Globals::bPrivateChatActive && Globals::sRequestAddr.isEmpty());
        QVERIFY(!scrolled());
        w->Command1_Click();
        QTRY_COMPARE(sent(), QStringList{room("")}); // no "<busy>"
    }

    // --- Composing ---

    void enterSendsTheExactRoomMessageAndShowsNothingYet()
    {
        connectToServer();
        QTest::keyClicks(w->txtTx, "hi");
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        QTRY_COMPARE(server->received(0),
                     QByteArray("ann///pw\0<message>hi<style>N<user>ann</user></message>\0", 55));
        QVERIFY(w->txtTx->text().isEmpty());
        QCOMPARE(QApplication::focusWidget(), w->txtTx);
        QCOMPARE(shownLines(w->txtrx), QStringList()); // shown when the server's copy comes
        QTest::keyClicks(w->txtTx, "x");
        QTest::keyClick(w->txtTx, Qt::Key_Enter, Qt::KeypadModifier);
        QTRY_COMPARE(sent(), QStringList({room("hi"), room("x")}));
    }

    void theTogglesChooseTheStyleCodeAndKeepTheirState_data()
    {
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<QString>("code");
        QTest::newRow("both") << true << true << "BI";
        QTest::newRow("bold") << true << false << "B";
        QTest::newRow("italic") << false << true << "I";
        QTest::newRow("none") << false << false << "N";
    }
    void theTogglesChooseTheStyleCodeAndKeepTheirState()
    {
        QFETCH(bool, bold);
        QFETCH(bool, italic);
        QFETCH(QString, code);
        connectToServer();
        if (bold)
            QTest::mouseClick(w->bold, Qt::LeftButton);
        if (italic)
            QTest::mouseClick(w->italic, Qt::LeftButton);
        w->txtTx->setText("one");
        QTest::mouseClick(w->Command1, Qt::LeftButton);
        w->txtTx->setText("two");
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        QTRY_COMPARE(sent(), QStringList({room("one", code), room("two", code)}));
    }

    void emotionsTextAndClearFollowTheirRules()
    {
        connectToServer();
        w->Combo1->setCurrentIndex(w->Combo1->count() - 1);
        w->Command1->click(); // an empty entry sends the emotion, which is cleared
        QCOMPARE(w->Combo1->currentText(), QString());
        w->Combo1->setEditText("Hug");
        w->txtTx->setText("a <b>tag</b> & </user></message> ///");
        w->Command1->click(); // the entry wins, the emotion stays
        QTest::keyClick(w->txtTx, Qt::Key_Return); // Enter never looks at the emotions
        QCOMPARE(w->Combo1->currentText(), QString("Hug"));
        w->txtTx->setText("draft");
        QTest::mouseClick(w->Command2, Qt::LeftButton); // Clear sends nothing
        QVERIFY(w->txtTx->text().isEmpty());
        QCOMPARE(QApplication::focusWidget(), w->txtTx);
        w->Combo1->setEditText(QString());
        w->Command1->click(); // both empty: an empty text
        QTRY_COMPARE(sent(), QStringList({room("Wave!"), room("a <b>tag</b> & </user></message> ///"),
                                          room(""), room("")}));
        QVERIFY(boxes->shown.isEmpty());
    }

    void withoutAConnectionSendAndClearSaySo_data()
    {
        QTest::addColumn<bool>("serverClosed");
        QTest::newRow("Disconnect") << false;
        QTest::newRow("closed by the server") << true;
    }
    void withoutAConnectionSendAndClearSaySo()
    {
        QFETCH(bool, serverClosed);
        connectToServer();
        if (serverClosed)
            server->close(0);
        else
            w->mnuFileDisconnect->trigger();
        QTRY_VERIFY(!w->txtTx->isEnabled()); // nothing can be typed and then lost
        w->txtTx->setText("kept");
        w->Command1->click();
        w->Command2->click();
        QCOMPARE(boxes->shown.size(), 2);
        for (const ShownBox &box : std::as_const(boxes->shown)) {
            QCOMPARE(box.text, QString("No Valid Connection , Please make connection"));
            QCOMPARE(box.title, QString("Error"));
            QCOMPARE(box.icon, BoxIcon::Information);
        }
        QCOMPARE(w->txtTx->text(), QString("kept"));
        QCOMPARE(sent(), QStringList());
    }
};

QTEST_MAIN(RoomTest)
#include "tst_room.moc"
