// The main window: start-up, its controls, connecting and logging in, disconnecting, reconnecting,
// a refused connection or login, a connection the server closes, and closing the window.
#include "FakeMessageBoxes.h"
#include "Globals.h"
#include "LoopbackServer.h"
#include "WindowDriver.h"
#include "frmAddress.h"
#include "frmMain.h"
#include "frmabout.h"

#include <varrow/Socket.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

namespace {

// The window's connection-dependent appearance, compared as one value.
struct Appearance
{
    QString caption;
    QString user;
    bool entryEnabled;
    bool connectEnabled;
    bool disconnectEnabled;

    bool operator==(const Appearance &) const = default;
};

Appearance appearanceOf(const frmMain *w)
{
    return {w->windowTitle(), w->Label1->text(), w->txtTx->isEnabled(),
            w->mnuFileConnect->isEnabled(), w->mnuFileDisconnect->isEnabled()};
}

const Appearance Disconnected{"Quillet :[Disconnected]", "  User :    None", false, true, false};

Appearance connectedAs(const QString &user)
{
    return {"Quillet [Connected]", "User :    " + user, true, false, true};
}

char *toString(const Appearance &a)
{
    return qstrdup(QStringLiteral("{%1 | %2 | entry %3 | connect %4 | disconnect %5}")
                       .arg(a.caption, a.user)
                       .arg(a.entryEnabled)
                       .arg(a.connectEnabled)
                       .arg(a.disconnectEnabled)
                       .toUtf8()
                       .constData());
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        discardClientWindows();
    }

    void startUpShowsTheDisconnectedWindow()
    {
        Globals::reset();
        Globals::bPrivateChatActive = true;
        Globals::sFirstRun.clear();
        frmMain *w = Window<frmMain>::load();

        QCOMPARE(w->windowTitle(), QString("Quillet"));
        QCOMPARE(w->Label1->text(), QString("  User :    None"));
        QVERIFY(!w->txtTx->isEnabled());
        QVERIFY(w->mnuFileConnect->isEnabled());
        QVERIFY(!w->mnuFileDisconnect->isEnabled());
        QVERIFY(w->mnuOptPrefs->isEnabled());
        QVERIFY(w->Socketmain->Asynchronous());
        QCOMPARE(Globals::sFirstRun, QString("rilko"));
        QCOMPARE(Globals::nServerPort, 2727);
        QCOMPARE(Globals::bPrivateChatActive, false);
        // The login dialog stays loaded, hidden, after giving its port.
        frmAddress *login = Window<frmAddress>::get();
        QVERIFY(login);
        QVERIFY(!login->isVisible());
    }

    void aSecondLoadDoesNotReadThePortAgain()
    {
        Globals::reset();
        Globals::sFirstRun = "rilko";
        Globals::nServerPort = 4242;
        frmMain *w = Window<frmMain>::load();
        QVERIFY(w);
        QCOMPARE(Globals::nServerPort, 4242);
        QCOMPARE(Window<frmAddress>::get(), nullptr);
    }

