// The server message dispatcher of the main window, driven by message texts: what each kind of
// message does to the message window, the users list and the private chat state.
#include "FakeMessageBoxes.h"
#include "Globals.h"
#include "LoopbackServer.h"
#include "WindowDriver.h"
#include "frmMain.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextDocument>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

namespace {

const QColor Blue(0, 0, 255);
const QColor Black(0, 0, 0);
const QColor Grey(150, 150, 150);

QString room(const QString &text, const QString &style, const QString &name)
{
    return "<message>" + text + "<style>" + style + "<user>" + name + "</user></message>";
}

QString request(const QString &message, const QString &address, const QString &port,
                const QString &user)
{
    return "<rqst>" + message + "<addr>" + address + "<port>" + port + "<user>" + user + "</rqst>";
}

QStringList usersOf(const frmMain *w)
{
    QStringList names;
    for (int i = 0; i < w->lstusers->count(); ++i)
        names << w->lstusers->item(i)->text();
    return names;
}

int caretOf(const frmMain *w)
{
    return w->txtrx->textCursor().position();
}

// Puts the caret at the start, so that a scroll (which moves it to the end) shows.
void caretToStart(frmMain *w)
{
    QTextCursor c = w->txtrx->textCursor();
    c.movePosition(QTextCursor::Start);
    w->txtrx->setTextCursor(c);
}

int endOf(const frmMain *w)
{
    return w->txtrx->document()->characterCount() - 1;
}

} // namespace

class DispatcherTest : public QObject
{
    Q_OBJECT

    frmMain *w = nullptr;

private slots:
    void init()
    {
        w = startMainWindow();
    }
    void cleanup()
    {
        discardClientWindows();
        w = nullptr;
    }

    // --- Room messages ---

    void aRoomLineShowsABlueNameAndBlackText()
    {
        w->Socketmain_DataArrival(room("hello there", "N", "bob"));
        QCOMPARE(shownLines(w->txtrx), QStringList{"bob : hello there"});
        const QList<Run> runs = runsOfLine(w->txtrx, 0);
        QCOMPARE(runs.size(), 2);
        QCOMPARE(runs[0].text, QString("bob : "));
        QCOMPARE(runs[0].colour, Blue);
        QVERIFY(!runs[0].bold && !runs[0].italic);
        QCOMPARE(runs[1].text, QString("hello there"));
        QCOMPARE(runs[1].colour, Black);
        QVERIFY(!runs[1].bold && !runs[1].italic);
        QCOMPARE(caretOf(w), endOf(w)); // scrolled to the end
    }

    void theStyleAppliesToTheTextOnly_data()
    {
        QTest::addColumn<QString>("style");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("italic");
        QTest::newRow("B") << "B" << true << false;
        QTest::newRow("I") << "I" << false << true;
        QTest::newRow("BI") << "BI" << true << true;
        QTest::newRow("N") << "N" << false << false;
        QTest::newRow("empty") << "" << false << false;
        QTest::newRow("small b") << "b" << false << false;
        QTest::newRow("IB") << "IB" << false << false;
        QTest::newRow("other") << "XYZ" << false << false;
    }
    void theStyleAppliesToTheTextOnly()
    {
        QFETCH(QString, style);
        QFETCH(bool, bold);
        QFETCH(bool, italic);
        w->Socketmain_DataArrival(room("styled", style, "bob"));
        w->Socketmain_DataArrival(room("plain", "N", "cy"));
        QCOMPARE(shownLines(w->txtrx), QStringList({"bob : styled", "cy : plain"}));

        const QList<Run> first = runsOfLine(w->txtrx, 0);
        QCOMPARE(first.size(), 2);
        QVERIFY(!first[0].bold && !first[0].italic); // never the name
        QCOMPARE(first[0].colour, Blue);
        QCOMPARE(first[1].bold, bold);
        QCOMPARE(first[1].italic, italic);
        QCOMPARE(first[1].colour, Black);
        // The next plain line carries nothing over.
        for (const Run &run : runsOfLine(w->txtrx, 1))
            QVERIFY(!run.bold && !run.italic);
    }

