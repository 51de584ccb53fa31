// The main window and its server connection: start-up, logging in, disconnecting and reconnecting,
// a refused connection or login, a connection the server closes, and closing the window.
#include "ClientTestSupport.h"
#include "Globals.h"
#include "frmAddress.h"
#include "frmMain.h"
#include "frmabout.h"

#include <varrow/Socket.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

namespace {
// Caption, user label, and whether the entry line, Connect and Disconnect are enabled.
QString appearanceOf(const frmMain *w)
{
    return QStringList{w->windowTitle(), w->Label1->text(), QString::number(w->txtTx->isEnabled()),
                       QString::number(w->mnuFileConnect->isEnabled()),
                       QString::number(w->mnuFileDisconnect->isEnabled())}
        .join('|');
}
const QString AtStartUp = "Quillet|  User :    None|0|1|0";
const QString Disconnected = "Quillet :[Disconnected]|  User :    None|0|1|0";
const QString ConnectedAsAnn = "Quillet [Connected]|User :    ann|1|0|1";
} // namespace

class ConnectionTest : public QObject
{
    Q_OBJECT

    FakeMessageBoxes *boxes = nullptr;
    LoopbackServer *server = nullptr;
    frmMain *w = nullptr;

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

    void startUp()
    {
        QCOMPARE(appearanceOf(w), AtStartUp);
        QCOMPARE(Globals::sFirstRun, QString("rilko"));
        QCOMPARE(Globals::nServerPort, 2727); // the login dialog's design port
        QVERIFY(Window<frmAddress>::get() && !Window<frmAddress>::get()->isVisible());
        // A later load neither reads the port again nor keeps a private chat flag.
        discardClientWindows();
        Globals::nServerPort = 4242;
        Globals::bPrivateChatActive = true;
        Window<frmMain>::load();
        QCOMPARE(Globals::nServerPort, 4242);
        QCOMPARE(Globals::bPrivateChatActive, false);
    }

    void theRoomAndTheUsersGrowWithTheWindowAndStayWhite()
    {
        const QPalette original = QApplication::palette();
        QApplication::setPalette(QPalette(QColor(40, 40, 40))); // a dark theme
        discardClientWindows();
        w = startMainWindow();
        QApplication::setPalette(original);
        QCOMPARE(w->txtrx->palette().color(QPalette::Base), QColor(Qt::white));
        w->resize(500, 400);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        const QSize room = w->txtrx->size(), users = w->lstusers->size();
        w->resize(900, 700);
        QTRY_VERIFY(w->txtrx->width() > room.width() && w->txtrx->height() > room.height());
        QVERIFY(w->lstusers->height() > users.height());
    }

    void connectSendsOneLoginMessage()
    {
        connectThroughDialog(w, {"ann", "se cret", "127.0.0.1", QString::number(server->port())});
        QCOMPARE(appearanceOf(w), ConnectedAsAnn);
        QVERIFY(!w->mnuOptPrefs->isEnabled());
        QVERIFY(Globals::sServerHost.isEmpty()); // the next Connect asks again
        QTRY_COMPARE(server->received(0), QByteArray("ann///se cret", 14)); // and its 0 byte
        QVERIFY(boxes->shown.isEmpty());
    }

