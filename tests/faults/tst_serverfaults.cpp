// Fault injection on the server connection: the real main window against a chat server, played by
// the test on 127.0.0.1, that misbehaves. It closes or resets the connection in the middle of a
// message, sends 10 MiB without a terminator, floods 100,000 messages, sends megabytes of random
// bytes; the address does not answer; a port to listen on is taken; connections come and go a
// thousand times. After each fault the window must show nothing that was not a whole message, lose
// nothing that was, keep its memory and descriptors bounded, and keep working.
#include "ClientTestSupport.h"
#include "Globals.h"
#include "frmMain.h"

#include <varrow/Socket.h>

#include <QAction>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <dirent.h>

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

int openDescriptorCount()
{
    int count = 0;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (const dirent *entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count - 1; // the directory's own descriptor
}

int unreadBytes(int fd)
{
    int n = -1;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

int unacknowledgedBytes(int fd)
{
    int n = -1;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

QByteArray wire(const QString &message)
{
    return message.toLatin1() + '\0';
}

QString roomLine(const QString &text, const QString &user = QStringLiteral("ann"))
{
    return "<message>" + text + "<style>N<user>" + user + "</user></message>";
}

// The chat server, played by the test: one connection at a time, written to as the case needs.
class Server : public QObject
{
public:
    Server()
    {
        connect(&listener, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = listener.nextPendingConnection()) {
                delete socket;
                socket = s;
                received.clear();
                connect(s, &QTcpSocket::readyRead, this, [this, s] { received += s->readAll(); });
            }
        });
        if (!listener.listen(QHostAddress::LocalHost, 0))
            qFatal("Server: %s", qPrintable(listener.errorString()));
    }
    ~Server() override { delete socket; }

    quint16 port() const { return listener.serverPort(); }
    void write(const QByteArray &bytes) { socket->write(bytes); }
    // Everything written has left this side and reached the client's kernel.
    bool drained() const
    {
        return socket->bytesToWrite() == 0 && unacknowledgedBytes(int(socket->socketDescriptor())) == 0;
    }
    // Writes `total` bytes that `next` makes, one chunk at a time, each only once the one before
    // has left: the test's own buffers stay small. `everyChunk` runs after each chunk.
    void pump(qint64 total, std::function<QByteArray(qint64)> next, std::function<void()> everyChunk)
    {
        pumped = 0;
        auto more = [this, total, next, everyChunk] {
            if (everyChunk)
                everyChunk();
            if (pumped < total && socket->bytesToWrite() == 0) {
                const QByteArray chunk = next(qMin<qint64>(64 * 1024, total - pumped));
                pumped += chunk.size();
                socket->write(chunk);
            }
        };
        pumpConnection = connect(socket, &QTcpSocket::bytesWritten, this, more);
        more();
    }
    bool pumpDone(qint64 total) const { return pumped == total && drained(); }
    void stopPump() { disconnect(pumpConnection); }
    // Closes with a reset instead of the orderly end.
    void reset()
    {
        const linger hard{1, 0};
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        socket->abort();
    }

    QTcpServer listener;
    QTcpSocket *socket = nullptr;
    QByteArray received;
    qint64 pumped = 0;
    QMetaObject::Connection pumpConnection;
};

} // namespace

class ServerFaultsTest : public QObject
{
    Q_OBJECT

    FakeMessageBoxes *boxes = nullptr;
    ProgramEndRecorder *programEnd = nullptr;
    Server *server = nullptr;
    frmMain *w = nullptr;