    void aServerNoticeHasNoNamePrefix_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("style");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("italic");
        QTest::newRow("italic: grey") << "Server" << "I" << Grey << false << true;
        QTest::newRow("bold: black") << "Server" << "B" << Black << true << false;
        QTest::newRow("bold italic: black") << "SERVER" << "BI" << Black << true << true;
        QTest::newRow("plain: black") << "server" << "N" << Black << false << false;
        QTest::newRow("inside a longer name") << "TheServerBot" << "I" << Grey << false << true;
    }
    void aServerNoticeHasNoNamePrefix()
    {
        QFETCH(QString, name);
        QFETCH(QString, style);
        QFETCH(QColor, colour);
        QFETCH(bool, bold);
        QFETCH(bool, italic);
        w->Socketmain_DataArrival(room("maintenance at noon", style, name));
        QCOMPARE(shownLines(w->txtrx), QStringList{"maintenance at noon"});
        const QList<Run> runs = runsOfLine(w->txtrx, 0);
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs[0].colour, colour);
        QCOMPARE(runs[0].bold, bold);
        QCOMPARE(runs[0].italic, italic);
    }

    void aUsersWordsCannotPoseAsTheServer()
    {
        // Only the NAME makes a notice: the sender stays visible whatever the text says.
        w->Socketmain_DataArrival(room("the Server is down", "I", "mallory"));
        QCOMPARE(shownLines(w->txtrx), QStringList{"mallory : the Server is down"});
        const QList<Run> runs = runsOfLine(w->txtrx, 0);
        QCOMPARE(runs[0].colour, Blue);
        QCOMPARE(runs[1].colour, Black); // black italic, not the grey of a notice
        QVERIFY(runs[1].italic);
    }

    void textIsShownWhateverItHolds()
    {
        w->Socketmain_DataArrival(room("", "N", "bob"));
        w->Socketmain_DataArrival(room("a<b", "N", "bob"));
        w->Socketmain_DataArrival(room("for> you <style>", "N", "bob"));
        w->Socketmain_DataArrival(room("two\nlines\r\nhere", "N", "bob"));
        QCOMPARE(shownLines(w->txtrx), QStringList({"bob : ", "bob : a<b",
                                                    "bob : for> you <style>",
                                                    "bob : two lines  here"}));
    }

    void networkTextIsNeverMarkup()
    {
        w->Socketmain_DataArrival("<add usr>&lt;i&gt;,b>x &amp;,</add usr>");
        QCOMPARE(usersOf(w), QStringList({"&lt;i&gt;", "b>x &amp;"}));
        w->Socketmain_DataArrival(room("<b>bold?</b> <img src=\"x.png\">", "N", "<i>eve</i>"));
        QCOMPARE(shownLines(w->txtrx),
                 QStringList{"<i>eve</i> : <b>bold?</b> <img src=\"x.png\">"});
        for (const Run &run : runsOfLine(w->txtrx, 0))
            QVERIFY(!run.bold && !run.italic);
        QVERIFY(!w->txtrx->document()->toHtml().contains("<img"));
    }

    // --- The users list ---

    void theFirstAdditionOfFourNamesIsSilent()
    {
        w->Socketmain_DataArrival("<add usr>ann,bob,cy,dee,</add usr>");
        QCOMPARE(usersOf(w), QStringList({"ann", "bob", "cy", "dee"}));
        QCOMPARE(shownLines(w->txtrx), QStringList());
        QCOMPARE(Globals::nSilentJoins, qint16(4));

        w->Socketmain_DataArrival("<add usr>eve,fay,</add usr>");
        QCOMPARE(usersOf(w), QStringList({"ann", "bob", "cy", "dee", "eve", "fay"}));
        QCOMPARE(shownLines(w->txtrx),
                 QStringList({"eve joined the room. ", "fay joined the room. "}));
        for (int line = 0; line < 2; ++line) {
            const QList<Run> runs = runsOfLine(w->txtrx, line);
            QCOMPARE(runs.size(), 1);
            QCOMPARE(runs[0].colour, Grey);
        }
        QCOMPARE(Globals::nSilentJoins, qint16(4));
    }

    void everyNameFollowedByACommaIsAdded()
    {
        // Five names in the first addition: four come in silently, the fifth is announced.
        w->Socketmain_DataArrival("<add usr>a1,a2,a3,a4,a5,a6,tail</add usr>");
        QCOMPARE(usersOf(w), QStringList({"a1", "a2", "a3", "a4", "a5", "a6"}));
        QCOMPARE(shownLines(w->txtrx),
                 QStringList({"a5 joined the room. ", "a6 joined the room. "}));
    }

    void silentJoinsFollowTheirCount()
    {
        // One name, then two: the second message announces its first name only.
        w->Socketmain_DataArrival("<add usr>ann,</add usr>");
        QCOMPARE(Globals::nSilentJoins, qint16(1));
        w->Socketmain_DataArrival("<add usr>bob,cy,</add usr>");
        QCOMPARE(usersOf(w), QStringList({"ann", "bob", "cy"}));
        QCOMPARE(shownLines(w->txtrx), QStringList{"bob joined the room. "});
        QCOMPARE(Globals::nSilentJoins, qint16(2));

        w->Socketmain_DataArrival("<add usr>dee,eve,fay,</add usr>");
        QCOMPARE(shownLines(w->txtrx),
                 QStringList({"bob joined the room. ", "dee joined the room. "}));
        QCOMPARE(Globals::nSilentJoins, qint16(4));

        // From four on, every name is announced.
        w->Socketmain_DataArrival("<add usr>gus,hal,</add usr>");
        QCOMPARE(shownLines(w->txtrx).mid(2),
                 QStringList({"gus joined the room. ", "hal joined the room. "}));
        QCOMPARE(usersOf(w).size(), 8);
    }

    void aRemovalTakesEveryEqualEntryFromTheEnd()
    {
        w->Socketmain_DataArrival("<add usr>ann,bob,cy,bob,</add usr>");
        w->Socketmain_DataArrival("<add usr>bobby,</add usr>");
        const int linesBefore = int(shownLines(w->txtrx).size());
        w->Socketmain_DataArrival("<rem usr>bob,</rem usr>");
        QCOMPARE(usersOf(w), QStringList({"ann", "cy", "bobby"}));
        const QStringList lines = shownLines(w->txtrx);
        QCOMPARE(lines.mid(linesBefore),
                 QStringList({"bob has left the room. ", "bob has left the room. "}));
        QCOMPARE(runsOfLine(w->txtrx, linesBefore)[0].colour, Grey);

        // Any case in the marker; only the first name counts; an absent name does nothing.
        w->Socketmain_DataArrival("<REM USR>cy,ann,</REM USR>");
        QCOMPARE(usersOf(w), QStringList({"ann", "bobby"}));
        const int count = int(shownLines(w->txtrx).size());
        w->Socketmain_DataArrival("<rem usr>nobody,</rem usr>");
        QCOMPARE(usersOf(w), QStringList({"ann", "bobby"}));
        QCOMPARE(shownLines(w->txtrx).size(), count);
    }

    void busyAndFreeOnlyScroll()
    {
        w->Socketmain_DataArrival("<add usr>ann,bob,</add usr>");
        w->Socketmain_DataArrival(room("hi", "N", "ann"));
        const QString html = w->txtrx->document()->toHtml();
        for (const QString &message : {QString("<bsy usr>bob</bsy usr>"),
                                       QString("<FRE USR>bob</fre usr>")}) {
            caretToStart(w);
            w->Socketmain_DataArrival(message);
            QCOMPARE(usersOf(w), QStringList({"ann", "bob"}));
            QCOMPARE(w->txtrx->document()->toHtml(), html);
            QCOMPARE(caretOf(w), endOf(w));
        }
    }

    void loginAnswersDoNotScroll()
    {
        w->Socketmain_DataArrival(room("hi", "N", "ann"));
        caretToStart(w);
        w->Socketmain_DataArrival("login successful");
        QCOMPARE(caretOf(w), 0);
        QCOMPARE(shownLines(w->txtrx), QStringList{"ann : hi"});
        // Close but not equal: an ordinary room text, which is not decodable here.
        w->Socketmain_DataArrival("login successful ");
        QCOMPARE(caretOf(w), 0);
    }

    void theEndOfTheMessageWindowComesIntoViewAndTheFocusStays()
    {
        w->resize(500, 300);
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w));
        w->txtTx->setEnabled(true);
        w->txtTx->setFocus();
        for (int i = 0; i < 200; ++i)
            w->Socketmain_DataArrival(room("line " + QString::number(i), "N", "bob"));
        QScrollBar *bar = w->txtrx->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QTRY_COMPARE(bar->value(), bar->maximum());
        QCOMPARE(QApplication::focusWidget(), w->txtTx);

        bar->setValue(0);
        w->ScrollMessageWindow();
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(QApplication::focusWidget(), w->txtTx);
    }

    void undecodableMessagesAreDropped_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << "";
        QTest::newRow("no end tag") << "<message>hi<style>N<user>bob";
        QTest::newRow("no user tag") << "<message>hi<style>N</user></message>";
        QTest::newRow("tags out of order") << "<style>N<message>hi<user>bob</user></message>";
        QTest::newRow("just text") << "hello";
        QTest::newRow("addition without a comma") << "<add usr>bob</add usr>";
        QTest::newRow("addition without an end") << "<add usr>bob,";
        QTest::newRow("removal without a name") << "<rem usr>,</rem usr>";
        QTest::newRow("add marker in capitals") << "<ADD USR>bob,</ADD USR>";
    }
    void undecodableMessagesAreDropped()
    {
        QFETCH(QString, message);
        w->Socketmain_DataArrival("<add usr>ann,bob,</add usr>");
        w->Socketmain_DataArrival(room("hi", "N", "ann"));
        const QString html = w->txtrx->document()->toHtml();
        const qint16 silent = Globals::nSilentJoins;
        caretToStart(w);

        w->Socketmain_DataArrival(message);
        QCOMPARE(w->txtrx->document()->toHtml(), html);
        QCOMPARE(usersOf(w), QStringList({"ann", "bob"}));
        QCOMPARE(Globals::nSilentJoins, silent);
        QCOMPARE(caretOf(w), 0); // not even scrolled
    }
};