    void cancellingOrARefusedConnection()
    {
        QMetaObject::invokeMethod(Window<frmAddress>::get()->cmdCancel, &QPushButton::click,
                                  Qt::QueuedConnection);
        w->mnuFileConnect->trigger();
        QCOMPARE(appearanceOf(w), AtStartUp);
        QVERIFY(boxes->shown.isEmpty());

        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", QString::number(server->unusedPort())});
        QCOMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, QString("Connect Failed!"));
        QCOMPARE(boxes->shown[0].title, QString("Error!"));
        QCOMPARE(boxes->shown[0].icon, BoxIcon::Exclamation);
        QCOMPARE(appearanceOf(w), AtStartUp);
    }

    void disconnectAndReconnectAgainAndAgain()
    {
        for (int round = 0; round < 3; ++round) {
            connectAsAnn(w, server->port());
            QCOMPARE(appearanceOf(w), ConnectedAsAnn);
            QTRY_COMPARE(server->messages(round), QStringList{"ann///pw"});
            w->Socketmain_DataArrival("<add usr>ann,bob,</add usr>");
            w->mnuFileDisconnect->trigger();
            QCOMPARE(appearanceOf(w), Disconnected); // the entry line too: nothing gets lost
            QCOMPARE(w->lstusers->count(), 0);        // the next login lists everybody afresh
            QTRY_VERIFY(!server->isOpen(round));
        }
        QCOMPARE(shownLines(w->txtrx).size(), 2); // join notices only, no "lost" line
        QVERIFY(boxes->shown.isEmpty());
    }

    void aConnectionClosedByTheServerIsShown()
    {
        connectAsAnn(w, server->port());
        QTRY_COMPARE(server->connectionCount(), 1);
        server->send(0, "<add usr>ann,bob,</add usr>");
        QTRY_COMPARE(w->lstusers->count(), 2);
        server->close(0);
        QTRY_COMPARE(appearanceOf(w), Disconnected);
        QCOMPARE(w->lstusers->count(), 0);
        QCOMPARE(shownLines(w->txtrx), QStringList{frmMain::ConnectionLostText});
        QCOMPARE(runsOfLine(w->txtrx, 0)[0].colour, QColor(150, 150, 150));
        connectAsAnn(w, server->port());
        QCOMPARE(appearanceOf(w), ConnectedAsAnn);
    }

    void aRefusedLoginIsToldAndEndsTheConnection()
    {
        connectAsAnn(w, server->port());
        QTRY_COMPARE(server->connectionCount(), 1);
        QString whileBoxShown;
        boxes->onShow = [&] { whileBoxShown = appearanceOf(w); };
        server->send(0, "login fail");
        QTRY_COMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, frmMain::LoginRefusedText);
        QCOMPARE(boxes->shown[0].title, QString("Error!"));
        QCOMPARE(boxes->shown[0].icon, BoxIcon::Exclamation);
        QCOMPARE(whileBoxShown, Disconnected);
        QTRY_VERIFY(!server->isOpen(0));
        QCOMPARE(shownLines(w->txtrx), QStringList());

        connectAsAnn(w, server->port());
        QTRY_COMPARE(server->connectionCount(), 2);
        server->send(1, "login successful"); // changes nothing
        server->send(1, "<message>hi<style>N<user>bob</user></message>");
        QTRY_COMPARE(shownLines(w->txtrx), QStringList{"bob : hi"});
        QCOMPARE(appearanceOf(w), ConnectedAsAnn);
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
        ProgramEndRecorder ends;
        w->show();
        connectAsAnn(w, server->port());
        QTRY_COMPARE(server->messages(0), QStringList{"ann///pw"});
        Window<frmAddress>::load();
        Window<frmabout>::show();
        QSignalSpy disconnects(w->Socketmain, &varrow::Socket::Disconnected);
        if (throughExit)
            w->mnuFileExit->trigger();
        else
            w->close();
        QCOMPARE(ends.count, 1);
        QCOMPARE(disconnects.count(), 1);
        QVERIFY(!Window<frmAddress>::get() && !Window<frmabout>::get() && !Window<frmMain>::get());
        QCOMPARE(shownLines(w->txtrx), QStringList()); // no "lost" line on the way out
        // The socket layer is released: the process can make no connection any more.
        QVERIFY(!w->Socketmain->Connect("127.0.0.1", QString(), server->port()));
        QTRY_VERIFY(!server->isOpen(0));
    }
};

QTEST_MAIN(ConnectionTest)
#include "tst_connection.moc"
