// Sending and receiving: the bytes on the wire, the send queue, framing of what arrives, and
// handlers that re-enter the event loop, disconnect or delete the socket.
#include "support.h"

#include <varrow/Socket.h>

#include <QEventLoop>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <memory>

using varrow::Socket;

namespace {

// A Socket connected to a raw peer on loopback.
struct Pair
{
    vt::RawListener listener;
    std::unique_ptr<Socket> socket = std::make_unique<Socket>();
    std::unique_ptr<vt::RawPeer> peer;

    bool open(bool asynchronous = true)
    {
        socket->setAsynchronous(asynchronous);
        if (!socket->Connect(QStringLiteral("127.0.0.1"), QString(), listener.port()))
            return false;
        const int fd = listener.acceptOne();
        if (fd < 0)
            return false;
        peer = std::make_unique<vt::RawPeer>(fd);
        return true;
    }
};

QByteArray randomBytes(QRandomGenerator &rng, qsizetype size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (char &c : b)
        c = char(1 + rng.bounded(255)); // never 0
    return b;
}

} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // sending
    void exactBytesOnTheWire_data();
    void exactBytesOnTheWire();
    void sendWithoutConnectionFails();
    void sendToAClosedPeerFailsWithoutSignal();
    void largeSendIsQueuedAndArrivesWhole();
    void queueRefusesWhenPeerStopsReading();
    void randomisedSendStream();

    // receiving and framing
    void coalescedMessages();
    void messageSplitAcrossReceives();
    void emptyMessages();
    void bytesBecomeLatin1Characters();
    void largeMessages();
    void oversizedMessageIsDroppedConnectionStays();
    void maxMessageSizeEndsTheConnection_data();
    void maxMessageSizeEndsTheConnection();
    void partialMessageDroppedOnClose();
    void randomisedReceiveStream();

    // handlers that re-enter
    void nestedLoopDrainsQueueInOrder();
    void nestedNoticesDeliverInOrder();
    void disconnectInsideHandler();
    void disconnectInsideNestedHandler();
    void reconnectAfterDisconnectInsideHandlerStartsClean();
    void peerClosesWhileHandlerIsNested();
    void deleteLaterInsideHandler();
    void deleteInsideHandler();
};

void TestTransfer::initTestCase()
{
    // A write to a closed connection must never kill the process.
    std::signal(SIGPIPE, SIG_DFL);
}

// ------------------------------------------------------------------------------------- sending

void TestTransfer::exactBytesOnTheWire_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("abc") << QStringLiteral("abc") << QByteArray("abc\0", 4);
    QTest::newRow("empty") << QString() << QByteArray(1, '\0');
    QTest::newRow("latin-1") << QStringLiteral("caf\u00e9 \u00ff\u0080") << QByteArray("caf\xe9 \xff\x80\0", 8);
    QTest::newRow("above 255") << QStringLiteral("1\u20ac2\u0100") << QByteArray("1?2?\0", 5);
    QTest::newRow("astral character") << QString::fromUtf8("a\xF0\x9F\x98\x80z") << QByteArray("a?z\0", 4);
    QTest::newRow("embedded 0") << QString::fromLatin1("a\0b", 3) << QByteArray("a\0b\0", 4);
}

void TestTransfer::exactBytesOnTheWire()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    Pair p;
    QVERIFY(p.open());
    QVERIFY(p.socket->Send(text));
    QTRY_COMPARE(p.peer->received(), bytes);
}

void TestTransfer::sendWithoutConnectionFails()
{
    Socket idle;
    QVERIFY(!idle.Send(QStringLiteral("x")));

    Socket listening;
    QVERIFY(listening.Listen(0));
    QVERIFY(!listening.Send(QStringLiteral("x")));

    Pair p;
    QVERIFY(p.open());
    p.socket->Disconnect();
    QVERIFY(!p.socket->Send(QStringLiteral("x")));
}

void TestTransfer::sendToAClosedPeerFailsWithoutSignal()
{
    // Blocking mode: no read notice gets in the way, each Send really writes.
    Pair p;
    QVERIFY(p.open(false));
    p.peer->closeNow();
    // The first write may still be taken by the kernel; the reset that answers it makes the
    // following ones fail (EPIPE), which must not raise SIGPIPE.
    int failures = 0;
    for (int i = 0; i < 20 && failures == 0; ++i)
        failures += p.socket->Send(QStringLiteral("anyone there?")) ? 0 : 1;
    QCOMPARE(failures, 1);

    Pair q;
    QVERIFY(q.open());
    q.peer->abort();
    QVERIFY(!q.socket->Send(QStringLiteral("after reset")));
}

