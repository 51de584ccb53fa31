// The main window outside private chats: the login dialog's checks; the server connection (logging
// in, disconnecting and reconnecting, a refused connection or login, a server that ends the
// connection in the middle of a message); how room lines and joins are shown. (A room line sent: the
// end-to-end walk.) Network text shown literally is a case of the untrusted-input
// suite; the message rules are the protocol table's.
#include "ClientTestSupport.h"

#include <varrow/Socket.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

using namespace quillet;
using namespace quillet::test;

namespace {
const QString AtStartUp = "Quillet|  User :    None|0|1|0";
const QString Disconnected = "Quillet :[Disconnected]|  User :    None|0|1|0";
const QString ConnectedAsAnn = "Quillet [Connected]|User :    ann|1|0|1";
const QString FillAll = " Error , Please fill the all information ";
} // namespace

class WindowsTest : public QObject
{
    Q_OBJECT

    FakeMessageBoxes *boxes = nullptr;
    LoopbackServer *server = nullptr;
    frmMain *w = nullptr;

    // Caption, user label, and whether the entry line, Connect and Disconnect are enabled.
    QString appearance() const
    {
        return QStringList{w->windowTitle(), w->Label1->text(), QString::number(w->txtTx->isEnabled()),
                           QString::number(w->mnuFileConnect->isEnabled()),
                           QString::number(w->mnuFileDisconnect->isEnabled())}.join('|');
    }
    // Shows the window and logs in as ann to the loopback server.
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

