// Fault injection on the server connection: the real main window against a chat server, played by
// the test on 127.0.0.1, that misbehaves. It closes or resets the connection in the middle of a
// message, sends 10 MiB without a terminator, floods 100,000 messages, sends megabytes of random
// bytes; the address does not answer; connections come and go a thousand times. After each fault
// the window must show nothing that was not a whole message, lose nothing that was, keep its
// memory and descriptors bounded, and keep working. (A port to listen on that is taken is a case of
// the peer-connection suite: the client listens only for private chats.)
#include "ClientTestSupport.h"

#include <varrow/Socket.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (sanitizer/allocator_interface.h, which not every compiler ships).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

using namespace quillet;
using namespace quillet::test;

namespace {

// Bytes the program holds on its heap right now.
qint64 heapInUse()
{
#if defined(__SANITIZE_ADDRESS__)
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}

int openDescriptorCount() // (the listing's own descriptor included)
{
    return int(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

// Bytes waiting in a socket's receive queue (FIONREAD) or not yet acknowledged by the other end
// (SIOCOUTQ).
int queued(int fd, unsigned long which)
{
    int n = -1;
    return ::ioctl(fd, which, &n) == 0 ? n : -1;
}

// Everything written has left this side and reached the other side's kernel.
bool drained(QTcpSocket *socket)
{
    return socket->bytesToWrite() == 0 && queued(int(socket->socketDescriptor()), SIOCOUTQ) == 0;
}

// Writes `total` bytes that `next` makes, one chunk at a time, each only once the one before has
// left, so that the test's own buffers stay small; `everyChunk` runs before each. True once all of
// them have been written and the client has read them from its socket (`clientFd`).
bool pump(QTcpSocket *socket, int clientFd, qint64 total, const std::function<QByteArray(qint64)> &next,
          const std::function<void()> &everyChunk = {})
{
    qint64 pumped = 0;
    const auto more = [&] {
        if (everyChunk)
            everyChunk();
        if (pumped < total && socket->bytesToWrite() == 0) {
            const QByteArray chunk = next(qMin<qint64>(64 * 1024, total - pumped));
            pumped += chunk.size();
            socket->write(chunk);
        }
    };
    const QMetaObject::Connection connection = QObject::connect(socket, &QTcpSocket::bytesWritten, more);
    more();
    const auto done = [&] { return pumped == total && drained(socket) && queued(clientFd, FIONREAD) == 0; };
    // The event loop runs throughout (qWaitFor would sleep 10 ms between its turns, and the
    // client would read a chunk per turn); what the client has not read yet shows only in the
    // kernel, so a timer looks.
    QEventLoop loop;
    QTimer look;
    look.callOnTimeout(&loop, [&] {
        if (done())
            loop.quit();
    });
    look.start(5);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    QObject::disconnect(connection);
    return done();
}

} // namespace

class ServerFaultsTest : public QObject
{
    Q_OBJECT

    FakeMessageBoxes *boxes = nullptr;
    ProgramEndRecorder *programEnd = nullptr;
    LoopbackServer *server = nullptr;
    frmMain *w = nullptr;

    int last() const { return server->connectionCount() - 1; } // the latest connection
    QTcpSocket *socket() const { return server->socket(last()); }
    bool isConnected() const { return w->windowTitle() == frmMain::ConnectedTitle; }
    // Connects the window as "ann" through the login dialog and waits for the server to see the
    // login on a new connection.
    bool connectWindow(quint16 port)
    {
        const int before = server->connectionCount();
        connectAsAnn(w, port);
        return isConnected() && QTest::qWaitFor([&] {
            return server->connectionCount() > before && server->messages(last()).value(0) == "ann///pw";
        });
    }
    // The window still works: a line from the server is shown, a line typed goes out.
    bool stillWorks(const QString &text)
    {
        const qsizetype before = shownLines(w->txtrx).size();
        server->send(last(), room(text, "N", "bob"));
        if (!QTest::qWaitFor([&] { return shownLines(w->txtrx).size() == before + 1; }, 10000)
            || shownLines(w->txtrx).constLast() != "bob : " + text)
            return false;
        w->txtTx->setText(text + " back");
        w->Command1->click();
        return QTest::qWaitFor([&] { return server->messages(last()).contains(room(text + " back")); }, 10000);
    }

private slots:
    void init()
    {
        boxes = new FakeMessageBoxes;
        programEnd = new ProgramEndRecorder;
        server = new LoopbackServer;
        w = startMainWindow();
    }
    void cleanup()
    {
        discardClientWindows();
        delete server;
        delete programEnd;
        delete boxes;
    }

    void serverEndsTheConnectionInTheMiddleOfAMessage_data()
    {
        QTest::addColumn<int>("head"); // how much of the message goes out (-1: all but its 0 byte)
        QTest::addColumn<bool>("reset");
        QTest::newRow("close after one byte") << 1 << false;
        QTest::newRow("close inside a tag") << 14 << false;
        QTest::newRow("close before the terminator") << -1 << false;
        QTest::newRow("reset inside a tag") << 14 << true;
        QTest::newRow("reset before the terminator") << -1 << true;
    }
    void serverEndsTheConnectionInTheMiddleOfAMessage()
    {
        QFETCH(int, head);
        QFETCH(bool, reset);
        QVERIFY(connectWindow(server->port()));
        server->send(0, "<add usr>ann,bob,</add usr>");
        server->send(0, room("one"));
        QTRY_COMPARE(shownLines(w->txtrx), QStringList{"ann : one"});
        QCOMPARE(w->lstusers->count(), 2);

        const QByteArray message = room("two").toLatin1();
        socket()->write(head < 0 ? message : message.left(head));
        QTRY_VERIFY(drained(socket()));
        reset ? resetConnection(socket()) : socket()->disconnectFromHost();

        // The head of the message is never shown; the loss of the connection is, in grey, and the
        // window is disconnected: the users list empty, nothing to send.
        QTRY_VERIFY(!isConnected());
        QCOMPARE(w->windowTitle() + w->Label1->text(), "Quillet :[Disconnected]  User :    None");
        QVERIFY(w->mnuFileConnect->isEnabled() && !w->mnuFileDisconnect->isEnabled());
        QCOMPARE(shownLines(w->txtrx), (QStringList{"ann : one", frmMain::ConnectionLostText}));
        QCOMPARE(runsOfLine(w->txtrx, 1), QStringList{frmMain::ConnectionLostText + " #969696"});
        QCOMPARE(w->lstusers->count(), 0);
        QVERIFY(boxes->shown.isEmpty() && !w->txtTx->isEnabled());
        w->txtTx->setText("kept"); // Send and Clear say there is no connection
        w->Command1->click();
        w->Command2->click();
        QCOMPARE(boxes->shown, QList<ShownBox>(2, {"No Valid Connection , Please make connection",
                                                   "Error", BoxIcon::Information}));
        QCOMPARE(w->txtTx->text(), QString("kept"));
        QCOMPARE(programEnd->count, 0);

        // A new connection starts clean: nothing of the old head is glued to its first message.
        QVERIFY(connectWindow(server->port()));
        QVERIFY(stillWorks("three"));
        QCOMPARE(shownLines(w->txtrx).size(), 3);
        QCOMPARE(server->messages(0), QStringList{"ann///pw"}); // nothing was sent meanwhile
    }

    void tenMebibytesWithoutATerminator()
    {
        QVERIFY(connectWindow(server->port()));
        const qint64 before = heapInUse();
        qint64 peak = before;
        QVERIFY(pump(socket(), w->Socketmain->SocketHandle(), 10 << 20,
                     [](qint64 n) { return QByteArray(n, 'x'); }, [&] { peak = qMax(peak, heapInUse()); }));
        peak = qMax(peak, heapInUse());

        // The client has taken in all 10 MiB and holds at most its 1 MiB message bound of it.
        QVERIFY2(peak - before < 4 << 20, qPrintable(QString("the heap grew by %1 bytes").arg(peak - before)));
        QVERIFY(shownLines(w->txtrx).isEmpty() && isConnected());

        // The terminator ends the oversized message; what follows is whole again.
        socket()->write(QByteArray(1, '\0'));
        QVERIFY(stillWorks("after the flood"));
        QVERIFY(!w->txtrx->toPlainText().contains("xxxx"));
    }

    void floodOfAHundredThousandMessages()
    {
        QVERIFY(connectWindow(server->port()));
        const int count = 100'000;
        QByteArray flood;
        for (int i = 0; i < count; ++i)
            flood += room(QString::number(i)).toLatin1() + '\0';
        socket()->write(flood);
        QTRY_COMPARE_WITH_TIMEOUT(w->txtrx->document()->blockCount() - 1, count, 120000);

        // All of them, once each, in order.
        const QStringList lines = shownLines(w->txtrx);
        for (int i = 0; i < count; ++i) {
            if (lines.at(i) != "ann : " + QString::number(i))
                QFAIL(qPrintable(QString("line %1 is \"%2\"").arg(i).arg(lines.at(i))));
        }
        QVERIFY(isConnected() && stillWorks("after the flood"));
    }

    void randomBytes()
    {
        QVERIFY(connectWindow(server->port()));
        QRandomGenerator random(20261206);
        QVERIFY(pump(socket(), w->Socketmain->SocketHandle(), 4 << 20, [&](qint64 n) {
            QByteArray chunk(n, Qt::Uninitialized);
            random.fillRange(reinterpret_cast<quint32 *>(chunk.data()), n / 4);
            return chunk;
        }));

        // Random bytes hold no tag of the protocol: none of them is shown or listed, no box comes
        // up, and the connection stays.
        QVERIFY(shownLines(w->txtrx).isEmpty() && w->lstusers->count() == 0 && boxes->shown.isEmpty());
        QVERIFY(isConnected());
        socket()->write(QByteArray(1, '\0'));
        QVERIFY(stillWorks("after the noise"));
    }

    void addressThatDoesNotAnswer()
    {
        // A listener that accepts nothing and whose queue of pending connections (one long) is
        // full drops every further handshake: to the client the address does not answer.
        QTcpServer full;
        QVERIFY(full.listen(QHostAddress::LocalHost, 0));
        full.pauseAccepting();
        QVERIFY(::listen(int(full.socketDescriptor()), 0) == 0);
        QTcpSocket filler;
        filler.connectToHost(QHostAddress::LocalHost, full.serverPort());
        QVERIFY(filler.waitForConnected(5000));

        // While Connect waits, timers run, and the caption and a wait cursor say what it waits for.
        w->Socketmain->setConnectTimeout(300); // ten seconds in the program
        QStringList seen; // caption and cursor shape, each time the timer fired
        QTimer ticker;
        ticker.callOnTimeout([&] {
            const QCursor *cursor = QGuiApplication::overrideCursor();
            seen << w->windowTitle() + '|' + QString::number(cursor ? cursor->shape() : -1);
        });
        ticker.start(20);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!connectWindow(full.serverPort()));
        const qint64 waited = clock.elapsed();
        ticker.stop();
        const QString waiting = QString("Connecting to 127.0.0.1:%1...|%2").arg(full.serverPort()).arg(Qt::WaitCursor);
        QVERIFY2(seen.count(waiting) >= 5, qPrintable(seen.join(", ")));

        // Connect gives up at its bound, says so, both are restored, and the window stays usable.
        QVERIFY2(waited >= 300 && waited < 5000, qPrintable(QString::number(waited)));
        QCOMPARE(boxes->shown, (QList<ShownBox>{{"Connect Failed!", "Error!", BoxIcon::Exclamation}}));
        QVERIFY(!isConnected() && w->mnuFileConnect->isEnabled() && !QGuiApplication::overrideCursor());
        QCOMPARE(w->windowTitle(), QString(ProgramName));
        QVERIFY(connectWindow(server->port()));
        QVERIFY(stillWorks("reachable again"));
    }

    void thousandConnectDisconnectCycles()
    {
        // One cycle first, so that whatever is opened once per process is open already.
        QVERIFY(connectWindow(server->port()));
        w->mnuFileDisconnect->trigger();
        QTRY_VERIFY(socket()->state() == QAbstractSocket::UnconnectedState);
        const int before = openDescriptorCount();

        for (int i = 0; i < 1000; ++i) {
            QVERIFY(connectWindow(server->port()));
            if (i % 2)
                w->mnuFileDisconnect->trigger(); // the user leaves
            else
                socket()->disconnectFromHost(); // the server leaves
            QTRY_VERIFY(!isConnected() && socket()->state() == QAbstractSocket::UnconnectedState);
        }
        QCOMPARE(openDescriptorCount(), before);
        QCOMPARE(shownLines(w->txtrx).size(), 500); // one notice per connection the server ended
        QVERIFY(boxes->shown.isEmpty());
    }
};

QTEST_MAIN(ServerFaultsTest)
#include "tst_serverfaults.moc"
