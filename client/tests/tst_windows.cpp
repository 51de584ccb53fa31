// The client's windows outside private chats: every window's accessible names; the main window with
// its login dialog and About box: start-up, the dialog's checks and keys, the server connection
// (logging in, disconnecting and reconnecting, a refused connection or login, a server that ends the
// connection in the middle of a message, closing the window),
// the dispatcher driven by message texts, and composing room messages (the exact bytes that reach a
// loopback server). Network text shown literally is a case of the untrusted-input suite.
#include "BusyMarks.h"
#include "ClientTestSupport.h"
#include "FindBar.h"
#include "TextTools.h"
#include "frmabout1.h"
#include "frmcanvas.h"
#include "frmchat.h"
#include "frmprivatechat.h"
#include "frmreqchat.h"

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
        discardWindows<frmchat, frmreqchat, frmabout1, frmcanvas, frmprivatechat>();
        discardClientWindows();
        delete server;
        delete boxes;
    }

    void onTheDesktopControlsAreNamedAndTheMessageWindowStaysWhite()
    {
        const QList<QWidget *> windows{w, Window<frmAddress>::load(), Window<frmabout>::load(),
                                       Window<frmabout1>::load(), Window<frmreqchat>::load(),
                                       Window<frmchat>::load(), Window<frmprivatechat>::load(),
                                       Window<frmcanvas>::load()}; // all with empty values
        const auto nameOf = [](QObject *object) {
            QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(object);
            return iface ? iface->text(QAccessible::Name).trimmed() : QString();
        };
        // The controls are the widgets the window's code named; Qt's own inner widgets ("qt_..."
        // or unnamed) belong to the control around them.
        QStringList unnamed;
        for (QWidget *window : windows) {
            QVERIFY(!nameOf(window).isEmpty());
            for (QWidget *control : window->findChildren<QWidget *>()) {
                if (!control->objectName().isEmpty() && !control->objectName().startsWith("qt_")
                    && !qobject_cast<QMenu *>(control) && nameOf(control).isEmpty())
                    unnamed << window->objectName() + '.' + control->objectName();
            }
        }
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(", ")));
        const QPixmap icon = w->windowIcon().pixmap(QSize(48, 48), 2.0); // drawn from the SVG
        QVERIFY2(icon.size() == QSize(96, 96), "no crisp program icon: is libqt6svg6 installed?");

        discardClientWindows(); // under a dark theme the message window stays white
        const QPalette original = QApplication::palette();
        QApplication::setPalette(QPalette(QColor(40, 40, 40)));
        w = startMainWindow();
        const QColor paper = w->txtrx->palette().color(QPalette::Base);
        QApplication::setPalette(original);
        QCOMPARE(paper, QColor(Qt::white));
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
        for (const char *bad : {"0", "65536", "9999999999", "27a7", "+2727", " 2727", "Autos"})
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

    void theLoginDialogsKeysCancelAndCloseBox()
    {
        frmAddress *d = Window<frmAddress>::show();
        QVERIFY(QTest::qWaitForWindowActive(d));
        QCOMPARE(QApplication::focusWidget(), d->Text1);
        QTest::keyClick(d->Text1, Qt::Key_Tab);
        QTest::keyClicks(QApplication::focusWidget(), "pa ss");
        QCOMPARE(d->Text2->displayText(), QString("*****"));
        QTest::keyClick(d->Text2, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), d->cmdOK);
        d->Text1->setText("ann");
        QTest::keyClick(d->cmdOK, Qt::Key_Tab);
        QTest::keyClick(d->cmdCancel, Qt::Key_Return); // Enter is OK, even on Cancel
        QVERIFY(Globals::sUserName == "ann" && !Window<frmAddress>::get());
        QCOMPARE(Globals::sServerHost, frmAddress::hostPresets().first());

        Window<frmAddress>::show()->close(); // the close box leaves everything alone
        QCOMPARE(Globals::sServerHost, frmAddress::hostPresets().first());
        QTest::keyClick(Window<frmAddress>::show()->Text1, Qt::Key_Escape); // Esc is Cancel,
        QVERIFY(Globals::sServerHost.isEmpty() && !Window<frmAddress>::get()); // which forgets the host
        QCOMPARE(Globals::sUserName, QString("ann"));
    }

    // --- The server connection ---

    void startUpConnectingDisconnectingAndClosing()
    {
        ProgramEndRecorder ends;
        QVERIFY(appearance() == AtStartUp && Globals::nServerPort == 2727); // the dialog's design port
        QVERIFY(Window<frmAddress>::get() && !Window<frmAddress>::get()->isVisible());
        QMetaObject::invokeMethod(Window<frmAddress>::get()->cmdCancel, &QPushButton::click,
                                  Qt::QueuedConnection);
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

        // Ready for a new Connect; Exit disconnects, closes the dialogs and ends the program.
        w->show();
        connectAsAnn(w, server->port());
        QCOMPARE(appearance(), ConnectedAsAnn);
        QTRY_COMPARE(server->connectionCount(), 4);
        Window<frmabout>::show();
        Window<frmAddress>::load();
        QSignalSpy disconnects(w->Socketmain, &varrow::Socket::Disconnected);
        w->mnuFileExit->trigger();
        QVERIFY(ends.count == 1 && disconnects.count() == 1);
        QVERIFY(!Window<frmAddress>::get() && !Window<frmabout>::get() && !Window<frmMain>::get());
        QCOMPARE(shownLines(w->txtrx).size(), 2); // join notices only, no "lost" line
        // The socket layer is released: the process can make no connection any more.
        QVERIFY(!w->Socketmain->Connect("127.0.0.1", QString(), server->port()));
        QTRY_VERIFY(!server->isOpen(3));
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

        // The head is never shown; the loss is, in grey; Send and Clear say there is no connection.
        QTRY_COMPARE(appearance(), Disconnected);
        QCOMPARE(shownLines(w->txtrx), (QStringList{"ann : one", frmMain::ConnectionLostText}));
        QCOMPARE(runsOfLine(w->txtrx, 1), QStringList{frmMain::ConnectionLostText + " #969696"});
        QVERIFY(w->lstusers->count() == 0 && boxes->shown.isEmpty());
        w->txtTx->setText("kept");
        w->Command1->click();
        w->Command2->click();
        QCOMPARE(boxes->shown, QList<ShownBox>(2, {"No Valid Connection , Please make connection", "Error",
                                                   BoxIcon::Information}));
        QCOMPARE(w->txtTx->text(), QString("kept"));

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

    void busyMarksFollowTheNoticesTheUsersAndTheConnection()
    {
        const auto busy = [this] { // the users that look busy and say so ("?": only one of the two)
            QStringList names;
            for (int i = 0; i < w->lstusers->count(); ++i) {
                const QListWidgetItem *item = w->lstusers->item(i);
                const bool marked = item->font().italic() && item->toolTip() == BusyDescription
                    && item->data(Qt::AccessibleDescriptionRole) == BusyDescription;
                if (marked || isUserBusy(w->lstusers, item->text()))
                    names << (marked == isUserBusy(w->lstusers, item->text()) ? "" : "?") + item->text();
            }
            return names;
        };
        w->Socketmain_DataArrival("<add usr>ann,bob,cy,</add usr>");
        for (const char *m : {"<bsy usr>bob</bsy usr>", "<BSY USR>cy</BSY USR>", "<bsy usr>zed</bsy usr>"})
            w->Socketmain_DataArrival(m);
        QCOMPARE(busy(), QStringList({"bob", "cy"}));
        QCOMPARE(users(), QStringList({"ann", "bob", "cy"})); // the bare names
        w->Socketmain_DataArrival("<fre usr>bob</fre usr>");
        w->Socketmain_DataArrival("<rem usr>cy,</rem usr>");
        w->Socketmain_DataArrival("<add usr>cy,</add usr>"); // back, and free
        QCOMPARE(busy(), QStringList());
        w->Socketmain_DataArrival("<bsy usr>ann</bsy usr>");
        w->mnuFileDisconnect_Click();
        w->Socketmain_DataArrival("<add usr>ann,bob,</add usr>"); // a new login starts clean
        QCOMPARE(busy(), QStringList());
    }

    void findAndSaveInTheMessageWindowFromTheKeyboard()
    {
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w));
        w->Socketmain_DataArrival("<add usr>ann,bob,</add usr>");
        w->Socketmain_DataArrival("<add usr>cy,</add usr>");
        w->Socketmain_DataArrival(room("Hi, this is bob", "B", "bob"));
        w->Socketmain_DataArrival(room("h\u00e9llo, HI"));
        w->Socketmain_DataArrival(room("Server up", "I", "Server"));
        FindBar *bar = w->findChild<FindBar *>();
        const auto found = [&] { // the selected match, its number and the count
            return w->txtrx->textCursor().selectedText() + '|' + bar->status->text();
        };
        w->txtTx->setFocus();
        QTest::keyClick(w->txtTx, Qt::Key_F, Qt::ControlModifier);
        QVERIFY(bar->isOpen() && bar->field->hasFocus());
        QTest::keyClicks(bar->field, "hi");
        QCOMPARE(found(), QString("Hi|1 of 3"));
        QTest::keyClick(bar->field, Qt::Key_Return);
        QCOMPARE(found(), QString("hi|2 of 3"));
        QTest::keyClick(bar->field, Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClick(bar->field, Qt::Key_Return, Qt::ShiftModifier); // round the start
        QCOMPARE(found(), QString("HI|3 of 3"));
        bar->matchCase->click();
        QCOMPARE(found(), QString("hi|1 of 1"));
        QCOMPARE(w->txtrx->extraSelections().size(), 1);
        w->Socketmain_DataArrival(room("hi again", "N", "bob")); // lines come in, the view stays
        QTRY_COMPARE(found(), QString("hi|1 of 2"));
        QCOMPARE(w->txtrx->extraSelections().size(), 2);
        QTest::keyClick(bar->field, Qt::Key_Escape);
        QVERIFY(!bar->isOpen() && !bar->isVisible() && w->txtrx->extraSelections().isEmpty());
        QCOMPARE(QApplication::focusWidget(), w->txtrx);

        QTemporaryDir dir;
        QString offered;
        services().chooseSavePath = [&](QWidget *, const QString &suggested) {
            offered = suggested;
            return dir.filePath("room.txt");
        };
        QTest::keyClick(w->txtTx, Qt::Key_S, Qt::ControlModifier);
        services().chooseSavePath = nullptr;
        QVERIFY(offered.endsWith("/Quillet room " + QDate::currentDate().toString(Qt::ISODate) + ".txt"));
        QFile saved(dir.filePath("room.txt"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("cy joined the room. \nbob : Hi, this is bob\nann : h\xc3\xa9llo, HI\n"
                                             "Server up\nbob : hi again\n"));
        const TextTools *tools = w->txtrx->findChild<TextTools *>();
        const std::unique_ptr<QMenu> menu(tools->contextMenu({}));
        QVERIFY(menu->actions().contains(tools->findAction) && menu->actions().contains(tools->saveAction));
    }

    // A request's desktop notice: none while a window of the program is active, one per request
    // (the one before taken back), a click brings the request's window up; without a service the
    // window asks for attention.
    void aRequestNoticeShowsOncePerRequestWhileNoWindowIsActive()
    {
        FakeNotifications notices;
        AttentionRecorder attention;
        RequestNotice notice(services());
        QWidget dialog;
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w));
        notice.requestArrived("bob", "hi", &dialog);
        w->hide();
        QTRY_VERIFY(!QApplication::activeWindow());
        notice.requestArrived("bob", "let's <b>talk</b>", &dialog);
        notice.requestArrived("cy", "now?", &dialog);
        QCOMPARE(notices.shown, QStringList({"Private chat request from bob: let's <b>talk</b>",
                                             "Private chat request from cy: now?"}));
        emit notices.activated(2);
        QTRY_COMPARE(QApplication::activeWindow(), &dialog);
        notice.requestEnded();
        QCOMPARE(notices.withdrawn, QList<quint32>({1, 2}));
        dialog.hide();
        QTRY_VERIFY(!QApplication::activeWindow());
        notices.running = false;
        notice.requestArrived("dee", "hi", &dialog);
        QCOMPARE(attention.requests, QList<QWidget *>{&dialog});
        QCOMPARE(notices.shown.size(), 2);
    }

    void roomLinesAskForAttentionOncePerBurstWhileTheWindowIsInactive()
    {
        AttentionRecorder recorder;
        connectToServer();
        server->send(0, room("seen as it comes"));
        QTRY_COMPARE(shownLines(w->txtrx).size(), 1);
        QVERIFY(recorder.requests.isEmpty());
        QWidget elsewhere;
        for (int burst = 1; burst <= 2; ++burst) { // once the window was active, the next burst asks again
            elsewhere.show();
            elsewhere.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
            server->send(0, room("one"));
            server->send(0, room("two"));
            QTRY_COMPARE(shownLines(w->txtrx).size(), 1 + 2 * burst);
            QCOMPARE(recorder.requests, QList<QWidget *>(burst, w));
            QCOMPARE(QApplication::activeWindow(), &elsewhere); // asked, not taken
            w->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(w));
        }
    }

    // --- Composing ---

    void composingSendsTheExactRoomMessage()
    {
        connectToServer();
        QTest::keyClicks(w->txtTx, "hi");
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        QTRY_COMPARE(server->received(0),
                     QByteArray("ann///pw\0<message>hi<style>N<user>ann</user></message>\0", 55));
        QVERIFY(w->txtTx->text().isEmpty() && QApplication::focusWidget() == w->txtTx);
        QCOMPARE(shownLines(w->txtrx), QStringList()); // shown when the server's copy comes
        // The toggles keep their state from line to line.
        QTest::mouseClick(w->bold, Qt::LeftButton);
        w->txtTx->setText("b");
        QTest::mouseClick(w->Command1, Qt::LeftButton);
        QTest::mouseClick(w->italic, Qt::LeftButton);
        w->txtTx->setText("bi");
        QTest::keyClick(w->txtTx, Qt::Key_Enter, Qt::KeypadModifier);
        QTest::mouseClick(w->bold, Qt::LeftButton);
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
        QVERIFY(w->txtTx->text().isEmpty() && QApplication::focusWidget() == w->txtTx);
        QTRY_COMPARE(sent(), QStringList({room("hi"), room("b", "B"), room("bi", "BI"), room("Wave!", "I"),
                                          room("a <b>tag</b> & </user></message> ///", "I"), room("", "I")}));
        QVERIFY(boxes->shown.isEmpty());
    }
};

QTEST_MAIN(WindowsTest)
#include "tst_windows.moc"