    void theLoginDialogChecksAndStores_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("box"); // none when accepted
        QTest::addColumn<QString>("stored"); // user, password, host, port
        QTest::newRow("a blank is a value") << " " << "5151" << "" << " |p///w |localhost|5151";
        QTest::newRow("Auto") << "ann" << "auto" << "" << "ann|p///w |localhost|2727";
        QTest::newRow("no user") << "" << "2800" << FillAll << "earlier|||2727";
        QTest::newRow("no port") << "ann" << "" << FillAll << "earlier|||2727";
        for (const char *bad : {"0", "65536", "27a7", "+2727", "Autos"})
            QTest::newRow(bad) << "ann" << bad << frmAddress::BadPortText << "earlier|||2727";
    }
    void theLoginDialogChecksAndStores()
    {
        QFETCH(QString, user);
        QFETCH(QString, port);
        QFETCH(QString, box);
        QFETCH(QString, stored);
        Globals::sUserName = "earlier";
        frmAddress *d = Window<frmAddress>::show();
        d->Text1->setText(user);
        d->Text2->setText("p///w ");
        d->ComboAddress->setEditText("localhost");
        d->ComboPort->setEditText(port);
        d->cmdOK->click();
        QCOMPARE(boxes->shown.value(0).text, box);
        QCOMPARE(QStringList({Globals::sUserName, Globals::sPassword, Globals::sServerHost,
                              QString::number(Globals::nServerPort)}).join('|'), stored);
        QCOMPARE(Window<frmAddress>::get() == d, !box.isEmpty()); // open until accepted
    }

    // --- The server connection ---

    void startUpConnectingDisconnectingAndClosing()
    {
        QVERIFY(appearance() == AtStartUp && Globals::nServerPort == 2727); // the dialog's design port
        QVERIFY(!Window<frmAddress>::get()); // built when Connect first needs it
        QTimer::singleShot(0, [] { Window<frmAddress>::get()->cmdCancel->click(); });
        w->mnuFileConnect->trigger(); // cancelled: nothing happens
        QVERIFY(appearance() == AtStartUp && boxes->shown.isEmpty());
        QTcpServer probe; // a port nobody listens on
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QString unused = QString::number(probe.serverPort());
        probe.close();
        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", unused});
        QCOMPARE(boxes->shown, (QList<ShownBox>{{"Connect Failed!", "Error!", BoxIcon::Exclamation}}));
        QCOMPARE(appearance(), AtStartUp);

        // Connected and disconnected twice, then the login is refused: the box comes up once the
        // window is disconnected.
        QString whileBoxShown;
        boxes->onShow = [&] { whileBoxShown = appearance(); };
        for (int round = 0; round < 3; ++round) {
            connectAsAnn(w, server->port());
            QCOMPARE(appearance(), ConnectedAsAnn);
            QVERIFY(!w->mnuOptPrefs->isEnabled() && Globals::sServerHost.isEmpty()); // asks again
            QTRY_COMPARE(server->received(round), QByteArray("ann///pw", 9)); // and its 0 byte
            w->Socketmain_DataArrival("<add usr>ann,bob,</add usr>");
            if (round < 2)
                w->mnuFileDisconnect->trigger();
            else
                server->send(round, "login fail");
            QTRY_COMPARE(appearance(), Disconnected); // the entry line too: nothing gets lost
            QCOMPARE(w->lstusers->count(), 0);        // the next login lists everybody afresh
            QTRY_VERIFY(!server->isOpen(round));
        }
        QCOMPARE(boxes->shown.mid(1),
                 (QList<ShownBox>{{frmMain::LoginRefusedText, "Error!", BoxIcon::Exclamation}}));
        QCOMPARE(whileBoxShown, Disconnected);
    }

    void aServerThatEndsInTheMiddleOfAMessage_data()
    {
        QTest::addColumn<int>("head"); // how much of the message goes out (-1: all but its 0 byte)
        QTest::addColumn<bool>("reset");
        QTest::newRow("close inside a tag") << 14 << false;
        QTest::newRow("close before the terminator") << -1 << false;
        QTest::newRow("reset inside a tag") << 14 << true;
    }
    void aServerThatEndsInTheMiddleOfAMessage()
    {
        QFETCH(int, head);
        QFETCH(bool, reset);
        connectToServer();
        server->send(0, "<add usr>ann,bob,</add usr>");
        server->send(0, room("one"));
        QTRY_COMPARE(shownLines(w->txtrx), QStringList{"ann : one"});
        const QByteArray message = room("two").toLatin1();
        QTcpSocket *socket = server->socket(0);
        socket->write(head < 0 ? message : message.left(head));
        int unacknowledged = -1; // the head has reached the client's kernel
        QTRY_VERIFY(socket->bytesToWrite() == 0 && ::ioctl(int(socket->socketDescriptor()), SIOCOUTQ, &unacknowledged) == 0
                    && unacknowledged == 0);
        reset ? resetConnection(socket) : socket->disconnectFromHost();

        // The head is never shown; the loss is, in grey.
        QTRY_COMPARE(appearance(), Disconnected);
        QCOMPARE(shownLines(w->txtrx), (QStringList{"ann : one", frmMain::ConnectionLostText}));
        QCOMPARE(runsOfLine(w->txtrx, 1), QStringList{frmMain::ConnectionLostText + " #969696"});
        QVERIFY(w->lstusers->count() == 0 && boxes->shown.isEmpty());

        // A new connection starts clean: nothing of the old head is glued to its first message.
        connectAsAnn(w, server->port());
        QTRY_COMPARE(server->connectionCount(), 2);
        server->send(1, room("three", "N", "bob"));
        QTRY_COMPARE(shownLines(w->txtrx).value(2), QString("bob : three"));
        QCOMPARE(server->messages(0), QStringList{"ann///pw"}); // nothing was sent meanwhile
    }

    // --- The dispatcher ---

    void aRoomLineIsABlueNameAndStyledText()
    {
        // NAME, STYLE, then the runs of the line
        const QList<QStringList> lines{{"bob", "B", "bob :  #0000ff", "Server up #000000 B"},
                                       {"bob", "BI", "bob :  #0000ff", "Server up #000000 B I"},
                                       {"bob", "IB", "bob :  #0000ff", "Server up #000000"}, // plain
                                       {"eve", "I", "eve :  #0000ff", "Server up #000000 I"},
                                       {"Server", "I", "Server up #969696 I"}, // a notice: grey italic,
                                       {"SERVER", "B", "Server up #000000 B"}}; // else black
        for (int i = 0; i < lines.size(); ++i) {
            caretToStart();
            w->Socketmain_DataArrival(room("Server up", lines[i][1], lines[i][0]));
            QCOMPARE(runsOfLine(w->txtrx, i), lines[i].mid(2));
            QVERIFY(scrolled());
        }
        // The same lines again in one turn of the event loop (one edit): the same runs, in order.
        for (const QStringList &line : lines)
            w->Socketmain_DataArrival(room("Server up", line[1], line[0]));
        for (int i = 0; i < lines.size(); ++i)
            QCOMPARE(runsOfLine(w->txtrx, int(lines.size()) + i), lines[i].mid(2));
    }

    void joinsAreSilentUntilFourNamesAndARemovalTakesEveryEqualEntry()
    {
        w->Socketmain_DataArrival("<add usr>ann,</add usr>");               // silent: 1
        w->Socketmain_DataArrival("<add usr>bob,cy,</add usr>");            // bob told, cy silent
        w->Socketmain_DataArrival("<add usr>dee,eve,fay,gus,</add usr>");   // dee and gus told
        w->Socketmain_DataArrival("<add usr>a5,a6,a7,a8,a9,tail</add usr>"); // every name, all told
        QCOMPARE(users(), QString("ann bob cy dee eve fay gus a5 a6 a7 a8 a9").split(' '));
        QCOMPARE(shownLines(w->txtrx).size(), 8);
        QCOMPARE(shownLines(w->txtrx).mid(1, 2),
                 QStringList({"dee joined the room. ", "gus joined the room. "}));
        QCOMPARE(runsOfLine(w->txtrx, 0), QStringList{"bob joined the room.  #969696"});
        QCOMPARE(Globals::nSilentJoins, qint16(4));

        w->Socketmain_DataArrival("<add usr>bob,</add usr>");
        w->Socketmain_DataArrival("<REM USR>bob,ann,</rem usr>"); // any case; the first name only
        QCOMPARE(users(), QString("ann cy dee eve fay gus a5 a6 a7 a8 a9").split(' '));
        QCOMPARE(runsOfLine(w->txtrx, 9) + runsOfLine(w->txtrx, 10),
                 QStringList(2, "bob has left the room.  #969696"));
    }
};

QTEST_MAIN(WindowsTest)
#include "tst_windows.moc"