    void everyControlHasItsNameCaptionAndTooltip()
    {
        frmMain *w = startMainWindow();
        QCOMPARE(w->findChild<varrow::Socket *>("Socketmain"), w->Socketmain);
        QCOMPARE(w->findChild<QLabel *>("Label2")->text(), QString("Message Window"));
        QCOMPARE(w->findChild<QLabel *>("Label3")->text(), QString("Online Users"));
        QCOMPARE(w->findChild<QLabel *>("Label4")->text(), QString("Emotions:"));
        QCOMPARE(w->findChild<QPlainTextEdit *>("txtrx")->toolTip(), QString("Main Chat Window"));
        QVERIFY(w->txtrx->isReadOnly());
        QVERIFY(w->findChild<QListWidget *>("lstusers"));
        QCOMPARE(w->lstusers->count(), 0);
        QCOMPARE(w->findChild<QLineEdit *>("txtTx"), w->txtTx);

        QCOMPARE(w->findChild<QPushButton *>("Command1")->text(), QString("&Send"));
        QCOMPARE(w->Command1->toolTip(), QString("Click this button to send message to your friend."));
        QVERIFY(!w->Command1->isDefault());
        QCOMPARE(w->findChild<QPushButton *>("Command2")->text(), QString("&Clear"));
        QCOMPARE(w->Command2->toolTip(),
                 QString("Click this button to clear the message text box.  "));

        QToolButton *boldButton = w->findChild<QToolButton *>("bold");
        QToolButton *italicButton = w->findChild<QToolButton *>("italic");
        QCOMPARE(boldButton->text(), QString("B"));
        QVERIFY(boldButton->font().bold());
        QVERIFY(boldButton->isCheckable());
        QVERIFY(!boldButton->isChecked());
        QCOMPARE(italicButton->text(), QString("I "));
        QVERIFY(italicButton->font().bold() && italicButton->font().italic());
        QVERIFY(italicButton->isCheckable());

        QComboBox *emotions = w->findChild<QComboBox *>("Combo1");
        QVERIFY(emotions->isEditable());
        QCOMPARE(emotions->currentText(), QString());
        QStringList items;
        for (int i = 0; i < emotions->count(); ++i)
            items << emotions->itemText(i);
        const QStringList expected = {"Agree", "Apologize", "Applaud", "Beam",    "Beg",
                                      "Blush", "Bow",       "Cheer",   "Clap",    "Disagree",
                                      "Faint", "Flirt",     "Grin",    "Grovel",  "Hug",
                                      "Kiss",  "Laugh",     "Listen",  "Melt",    "Misgrin",
                                      "Nudge", "Nod",       "Sit",     "Smile",   "Stand",
                                      "Wave!"};
        QCOMPARE(items, expected);
    }

    void theMenusHaveTheirItemsInOrder()
    {
        frmMain *w = startMainWindow();
        auto captions = [w](const char *menuName) {
            QStringList list;
            for (QAction *a : w->findChild<QMenu *>(menuName)->actions())
                list << (a->isSeparator() ? "-" : a->text()) + "|" + a->objectName();
            return list;
        };
        QCOMPARE(captions("mnuFile"),
                 QStringList({"C&onnect|mnuFileConnect", "&Disconnect|mnuFileDisconnect",
                              "-|mnuFileSep1", "E&xit|mnuFileExit"}));
        QCOMPARE(captions("mnuOptions"), QStringList({"&Free|mnufree", "&Busy|mnuOptPrefs"}));
        QCOMPARE(captions("mnuuser"), QStringList({"&Private Chat|mnupchat"}));
        QCOMPARE(captions("mnuabout"), QStringList({"&About|mnuhelp"}));
        QCOMPARE(w->mnuFile->title(), QString("&Connection"));
        QCOMPARE(w->mnuOptions->title(), QString("&Status"));
        QCOMPARE(w->mnuuser->title(), QString("&User"));
        QCOMPARE(w->mnuabout->title(), QString("&Help"));
    }

    void theMessageWindowAndUsersListGrowWithTheWindow()
    {
        frmMain *w = startMainWindow();
        w->resize(500, 400);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        const QSize room = w->txtrx->size();
        const QSize users = w->lstusers->size();
        const QSize entry = w->txtTx->size();
        // Arrangement: messages left of users, the entry line below both.
        QVERIFY(w->txtrx->x() < w->lstusers->x());
        QVERIFY(w->txtTx->y() > w->txtrx->y() + room.height());
        QVERIFY(w->bold->y() < w->txtTx->y());

        w->resize(900, 700);
        QTRY_VERIFY(w->txtrx->width() > room.width());
        QVERIFY(w->txtrx->height() > room.height());
        QVERIFY(w->lstusers->height() > users.height());
        QVERIFY(w->lstusers->width() >= users.width());
        QCOMPARE(w->txtTx->height(), entry.height());
    }

    void theMessageWindowStaysWhiteUnderADarkTheme()
    {
        const QPalette original = QApplication::palette();
        QPalette dark = original;
        dark.setColor(QPalette::Base, QColor(30, 30, 30));
        dark.setColor(QPalette::Text, QColor(230, 230, 230));
        QApplication::setPalette(dark);
        frmMain *w = startMainWindow();
        const QPalette shown = w->txtrx->palette();
        QApplication::setPalette(original);
        QCOMPARE(shown.color(QPalette::Active, QPalette::Base), QColor(Qt::white));
        QCOMPARE(shown.color(QPalette::Inactive, QPalette::Base), QColor(Qt::white));
        QCOMPARE(shown.color(QPalette::Active, QPalette::Text), QColor(Qt::black));
    }