// Relayed private chat requests: they answer "<busy>" on the server connection, so these run
// against a loopback server.
class RequestTest : public QObject
{
    Q_OBJECT

    frmMain *w = nullptr;
    LoopbackServer *server = nullptr;
    FakeMessageBoxes *boxes = nullptr;

    QStringList sentAfterLogin() const
    {
        return server->messages(0).mid(1);
    }

private slots:
    void init()
    {
        boxes = new FakeMessageBoxes;
        server = new LoopbackServer;
        w = startMainWindow();
        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", QString::number(server->port())});
        QTRY_COMPARE(server->messages(0), QStringList{"ann///pw"});
    }
    void cleanup()
    {
        discardClientWindows();
        delete server;
        delete boxes;
    }

    void aRequestIsTakenWhenNoChatIsActive()
    {
        QSignalSpy taken(w, &frmMain::RequestTaken);
        bool busyBeforeHandOver = false;
        connect(w, &frmMain::RequestTaken, this, [&] {
            busyBeforeHandOver = Globals::bPrivateChatActive && Globals::sRequestUser == "bob";
        });
        caretToStart(w);
        w->Socketmain_DataArrival(request("let us talk", "192.168.1.20", "5123", "bob"));

        QCOMPARE(taken.count(), 1);
        QVERIFY(busyBeforeHandOver);
        QCOMPARE(Globals::bPrivateChatActive, true);
        QCOMPARE(Globals::sRequestMessage, QString("let us talk"));
        QCOMPARE(Globals::sRequestAddr, QString("192.168.1.20"));
        QCOMPARE(Globals::sRequestPort, QString("5123"));
        QCOMPARE(Globals::sRequestUser, QString("bob"));
        QTRY_COMPARE(sentAfterLogin(), QStringList{"<busy>"});
        QCOMPARE(caretOf(w), endOf(w));
        QCOMPARE(shownLines(w->txtrx), QStringList()); // nothing written
    }