void TestTransfer::largeSendIsQueuedAndArrivesWhole()
{
    Pair p;
    QVERIFY(p.open());
    vt::setSendBuffer(p.socket->SocketHandle(), 65536);
    p.peer->setReceiveBuffer(65536);
    p.peer->setReading(false);

    QRandomGenerator rng(7);
    QStringList texts;
    for (int i = 0; i < 5; ++i) {
        texts << QString::fromLatin1(randomBytes(rng, 300'000));
        QVERIFY(p.socket->Send(texts.last()));
    }
    const QByteArray expected = vt::wire(texts);

    // Far more than the kernel holds on both ends: the rest waits in the send queue.
    QVERIFY(vt::unreadBytes(p.peer->fd()) + vt::unsentBytes(p.socket->SocketHandle()) < expected.size() / 2);
    const qint64 queued = p.socket->PendingOutput();
    QVERIFY(queued > expected.size() / 2 && queued <= expected.size());

    // Another Send while the queue is full goes behind it.
    QVERIFY(p.socket->Send(QStringLiteral("last")));
    QCOMPARE(p.socket->PendingOutput(), queued + 5);
    p.peer->setReading(true);
    QTRY_COMPARE_WITH_TIMEOUT(p.peer->received().size(), expected.size() + 5, 10000);
    QVERIFY(p.peer->received() == expected + QByteArray("last\0", 5));
    QCOMPARE(p.socket->PendingOutput(), 0);
}

void TestTransfer::queueRefusesWhenPeerStopsReading()
{
    Pair p;
    QVERIFY(p.open());
    vt::setSendBuffer(p.socket->SocketHandle(), 65536);
    p.peer->setReceiveBuffer(65536);
    p.peer->setReading(false);

    QStringList accepted;
    bool refused = false;
    for (int i = 0; i < 12 && !refused; ++i) {
        const QString text = QString(1 << 20, QChar(u'a' + i));
        if (p.socket->Send(text))
            accepted << text;
        else
            refused = true;
    }
    QVERIFY2(refused, "Send must refuse once a few MiB wait unsent");
    QVERIFY2(accepted.size() >= 4, qPrintable(QString::number(accepted.size())));
    const qint64 queued = p.socket->PendingOutput();
    QVERIFY(queued > 4 << 20);
    QVERIFY(!p.socket->Send(QStringLiteral("refused too")));
    QCOMPARE(p.socket->PendingOutput(), queued); // a refused text is not queued

    p.peer->setReading(true);
    const QByteArray expected = vt::wire(accepted);
    QTRY_COMPARE_WITH_TIMEOUT(p.peer->received().size(), expected.size(), 10000);
    QVERIFY(p.peer->received() == expected); // whole texts, in order; nothing of the refused one

    // Once drained, sending works again.
    QVERIFY(p.socket->Send(QStringLiteral("again")));
    QTRY_COMPARE(p.peer->received().size(), expected.size() + 6);
    QVERIFY(p.peer->received().endsWith(QByteArray("again\0", 6)));
}

void TestTransfer::randomisedSendStream()
{
    Pair p;
    QVERIFY(p.open());
    vt::setSendBuffer(p.socket->SocketHandle(), 65536);
    QRandomGenerator rng(99);
    QByteArray expected;
    for (int i = 0; i < 2000; ++i) {
        QString text;
        const int size = int(rng.bounded(3000));
        for (int k = 0; k < size; ++k) {
            const char16_t c = rng.bounded(20) == 0 ? char16_t(0x100 + rng.bounded(0xD000)) : char16_t(1 + rng.bounded(255));
            text.append(QChar(c));
            expected.append(c > 0xFF ? '?' : char(c));
        }
        expected.append('\0');
        QVERIFY(p.socket->Send(text));
        if (i % 100 == 0)
            QCoreApplication::processEvents(); // let both ends make progress now and then
    }
    QTRY_COMPARE_WITH_TIMEOUT(p.peer->received().size(), expected.size(), 10000);
    QVERIFY(p.peer->received() == expected);
}

// ------------------------------------------------------------------------ receiving and framing

void TestTransfer::coalescedMessages()
{
    Pair p;
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    QVERIFY(p.peer->writeNow(QByteArray("one\0two\0three\0", 14)));
    QTRY_COMPARE(log.entries.size(), 3);
    QCOMPARE(log.messages(), (QStringList{"one", "two", "three"}));
}

void TestTransfer::messageSplitAcrossReceives()
{
    Pair p;
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    QVERIFY(p.peer->writeNow("hel"));
    // The socket has taken the head (nothing left unread) and delivered nothing yet.
    QTRY_COMPARE(vt::unreadBytes(p.socket->SocketHandle()), 0);
    QCOMPARE(log.entries, QStringList{});
    QVERIFY(p.peer->writeNow("lo"));
    QTRY_COMPARE(vt::unreadBytes(p.socket->SocketHandle()), 0);
    QCOMPARE(log.entries, QStringList{});
    QVERIFY(p.peer->writeNow(QByteArray("\0w", 2)));
    QTRY_COMPARE(log.entries.size(), 1);
    QVERIFY(p.peer->writeNow(QByteArray("orld\0", 5)));
    QTRY_COMPARE(log.entries.size(), 2);
    QCOMPARE(log.messages(), (QStringList{"hello", "world"}));
}

void TestTransfer::emptyMessages()
{
    Pair p;
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    QVERIFY(p.peer->writeNow(QByteArray("\0\0x\0\0", 5)));
    QTRY_COMPARE(log.entries.size(), 4);
    QCOMPARE(log.messages(), (QStringList{"", "", "x", ""}));
}

void TestTransfer::bytesBecomeLatin1Characters()
{
    Pair p;
    QVERIFY(p.open());
    QSignalSpy spy(p.socket.get(), &Socket::DataArrival);
    QByteArray all;
    for (int b = 1; b < 256; ++b)
        all.append(char(b));
    QVERIFY(p.peer->writeNow(all + '\0'));
    QTRY_COMPARE(spy.size(), 1);
    const QString text = spy.at(0).at(0).toString();
    QCOMPARE(text.size(), 255);
    for (int b = 1; b < 256; ++b)
        QCOMPARE(int(text.at(b - 1).unicode()), b);
}

void TestTransfer::largeMessages()
{
    Pair p;
    QVERIFY(p.open());
    QSignalSpy spy(p.socket.get(), &Socket::DataArrival);
    QRandomGenerator rng(3);
    const QByteArray medium = randomBytes(rng, 300'000);
    const QByteArray atLimit = randomBytes(rng, 1 << 20);
    p.peer->write(medium + '\0');
    p.peer->write(atLimit + '\0');
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, 10000);
    QVERIFY(spy.at(0).at(0).toString() == QString::fromLatin1(medium));
    QVERIFY(spy.at(1).at(0).toString() == QString::fromLatin1(atLimit));
}

void TestTransfer::oversizedMessageIsDroppedConnectionStays()
{
    Pair p;
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    p.peer->write(QByteArray("before\0", 7));
    p.peer->write(QByteArray((1 << 20) + 1, 'x'));
    p.peer->write(QByteArray(100'000, 'y')); // still the same oversized message
    p.peer->write(QByteArray("\0after\0", 7));
    QTRY_COMPARE_WITH_TIMEOUT(log.entries.size(), 2, 10000);
    QCOMPARE(log.entries, (QStringList{"data:before", "data:after"}));
    QVERIFY(p.socket->SocketHandle() > 0);
    QVERIFY(p.socket->Send(QStringLiteral("still up")));
    QTRY_COMPARE(p.peer->received(), QByteArray("still up\0", 9));
}

void TestTransfer::maxMessageSizeEndsTheConnection_data()
{
    QTest::addColumn<QList<QByteArray>>("oversized"); // written one send() per chunk
    const qsizetype bound = 5000;                     // more than one receive
    QTest::newRow("unterminated, one chunk") << QList<QByteArray>{QByteArray(bound + 1, 'x')};
    QList<QByteArray> pieces(bound / 100, QByteArray(100, 'x'));
    pieces << QByteArray(1, 'x');
    QTest::newRow("unterminated, many chunks") << pieces;
    QTest::newRow("terminated") << QList<QByteArray>{QByteArray(bound + 1, 'x') + '\0'};
}

void TestTransfer::maxMessageSizeEndsTheConnection()
{
    QFETCH(const QList<QByteArray>, oversized);
    Pair p;
    p.socket->setMaxMessageSize(5000);
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    int reason = -1;
    connect(p.socket.get(), &Socket::Disconnected, this, [&] { reason = errno; });

    const QByteArray atBound(5000, 'a');
    p.peer->write(atBound + '\0');
    for (const QByteArray &chunk : oversized)
        p.peer->write(chunk);
    p.peer->write(QByteArray("\0after\0", 7));

    QTRY_COMPARE_WITH_TIMEOUT(log.count("disconnect"), 1, 10000);
    QCOMPARE(log.entries, (QStringList{"data:" + QString::fromLatin1(atBound), "disconnect"}));
    QCOMPARE(reason, EMSGSIZE);
    QCOMPARE(p.socket->SocketHandle(), 0);
    QTRY_VERIFY(p.peer->sawClose());
}

void TestTransfer::partialMessageDroppedOnClose()
{
    Pair p;
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    QVERIFY(p.peer->writeNow(QByteArray("complete\0partial", 16)));
    p.peer->closeNow();
    QTRY_COMPARE(log.count("disconnect"), 1);
    QCOMPARE(log.entries, (QStringList{"data:complete", "disconnect"}));
}

void TestTransfer::randomisedReceiveStream()
{
    // A few thousand random messages, cut into chunks of random size that go out one send() at
    // a time: the DataArrival texts are exactly the messages, in order.
    Pair p;
    QVERIFY(p.open());
    QStringList got;
    connect(p.socket.get(), &Socket::DataArrival, this, [&](const QString &t) { got << t; });

    QRandomGenerator rng(424242);
    QStringList sent;
    QByteArray stream;
    for (int i = 0; i < 3000; ++i) {
        const qsizetype size = rng.bounded(10) == 0 ? rng.bounded(5000) : rng.bounded(60);
        const QByteArray m = randomBytes(rng, size);
        sent << QString::fromLatin1(m);
        stream += m;
        stream += '\0';
    }
    for (qsizetype at = 0; at < stream.size();) {
        const qsizetype n = std::min<qsizetype>(1 + rng.bounded(rng.bounded(2) ? 16 : 4096), stream.size() - at);
        p.peer->write(stream.mid(at, n));
        at += n;
    }
    QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 30000);
    QCOMPARE(got, sent);
}

// ------------------------------------------------------------------------ handlers that re-enter

void TestTransfer::nestedLoopDrainsQueueInOrder()
{
    // Three messages in one receive; the first handler runs a nested loop. The others are
    // delivered once each, after it, in order.
    Pair p;
    QVERIFY(p.open());
    QStringList got;
    int depth = 0;
    int maxDepth = 0;
    connect(p.socket.get(), &Socket::DataArrival, this, [&](const QString &t) {
        got << t;
        maxDepth = std::max(maxDepth, ++depth);
        if (t == QLatin1String("a")) {
            QEventLoop loop;
            QTimer::singleShot(0, &loop, &QEventLoop::quit);
            loop.exec();
        }
        --depth;
    });
    QVERIFY(p.peer->writeNow(QByteArray("a\0b\0c\0", 6)));
    QTRY_COMPARE(got.size(), 3);
    QCOMPARE(got, (QStringList{"a", "b", "c"}));
    QCoreApplication::processEvents();
    QCOMPARE(got.size(), 3);
}

void TestTransfer::nestedNoticesDeliverInOrder()
{
    // The first handler waits in a nested loop (like a modal dialog) while more data arrives:
    // the read notices inside that loop deliver what is queued and what arrives, in order.
    Pair p;
    QVERIFY(p.open());
    QStringList got;
    QStringList deliveredWhileNested;
    bool nested = false;
    connect(p.socket.get(), &Socket::DataArrival, this, [&](const QString &t) {
        got << t;
        if (nested)
            deliveredWhileNested << t;
        if (t == QLatin1String("first")) {
            nested = true;
            p.peer->write(QByteArray("third\0four", 10));
            p.peer->write(QByteArray("th\0fifth\0", 9));
            QEventLoop loop;
            QTimer guard;
            connect(p.socket.get(), &Socket::DataArrival, &loop, [&](const QString &x) {
                if (x == QLatin1String("fifth"))
                    loop.quit();
            });
            connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
            guard.start(10000); // gives up rather than hang if delivery stalls
            loop.exec();
            nested = false;
        }
    });
    QVERIFY(p.peer->writeNow(QByteArray("first\0second\0", 13)));
    QTRY_COMPARE(got.size(), 5);
    QCOMPARE(got, (QStringList{"first", "second", "third", "fourth", "fifth"}));
    QCOMPARE(deliveredWhileNested, (QStringList{"second", "third", "fourth", "fifth"}));
    QCoreApplication::processEvents();
    QCOMPARE(got.size(), 5);
}

void TestTransfer::disconnectInsideHandler()
{
    Pair p;
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    Socket *s = p.socket.get();
    connect(s, &Socket::DataArrival, this, [s](const QString &t) {
        if (t == QLatin1String("a"))
            s->Disconnect();
    });
    QVERIFY(p.peer->writeNow(QByteArray("a\0b\0c\0", 6)));
    QTRY_VERIFY(p.peer->sawClose());
    QCoreApplication::processEvents();
    QCOMPARE(log.entries, (QStringList{"data:a", "disconnect"}));
    QCOMPARE(s->SocketHandle(), 0);
}

void TestTransfer::disconnectInsideNestedHandler()
{
    Pair p;
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    Socket *s = p.socket.get();
    bool done = false;
    connect(s, &Socket::DataArrival, this, [&](const QString &t) {
        if (t == QLatin1String("a")) {
            p.peer->write(QByteArray("b\0c\0", 4));
            QEventLoop loop;
            QTimer guard;
            connect(s, &Socket::Disconnected, &loop, &QEventLoop::quit);
            connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
            guard.start(10000);
            loop.exec();
            done = true;
        } else if (t == QLatin1String("b")) {
            s->Disconnect();
        }
    });
    QVERIFY(p.peer->writeNow(QByteArray("a\0", 2)));
    QTRY_VERIFY(done);
    QTRY_VERIFY(p.peer->sawClose());
    QCoreApplication::processEvents();
    QCOMPARE(log.entries, (QStringList{"data:a", "data:b", "disconnect"}));
}

void TestTransfer::reconnectAfterDisconnectInsideHandlerStartsClean()
{
    // Messages and a tail left over from a connection dropped inside a handler never show up on
    // the next connection of the same instance.
    Pair p;
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    Socket *s = p.socket.get();
    connect(s, &Socket::DataArrival, this, [s](const QString &t) {
        if (t == QLatin1String("a"))
            s->Disconnect();
    });
    QVERIFY(p.peer->writeNow(QByteArray("a\0b\0par", 8)));
    QTRY_COMPARE(log.count("disconnect"), 1);

    QVERIFY(s->Connect(QStringLiteral("127.0.0.1"), QString(), p.listener.port()));
    vt::RawPeer second(p.listener.acceptOne());
    QVERIFY(second.writeNow(QByteArray("x\0", 2)));
    QTRY_COMPARE(log.messages().size(), 2);
    QCOMPARE(log.entries, (QStringList{"data:a", "disconnect", "connect", "data:x"}));
}

void TestTransfer::peerClosesWhileHandlerIsNested()
{
    Pair p;
    QVERIFY(p.open());
    vt::EventLog log(p.socket.get());
    Socket *s = p.socket.get();
    connect(s, &Socket::DataArrival, this, [&](const QString &t) {
        if (t != QLatin1String("a"))
            return;
        p.peer->closeNow();
        QEventLoop loop;
        QTimer guard;
        connect(s, &Socket::Disconnected, &loop, &QEventLoop::quit);
        connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
        guard.start(10000);
        loop.exec();
    });
    QVERIFY(p.peer->writeNow(QByteArray("a\0b\0tail", 8)));
    QTRY_COMPARE(log.count("disconnect"), 1);
    QCoreApplication::processEvents();
    QCOMPARE(log.entries, (QStringList{"data:a", "data:b", "disconnect"}));
    QCOMPARE(s->SocketHandle(), 0);
}

void TestTransfer::deleteLaterInsideHandler()
{
    Pair p;
    QVERIFY(p.open());
    QPointer<Socket> s = p.socket.release();
    QStringList got;
    connect(s, &Socket::DataArrival, this, [&](const QString &t) {
        got << t;
        s->deleteLater();
    });
    QVERIFY(p.peer->writeNow(QByteArray("a\0b\0", 4)));
    QTRY_VERIFY(s.isNull());
    QCOMPARE(got, (QStringList{"a", "b"})); // the messages of the receive in hand, once each
    QTRY_VERIFY(p.peer->sawClose());
}

void TestTransfer::deleteInsideHandler()
{
    Pair p;
    QVERIFY(p.open());
    Socket *s = p.socket.release();
    QStringList got;
    connect(s, &Socket::DataArrival, this, [&](const QString &t) {
        got << t;
        delete s;
    });
    QVERIFY(p.peer->writeNow(QByteArray("a\0b\0c", 5)));
    QTRY_VERIFY(p.peer->sawClose());
    QCoreApplication::processEvents();
    QCOMPARE(got, QStringList{"a"});
}

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