    void connectSendsOneLoginMessageAndShowsTheConnectedWindow()
    {
        FakeMessageBoxes boxes;
        LoopbackServer server;
        frmMain *w = startMainWindow();
        connectThroughDialog(w, {"ann", "se cret", "127.0.0.1", QString::number(server.port())});

        QCOMPARE(boxes.count(), 0);
        QCOMPARE(appearanceOf(w), connectedAs("ann"));
        QVERIFY(!w->mnuOptPrefs->isEnabled());
        QVERIFY(Globals::sServerHost.isEmpty()); // the next Connect asks again
        QCOMPARE(Globals::nServerPort, qint32(server.port()));
        QTRY_COMPARE(server.received(0), QByteArray("ann///se cret", 14)); // with its 0 byte
        QCOMPARE(server.connectionCount(), 1);
    }

    void cancellingTheLoginChangesNothing()
    {
        FakeMessageBoxes boxes;
        frmMain *w = startMainWindow();
        const Appearance before = appearanceOf(w);
        frmAddress *login = Window<frmAddress>::load();
        QMetaObject::invokeMethod(login->cmdCancel, &QPushButton::click, Qt::QueuedConnection);
        w->mnuFileConnect->trigger();
        QCOMPARE(appearanceOf(w), before);
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(Window<frmAddress>::get(), nullptr);
    }