    void aLongOrTagLikeMessageKeepsTheRequester()
    {
        QSignalSpy taken(w, &frmMain::RequestTaken);
        const QString message = "nineteen characters"; // 19: past what fixed positions allow
        QCOMPARE(message.size(), 19);
        w->Socketmain_DataArrival(request(message + " <addr>r> ok", "10.0.0.7", "6000", "bob"));
        QCOMPARE(taken.count(), 1);
        QCOMPARE(Globals::sRequestMessage, message + " <addr>r> ok");
        QCOMPARE(Globals::sRequestAddr, QString("10.0.0.7"));
        QCOMPARE(Globals::sRequestUser, QString("bob"));
    }

    void aRequestWhileAChatIsActiveIsIgnored()
    {
        QSignalSpy taken(w, &frmMain::RequestTaken);
        w->Socketmain_DataArrival(request("first", "192.168.1.20", "5123", "bob"));
        QCOMPARE(taken.count(), 1);
        caretToStart(w);
        w->Socketmain_DataArrival(request("second", "192.168.1.30", "5999", "cy"));
        QCOMPARE(taken.count(), 1);
        QCOMPARE(Globals::sRequestUser, QString("bob"));
        QCOMPARE(Globals::sRequestPort, QString("5123"));
        QCOMPARE(caretOf(w), 0); // no scroll either
        // Only the first "<busy>" went out (a later room line marks the end of what was sent).
        w->Command1_Click();
        QTRY_COMPARE(sentAfterLogin().size(), 2);
        QCOMPARE(sentAfterLogin()[0], QString("<busy>"));
        QVERIFY(sentAfterLogin()[1].startsWith("<message>"));
    }