    // Connects the window as "ann" (what the login dialog leaves behind, then Connect) and waits
    // for the server to see the login.
    bool connectWindow(quint16 port)
    {
        Globals::sServerHost = QStringLiteral("127.0.0.1");
        Globals::nServerPort = port;
        Globals::sUserName = QStringLiteral("ann");
        Globals::sPassword = QStringLiteral("pw");
        const QTcpSocket *old = server->socket;
        w->mnuFileConnect_Click();
        if (w->windowTitle() != frmMain::ConnectedTitle)
            return false;
        return QTest::qWaitFor([&] {
            return server->socket != old && server->received.contains(wire("ann///pw"));
        });
    }
    int clientDescriptor() const { return w->Socketmain->SocketHandle(); }
    bool isConnected() const { return w->windowTitle() == frmMain::ConnectedTitle; }
    // The window still works: a line from the server is shown, a line typed goes out.
    bool stillWorks(const QString &text)
    {
        const QStringList before = shownLines(w->txtrx);
        server->write(wire(roomLine(text, QStringLiteral("bob"))));
        if (!QTest::qWaitFor([&] { return shownLines(w->txtrx).size() == before.size() + 1; }, 10000))
            return false;
        if (shownLines(w->txtrx).constLast() != "bob : " + text)
            return false;
        w->txtTx->setText(text + " back");
        w->Command1->click();
        return QTest::qWaitFor(
            [&] { return server->received.contains(wire(roomLine(text + " back"))); }, 10000);
    }

private slots:
    void init()
    {
        boxes = new FakeMessageBoxes;
        programEnd = new ProgramEndRecorder;
        server = new Server;
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
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("reset");
        const QByteArray message = wire(roomLine("two"));
        QTest::newRow("close after one byte") << message.left(1) << false;
        QTest::newRow("close inside a tag") << message.left(14) << false;
        QTest::newRow("close before the terminator") << message.chopped(1) << false;
        QTest::newRow("reset inside a tag") << message.left(14) << true;
        QTest::newRow("reset before the terminator") << message.chopped(1) << true;
    }
    void serverEndsTheConnectionInTheMiddleOfAMessage()
    {
        QFETCH(QByteArray, head);
        QFETCH(bool, reset);
        QVERIFY(connectWindow(server->port()));
        server->write(wire(roomLine("one")));
        QTRY_COMPARE(shownLines(w->txtrx), QStringList{"ann : one"});

        server->write(head);
        QTRY_VERIFY(server->drained());
        reset ? server->reset() : server->socket->disconnectFromHost();

        // The head of the message is never shown; the loss of the connection is.
        QTRY_VERIFY(!isConnected());
        QCOMPARE(shownLines(w->txtrx), (QStringList{"ann : one", frmMain::ConnectionLostText}));
        QVERIFY(boxes->shown.isEmpty());
        QCOMPARE(programEnd->count, 0);

        // A new connection starts clean: nothing of the old head is glued to its first message.
        QVERIFY(connectWindow(server->port()));
        QVERIFY(stillWorks("three"));
        QCOMPARE(shownLines(w->txtrx).size(), 3);
    }

    void tenMebibytesWithoutATerminator()
    {
        QVERIFY(connectWindow(server->port()));
        const int linesBefore = int(shownLines(w->txtrx).size());
        const qint64 total = 10 << 20;
        const qint64 before = heapInUse();
        qint64 peak = before;
        server->pump(
            total, [](qint64 n) { return QByteArray(n, 'x'); },
            [&] { peak = qMax(peak, heapInUse()); });
        QTRY_VERIFY_WITH_TIMEOUT(server->pumpDone(total) && unreadBytes(clientDescriptor()) == 0, 60000);
        server->stopPump();
        peak = qMax(peak, heapInUse());

        // The client has taken in all 10 MiB and holds at most its 1 MiB message bound of it.
        QVERIFY2(peak - before < 4 << 20,
                 qPrintable(QStringLiteral("the heap grew by %1 bytes").arg(peak - before)));
        QCOMPARE(shownLines(w->txtrx).size(), linesBefore);
        QVERIFY(isConnected());

        // The terminator ends the oversized message; what follows is whole again.
        server->write(QByteArray(1, '\0'));
        QVERIFY(stillWorks("after the flood"));
        QVERIFY(!w->txtrx->toPlainText().contains("xxxx"));
    }

    void floodOfAHundredThousandMessages()
    {
        QVERIFY(connectWindow(server->port()));
        const int count = 100'000;
        QByteArray flood;
        for (int i = 0; i < count; ++i)
            flood += wire(roomLine(QString::number(i)));
        server->write(flood);
        QTRY_COMPARE_WITH_TIMEOUT(w->txtrx->document()->blockCount() - 1, count, 120000);

        // All of them, once each, in order.
        const QStringList lines = shownLines(w->txtrx);
        for (int i = 0; i < count; ++i) {
            if (lines.at(i) != "ann : " + QString::number(i))
                QFAIL(qPrintable(QStringLiteral("line %1 is \"%2\"").arg(i).arg(lines.at(i))));
        }
        QVERIFY(isConnected());
        QVERIFY(stillWorks("after the flood"));
    }

