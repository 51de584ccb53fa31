// End to end: the client window against quillet-server, started by the test on 127.0.0.1 at a port
// the system picks. The second user is a raw TCP client: a process has one set of Globals, so it
// holds one main window.
#include "ClientTestSupport.h"
#include "frmMain.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

class EndToEndTest : public QObject
{
    Q_OBJECT

    QProcess server;
    quint16 port = 0;
    FakeMessageBoxes *boxes = nullptr;
    frmMain *w = nullptr;

    QStringList users() const
    {
        QStringList names;
        for (int i = 0; i < w->lstusers->count(); ++i)
            names << w->lstusers->item(i)->text();
        return names;
    }
    QString lastLine() const { return shownLines(w->txtrx).value(shownLines(w->txtrx).size() - 1); }
    static void send(QTcpSocket &socket, const QByteArray &text) { socket.write(text + '\0'); }

private slots:
    void init()
    {
        server.start(QUILLET_SERVER_PATH, {"--listen", "127.0.0.1", "--port", "0"});
        const QRegularExpression listening("listening on 127\\.0\\.0\\.1:(\\d+)");
        QByteArray log;
        QRegularExpressionMatch found;
        QTRY_VERIFY((log += server.readAllStandardError(),
                     found = listening.match(QString::fromLocal8Bit(log))).hasMatch());
        port = quint16(found.captured(1).toUInt());
        boxes = new FakeMessageBoxes;
        w = startMainWindow();
    }
    void cleanup()
    {
        discardClientWindows();
        delete boxes;
        server.terminate();
        server.waitForFinished();
    }

    void twoUsersSeeEachOthersLinesJoinsAndLeaves()
    {
        connectAsAnn(w, port);
        QTRY_COMPARE(users(), QStringList{"ann"});
        QTRY_VERIFY(!lastLine().isEmpty()); // the server's greeting, a grey notice
        QCOMPARE(runsOfLine(w->txtrx, 0).constFirst().colour, QColor(150, 150, 150));

        QTcpSocket bob;
        QByteArray toBob;
        connect(&bob, &QTcpSocket::readyRead, this, [&] { toBob += bob.readAll(); });
        bob.connectToHost(QHostAddress::LocalHost, port);
        send(bob, "bob///pw");
        QTRY_COMPARE(users(), QStringList({"ann", "bob"}));
        QTRY_COMPARE(lastLine(), QString("bob joined the room. "));

        w->txtTx->setText("hello bob");
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        QTRY_VERIFY(toBob.contains("<message>hello bob<style>N<user>ann</user></message>"));
        QTRY_COMPARE(lastLine(), QString("ann : hello bob"));
        send(bob, "<message>hi ann<style>B<user>bob</user></message>");
        QTRY_COMPARE(lastLine(), QString("bob : hi ann"));
        QVERIFY(runsOfLine(w->txtrx, int(shownLines(w->txtrx).size()) - 1).last().bold);

        bob.disconnectFromHost();
        QTRY_COMPARE(lastLine(), QString("bob has left the room. "));
        QCOMPARE(users(), QStringList{"ann"});
        QVERIFY(boxes->shown.isEmpty());
    }

    void aNameAlreadyOnlineIsRefusedAndAStoppedServerIsShown()
    {
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, port);
        send(first, "ann///pw");
        QTRY_VERIFY(first.bytesAvailable() > 0); // logged in
        connectAsAnn(w, port);
        QTRY_COMPARE(boxes->shown.size(), 1);
        QCOMPARE(w->windowTitle(), QString("Quillet :[Disconnected]"));

        // Reconnecting in the same run works.
        connectThroughDialog(w, {"cy", "pw", "127.0.0.1", QString::number(port)});
        QTRY_COMPARE(users(), QStringList({"ann", "cy"}));
        server.terminate();
        QTRY_COMPARE(w->windowTitle(), QString("Quillet :[Disconnected]"));
        QCOMPARE(lastLine(), frmMain::ConnectionLostText);
        QCOMPARE(boxes->shown.size(), 1);
    }
};

QTEST_MAIN(EndToEndTest)
#include "tst_end_to_end.moc"