    void aRequestThatFailsItsChecksIsDropped_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("port below range") << request("hi", "192.168.1.20", "4999", "bob");
        QTest::newRow("port above range") << request("hi", "192.168.1.20", "6001", "bob");
        QTest::newRow("port not a number") << request("hi", "192.168.1.20", "5x00", "bob");
        QTest::newRow("host name") << request("hi", "evil.example", "5100", "bob");
        QTest::newRow("three parts") << request("hi", "192.168.1", "5100", "bob");
        QTest::newRow("no end tag") << "<rqst>hi<addr>192.168.1.20<port>5100<user>bob";
        QTest::newRow("no addr tag") << "<rqst>hi 192.168.1.20<port>5100<user>bob</rqst>";
        QTest::newRow("only the marker") << "<RQST>";
    }
    void aRequestThatFailsItsChecksIsDropped()
    {
        QFETCH(QString, message);
        QSignalSpy taken(w, &frmMain::RequestTaken);
        caretToStart(w);
        w->Socketmain_DataArrival(message);
        QCOMPARE(taken.count(), 0);
        QCOMPARE(Globals::bPrivateChatActive, false);
        QVERIFY(Globals::sRequestUser.isEmpty());
        QVERIFY(Globals::sRequestAddr.isEmpty());
        QCOMPARE(caretOf(w), 0);
        w->Command1_Click(); // marks the end of what was sent
        QTRY_COMPARE(sentAfterLogin().size(), 1);
        QVERIFY(sentAfterLogin()[0].startsWith("<message>"));
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int status = 0;
    {
        DispatcherTest dispatcher;
        status |= QTest::qExec(&dispatcher, argc, argv);
    }
    {
        RequestTest requests;
        status |= QTest::qExec(&requests, argc, argv);
    }
    return status;
}

#include "tst_dispatcher.moc"