    void aRefusedConnectionSaysSoOnce()
    {
        FakeMessageBoxes boxes;
        frmMain *w = startMainWindow();
        const QString title = w->windowTitle();
        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", QString::number(LoopbackServer::unusedPort())});

        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().text, QString("Connect Failed!"));
        QCOMPARE(boxes.last().title, QString("Error!"));
        QCOMPARE(boxes.last().icon, BoxIcon::Exclamation);
        QCOMPARE(w->windowTitle(), title);
        QCOMPARE(w->Label1->text(), QString("  User :    None"));
        QVERIFY(!w->txtTx->isEnabled());
        QVERIFY(w->mnuFileConnect->isEnabled());
        QVERIFY(!w->mnuFileDisconnect->isEnabled());
        QVERIFY(w->Socketmain->Asynchronous());
        QVERIFY(Globals::sServerHost.isEmpty());
    }

    void disconnectClosesTheConnectionAndEmptiesTheWindowState()
    {
        FakeMessageBoxes boxes;
        LoopbackServer server;
        frmMain *w = startMainWindow();
        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", QString::number(server.port())});
        QTRY_COMPARE(server.messages(0), QStringList{"ann///pw"});
        w->Socketmain_DataArrival("<add usr>ann,bob,</add usr>");
        QCOMPARE(w->lstusers->count(), 2);
        const QStringList history = shownLines(w->txtrx);

        w->mnuFileDisconnect->trigger();
        QCOMPARE(appearanceOf(w), Disconnected);
        QVERIFY(!w->mnuOptPrefs->isEnabled());
        QCOMPARE(w->lstusers->count(), 0); // a new login lists everybody afresh
        QCOMPARE(shownLines(w->txtrx), history); // nothing written: the user chose it
        QTRY_VERIFY(!server.isOpen(0));
        QCOMPARE(boxes.count(), 0);
    }

    void reconnectingWorksAgainAndAgain()
    {
        FakeMessageBoxes boxes;
        LoopbackServer server;
        frmMain *w = startMainWindow();
        const QStringList users = {"ann", "bob", "cy"};
        for (int round = 0; round < users.size(); ++round) {
            connectThroughDialog(w, {users[round], "pw", "127.0.0.1", QString::number(server.port())});
            QCOMPARE(appearanceOf(w), connectedAs(users[round]));
            QTRY_COMPARE(server.connectionCount(), round + 1);
            QTRY_COMPARE(server.messages(round), QStringList{users[round] + "///pw"});
            w->mnuFileDisconnect->trigger();
            QCOMPARE(appearanceOf(w), Disconnected);
            QTRY_VERIFY(!server.isOpen(round));
        }
        QCOMPARE(boxes.count(), 0);
    }

    void aConnectionClosedByTheServerIsShown()
    {
        FakeMessageBoxes boxes;
        LoopbackServer server;
        frmMain *w = startMainWindow();
        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", QString::number(server.port())});
        QTRY_COMPARE(server.connectionCount(), 1);
        server.send(0, "<add usr>ann,bob,</add usr>");
        QTRY_COMPARE(w->lstusers->count(), 2);

        server.close(0);
        QTRY_COMPARE(appearanceOf(w), Disconnected);
        QCOMPARE(w->lstusers->count(), 0);
        const QStringList lines = shownLines(w->txtrx);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.last(), frmMain::ConnectionLostText);
        const QList<Run> runs = runsOfLine(w->txtrx, 0);
        QCOMPARE(runs.size(), 1);
        QCOMPARE(runs[0].colour, QColor(150, 150, 150));
        QCOMPARE(boxes.count(), 0);

        // And a new Connect works.
        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", QString::number(server.port())});
        QCOMPARE(appearanceOf(w), connectedAs("ann"));
        QTRY_COMPARE(server.messages(1), QStringList{"ann///pw"});
    }

    void aRefusedLoginIsToldAndEndsTheConnection()
    {
        FakeMessageBoxes boxes;
        LoopbackServer server;
        frmMain *w = startMainWindow();
        connectThroughDialog(w, {"ann", "wrong", "127.0.0.1", QString::number(server.port())});
        QTRY_COMPARE(server.connectionCount(), 1);
        // The box comes up with the window already back to its disconnected appearance.
        Appearance whileBoxShown;
        boxes.onShow = [&](const ShownBox &) { whileBoxShown = appearanceOf(w); };
        server.send(0, "login fail");

        QTRY_COMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().title, QString("Error!"));
        QCOMPARE(boxes.last().icon, BoxIcon::Exclamation);
        QCOMPARE(boxes.last().text, frmMain::LoginRefusedText);
        QCOMPARE(whileBoxShown, Disconnected);
        QCOMPARE(appearanceOf(w), Disconnected);
        QTRY_VERIFY(!server.isOpen(0));
        QCOMPARE(shownLines(w->txtrx), QStringList()); // no "lost" line: we closed it

        connectThroughDialog(w, {"ann", "right", "127.0.0.1", QString::number(server.port())});
        QCOMPARE(appearanceOf(w), connectedAs("ann"));
        QTRY_COMPARE(server.messages(1), QStringList{"ann///right"});
    }

    void anAcceptedLoginChangesNothing()
    {
        FakeMessageBoxes boxes;
        LoopbackServer server;
        frmMain *w = startMainWindow();
        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", QString::number(server.port())});
        QTRY_COMPARE(server.connectionCount(), 1);
        server.send(0, "login successful");
        server.send(0, "<message>hi<style>N<user>bob</user></message>");
        QTRY_COMPARE(shownLines(w->txtrx), QStringList{"bob : hi"});
        QCOMPARE(appearanceOf(w), connectedAs("ann"));
        QCOMPARE(boxes.count(), 0);
    }

    void closingTheWindowDisconnectsAndEndsTheProgram_data()
    {
        QTest::addColumn<bool>("throughExit");
        QTest::newRow("close box") << false;
        QTest::newRow("Exit") << true;
    }
    void closingTheWindowDisconnectsAndEndsTheProgram()
    {
        QFETCH(bool, throughExit);
        FakeMessageBoxes boxes;
        ProgramEndRecorder ends;
        LoopbackServer server;
        frmMain *w = startMainWindow();
        w->show();
        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", QString::number(server.port())});
        QTRY_COMPARE(server.messages(0), QStringList{"ann///pw"});
        Window<frmAddress>::load(); // both dialogs loaded when the window closes
        Window<frmabout>::show();
        QSignalSpy disconnects(w->Socketmain, &varrow::Socket::Disconnected);

        if (throughExit)
            w->mnuFileExit->trigger();
        else
            QVERIFY(w->close());

        QCOMPARE(ends.count, 1);
        QCOMPARE(disconnects.count(), 1);
        QCOMPARE(Window<frmAddress>::get(), nullptr);
        QCOMPARE(Window<frmabout>::get(), nullptr);
        QCOMPARE(Window<frmMain>::get(), nullptr);
        QCOMPARE(shownLines(w->txtrx), QStringList()); // no "lost" line on the way out
        // The socket layer was released: this process can make no connection any more.
        QVERIFY(!w->Socketmain->Connect("127.0.0.1", QString(), server.port()));
        QCOMPARE(boxes.count(), 0);
        QPointer<frmMain> guard(w);
        QTRY_VERIFY(guard.isNull()); // discarded
        QTRY_VERIFY(!server.isOpen(0));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