    void randomBytes()
    {
        QVERIFY(connectWindow(server->port()));
        QRandomGenerator random(20261206);
        const qint64 total = 4 << 20;
        server->pump(
            total,
            [&](qint64 n) {
                QByteArray chunk(n, Qt::Uninitialized);
                random.fillRange(reinterpret_cast<quint32 *>(chunk.data()), n / 4);
                return chunk;
            },
            {});
        QTRY_VERIFY_WITH_TIMEOUT(server->pumpDone(total) && unreadBytes(clientDescriptor()) == 0, 60000);
        server->stopPump();

        // Random bytes hold no tag of the protocol: none of them is shown or listed, no box comes
        // up, and the connection stays.
        QCOMPARE(shownLines(w->txtrx), QStringList());
        QCOMPARE(w->lstusers->count(), 0);
        QVERIFY(boxes->shown.isEmpty());
        QVERIFY(isConnected());
        server->write(QByteArray(1, '\0'));
        QVERIFY(stillWorks("after the noise"));
    }

    void addressThatDoesNotAnswer()
    {
        // A listener whose queue of pending connections is full drops every further handshake:
        // to the client the address does not answer.
        const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(full, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
        QVERIFY(::listen(full, 0) == 0);
        QVERIFY(::getsockname(full, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);

        QElapsedTimer clock;
        clock.start();
        QVERIFY(!connectWindow(ntohs(address.sin_port)));
        const qint64 waited = clock.elapsed();
        ::close(filler);
        ::close(full);

        // Connect gives up within its bound of ten seconds, says so, and the window stays usable.
        QVERIFY2(waited < 15000, qPrintable(QString::number(waited)));
        QCOMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, QStringLiteral("Connect Failed!"));
        QVERIFY(!isConnected());
        QVERIFY(w->mnuFileConnect->isEnabled());
        QVERIFY(connectWindow(server->port()));
        QVERIFY(stillWorks("reachable again"));
    }

    void listeningPortTaken()
    {
        // Another program holds the port: every attempt fails with the reason, raises nothing and
        // leaves nothing open; the same socket then listens elsewhere and takes a connection.
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        varrow::Socket socket;
        QSignalSpy requests(&socket, &varrow::Socket::ConnectionRequest);
        QSignalSpy disconnects(&socket, &varrow::Socket::Disconnected);
        const int before = openDescriptorCount();
        for (int i = 0; i < 100; ++i) {
            errno = 0;
            QVERIFY(!socket.Listen(holder.serverPort(), QStringLiteral("127.0.0.1")));
            QCOMPARE(errno, EADDRINUSE);
            QCOMPARE(socket.SocketHandle(), 0);
        }
        QCOMPARE(openDescriptorCount(), before);
        QVERIFY(requests.isEmpty() && disconnects.isEmpty());

        QVERIFY(socket.Listen(0, QStringLiteral("127.0.0.1")));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, socket.LocalPort());
        QVERIFY(requests.wait(10000));
    }

    void thousandConnectDisconnectCycles()
    {
        // One cycle first, so that whatever is opened once per process is open already.
        QVERIFY(connectWindow(server->port()));
        w->mnuFileDisconnect_Click();
        QTRY_VERIFY(server->socket->state() == QAbstractSocket::UnconnectedState);
        delete std::exchange(server->socket, nullptr);
        const int before = openDescriptorCount();

        for (int i = 0; i < 1000; ++i) {
            QVERIFY(connectWindow(server->port()));
            if (i % 2)
                w->mnuFileDisconnect_Click(); // the user leaves
            else
                server->socket->disconnectFromHost(); // the server leaves
            QTRY_VERIFY(!isConnected() && server->socket->state() == QAbstractSocket::UnconnectedState);
            delete std::exchange(server->socket, nullptr);
        }
        QCOMPARE(openDescriptorCount(), before);
        QCOMPARE(shownLines(w->txtrx).size(), 500); // one notice per connection the server ended
        QVERIFY(boxes->shown.isEmpty());
    }
};

QTEST_MAIN(ServerFaultsTest)
#include "tst_serverfaults.moc"
