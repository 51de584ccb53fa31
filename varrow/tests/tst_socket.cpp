// varrow::Socket on real loopback connections: connecting, the bytes sent, the framing of what
// arrives, handlers that re-enter, closing, listening and accepting, and calls by name.
#include "support.h"

#include <QEventLoop>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <netdb.h>

#include <csignal>
#include <utility>

using varrow::Socket;
using vt::connectTo;
using namespace Qt::StringLiterals;

namespace {

QByteArray randomBytes(QRandomGenerator &rng, qsizetype size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (char &c : b)
        c = char(1 + rng.bounded(255)); // never 0
    return b;
}

} // namespace

class TestSocket : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_DFL); } // a write must never kill the process

    // ------------------------------------------------------------------------------ connecting

    void connecting_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<qint32>("portOffset");
        QTest::newRow("dotted") << u"127.0.0.1"_s << 0;
        QTest::newRow("host name") << u"localhost"_s << 0;
        QTest::newRow("port keeps 16 bits") << u"127.0.0.1"_s << 65536;
    }

    void connecting()
    {
        QFETCH(QString, host);
        QFETCH(qint32, portOffset);
        vt::RawListener listener;
        Socket s;
        bool returned = false;
        QList<bool> raised; // whether Connnect came inside Connect, with the connection in place
        connect(&s, &Socket::Connnect, this, [&] { raised << (!returned && s.SocketHandle() > 0); });
        QVERIFY(s.Connect(host, QString(), listener.port() + portOffset));
        returned = true;
        QCOMPARE(raised, QList<bool>{true});
        vt::RawPeer peer(listener.acceptOne());
        QCOMPARE(s.LocalAddress(), u"127.0.0.1"_s);
        QCOMPARE(s.RemoteAddress(), u"127.0.0.1"_s);
        QVERIFY(s.Send(u"hi"_s));
        QTRY_COMPARE(peer.received(), "hi\0"_ba);
    }

    void connectByServiceName()
    {
        // A "tcp" entry of the services database whose port is free here; Port is then ignored.
        std::unique_ptr<vt::RawListener> listener;
        QString service;
        ::setservent(1);
        for (const servent *e; service.isEmpty() && (e = ::getservent());) {
            const quint16 port = ntohs(quint16(e->s_port));
            if (port < 1024 || qstrcmp(e->s_proto, "tcp") != 0)
                continue;
            listener = std::make_unique<vt::RawListener>(true, port);
            if (listener->port() == port)
                service = QString::fromLatin1(e->s_name);
        }
        ::endservent();
        if (service.isEmpty())
            QSKIP("no free port of the services database on this machine");
        Socket s;
        QVERIFY2(s.Connect(u"127.0.0.1"_s, service, 1), qPrintable(service));
        vt::RawPeer peer(listener->acceptOne());
        QVERIFY(peer.fd() >= 0);
    }

    void failedConnectRaisesNothing()
    {
        vt::RawListener listening;
        vt::RawListener refusing(false);
        Socket s;
        vt::EventLog log(&s);
        const struct { QString host, service; qint32 port; } attempts[] = {
            {u"127.0.0.1"_s, {}, refusing.port()},
            {{}, {}, listening.port()},
            {QString::fromLatin1("127.0.0.1\0evil"_ba), {}, listening.port()},
            {u"127.0.0.1"_s, u"no-such-service-here"_s, listening.port()},
            {u"127.0.0.1"_s, {}, 0},
        };
        for (const auto &a : attempts) {
            QVERIFY(!s.Connect(a.host, a.service, a.port));
            QCOMPARE(s.SocketHandle(), 0); // the attempt's socket is closed, nothing is held
            QVERIFY(!s.Send(u"x"_s));
            if (a.port == refusing.port())
                QCOMPARE(s.LastError(), ECONNREFUSED);
        }
        QCOMPARE(log.entries, QStringList{});
        QCOMPARE(listening.acceptOne(0), -1);
    }

    void eventsInOrder()
    {
        vt::RawListener listener;
        Socket s;
        vt::EventLog log(&s);
        int reason = -1;
        bool reconnect = false;
        connect(&s, &Socket::Disconnected, this, [&] {
            reason = s.LastError();
            if (std::exchange(reconnect, false))
                QVERIFY(connectTo(s, listener.port()));
        });
        QVERIFY(connectTo(s, listener.port()));
        vt::RawPeer first(listener.acceptOne());
        QVERIFY(connectTo(s, listener.port())); // replaces the first connection, silently
        vt::RawPeer second(listener.acceptOne());
        QTRY_VERIFY(first.sawClose());

        // Complete messages, then the close; the unterminated tail is dropped.
        QVERIFY(second.write("hi\0there\0partial"_ba));
        second.closeNow();
        QTRY_COMPARE(log.count("disconnect"), 1);
        QCoreApplication::processEvents();
        QCOMPARE(log.entries, (QStringList{"connect", "connect", "data:hi", "data:there", "disconnect"}));
        QCOMPARE(reason, 0); // an orderly close
        QCOMPARE(s.SocketHandle(), 0);

        // A reset; the handler connects anew, and the instance keeps that connection.
        QVERIFY(connectTo(s, listener.port()));
        reconnect = true;
        vt::RawPeer(listener.acceptOne()).abort();
        QTRY_COMPARE(log.count("disconnect"), 2);
        QCOMPARE(reason, ECONNRESET);
        QCOMPARE(log.entries.mid(5), (QStringList{"connect", "disconnect", "connect"}));
        vt::RawPeer third(listener.acceptOne());
        QVERIFY(s.SocketHandle() > 0 && s.Send(u"again"_s));
        QTRY_COMPARE(third.received(), "again\0"_ba);
    }

    void blockingMode()
    {
        // Asynchronous false (set by name): Connect still raises Connnect, Accept nothing; data
        // comes through Read only, 0 bytes kept, up to the peer's close, which raises nothing.
        vt::RawListener raw;
        Socket listener;
        QVERIFY(listener.Listen(0));
        Socket s;
        QVERIFY(s.setProperty("Asynchronous", false));
        vt::EventLog log(&s);
        QVERIFY(connectTo(s, raw.port()));
        QVERIFY(vt::RawPeer(raw.acceptOne()).write("one\0two\0"_ba));
        QCoreApplication::processEvents(); // a notifier, if there were one, would fire here
        QCOMPARE(s.Read(), QString::fromLatin1("one\0two\0"_ba));

        vt::RawPeer peer(vt::RawPeer::connectTo(listener.LocalPort()));
        qint32 handle = listener.SocketHandle();
        QVERIFY(s.Accept(handle) && s.Send(u"sent"_s));
        QTRY_COMPARE(peer.received(), "sent\0"_ba);
        QVERIFY(peer.write("x\0"_ba));
        peer.closeNow();
        QCoreApplication::processEvents();
        QCOMPARE(s.Read(), QString::fromLatin1("x\0"_ba));
        QCOMPARE(log.entries, QStringList{"connect"});
        QVERIFY(s.SocketHandle() > 0);
    }

    void byName()
    {
        Socket listener;
        Socket s;
        vt::EventLog log(&s);
        bool ok = false;
        QVERIFY(QMetaObject::invokeMethod(&listener, "Listen", Q_RETURN_ARG(bool, ok), Q_ARG(qint32, 0),
                                          Q_ARG(QString, u"127.0.0.1"_s)) && ok);
        vt::RawPeer peer(vt::RawPeer::connectTo(listener.LocalPort()));
        qint32 handle = listener.SocketHandle();
        QVERIFY(QMetaObject::invokeMethod(&s, "Accept", Q_RETURN_ARG(bool, ok), Q_ARG(qint32 &, handle)) && ok);
        QVERIFY(QMetaObject::invokeMethod(&s, "Send", Q_RETURN_ARG(bool, ok), Q_ARG(QString, u"by name"_s)) && ok);
        QTRY_COMPARE(peer.received(), "by name\0"_ba);
        // Connect(Host) alone: port 0, which cannot be reached.
        QVERIFY(QMetaObject::invokeMethod(&s, "Connect", Q_RETURN_ARG(bool, ok), Q_ARG(QString, u"127.0.0.1"_s)));
        QVERIFY(!ok);
        QVERIFY(QMetaObject::invokeMethod(&s, "Disconnect"));
        QCOMPARE(log.entries, QStringList{"disconnect"});

        char name[256] = {};
        QCOMPARE(::gethostname(name, sizeof name - 1), 0);
        for (const char *method : {"LocalHost", "LocalIP"}) {
            QString host;
            QVERIFY(QMetaObject::invokeMethod(&s, method, Q_RETURN_ARG(QString, host)));
            QCOMPARE(host, QString::fromLatin1(name));
        }
        for (const char *method : {"Connect(QString,QString,qint32)", "Listen(qint32)", "Shutdown()", "Read()"})
            QVERIFY2(s.metaObject()->indexOfMethod(method) >= 0, method);
    }

    // --------------------------------------------------------------------------------- sending

    void exactBytesOnTheWire()
    {
        // Latin-1, one byte per character ("?" above 255, one for a surrogate pair), and a 0.
        vt::Pair p;
        QVERIFY(p.open());
        for (const QString &text : {QString(), u"caf\u00e9 \u00ff\u0080"_s, u"1\u20ac2\u0100"_s,
                                    QString::fromUtf8("a\xF0\x9F\x98\x80z") + QChar(0xD800), QString::fromLatin1("a\0b"_ba)})
            QVERIFY(p.socket->Send(text));
        QTRY_COMPARE(p.peer->received(), "\0caf\xe9 \xff\x80\0" "1?2?\0" "a?z?\0" "a\0b\0"_ba);
    }

    void sendToAClosedPeerFails()
    {
        // Blocking mode, so no read notice gets in the way: the first write may still be taken
        // by the kernel; the reset that answers it makes the next one fail, without SIGPIPE.
        vt::Pair p;
        QVERIFY(p.open(false));
        p.peer->closeNow();
        int failures = 0;
        for (int i = 0; i < 20 && failures == 0; ++i)
            failures += p.socket->Send(u"anyone there?"_s) ? 0 : 1;
        QCOMPARE(failures, 1);

        vt::Pair q;
        QVERIFY(q.open());
        q.peer->abort();
        QVERIFY(!q.socket->Send(u"after reset"_s));
    }

    void sendQueue()
    {
        // The peer stops reading: what the kernel does not take waits in the send queue, whole
        // texts in order, until more than 4 MiB wait; then Send refuses and queues nothing.
        vt::Pair p;
        QVERIFY(p.open());
        const int small = 65536;
        ::setsockopt(p.socket->SocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::setsockopt(p.peer->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        p.peer->setReading(false);

        QByteArray expected;
        qint64 queued = 0;
        for (int i = 0; i < 12; ++i) {
            const QString text(1 << 20, QChar(u'a' + i));
            if (!p.socket->Send(text))
                break;
            expected += text.toLatin1() + '\0';
            QVERIFY(p.socket->PendingOutput() > queued); // each text goes behind the earlier ones
            queued = p.socket->PendingOutput();
        }
        QVERIFY2(queued > 4 << 20 && expected.size() < 12 << 20, "Send refuses once 4 MiB wait unsent");
        QVERIFY(!p.socket->Send(u"refused too"_s));
        QCOMPARE(p.socket->PendingOutput(), queued);

        // Read by hand until less than half waits: a text sent now still goes behind the rest.
        for (int i = 0; i < 100000 && p.socket->PendingOutput() > queued / 2; ++i) {
            p.peer->read();
            QCoreApplication::processEvents();
        }
        QVERIFY(p.socket->Send(u"more"_s));
        expected += "more\0"_ba;
        p.peer->setReading(true);
        QTRY_COMPARE_WITH_TIMEOUT(p.peer->received().size(), expected.size(), 10000);
        QVERIFY(p.peer->received() == expected);
        QCOMPARE(p.socket->PendingOutput(), 0);
    }

    // ------------------------------------------------------------------- receiving and framing

    void largeAndOversizedMessages()
    {
        // 1 MiB is delivered; a longer message is dropped up to its 0 byte, the connection stays.
        vt::Pair p;
        QVERIFY(p.open());
        QStringList got;
        connect(p.socket.get(), &Socket::DataArrival, this, [&](const QString &t) { got << t; });
        QRandomGenerator rng(3);
        const QByteArray atLimit = randomBytes(rng, 1 << 20);
        QVERIFY(p.peer->write("before\0"_ba + atLimit + '\0'));
        QVERIFY(p.peer->write(QByteArray((1 << 20) + 1, 'x')));
        QVERIFY(p.peer->write(QByteArray(100'000, 'y'))); // still the same oversized message
        QVERIFY(p.peer->write("\0after\0"_ba));
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), 3, 10000);
        QVERIFY(got == (QStringList{"before", QString::fromLatin1(atLimit), "after"}));
        QVERIFY(p.socket->Send(u"still up"_s));
        QTRY_COMPARE(p.peer->received(), "still up\0"_ba);
    }

    void maxMessageSizeEndsTheConnection()
    {
        // Set by name before connecting, it holds for the connection: a message of that size
        // comes, a longer one (not terminated, over several receives) ends the connection.
        vt::Pair p;
        QVERIFY(p.socket->setProperty("MaxMessageSize", 5000));
        QVERIFY(p.open());
        vt::EventLog log(p.socket.get());
        int reason = -1;
        connect(p.socket.get(), &Socket::Disconnected, this, [&] { reason = p.socket->LastError(); });
        const QByteArray atBound(5000, 'a');
        p.peer->write(atBound + '\0' + QByteArray(5001, 'x') + "\0after\0"_ba);
        QTRY_COMPARE_WITH_TIMEOUT(log.count("disconnect"), 1, 10000);
        QCOMPARE(log.entries, (QStringList{"data:" + QString::fromLatin1(atBound), "disconnect"}));
        QCOMPARE(reason, EMSGSIZE);
        QCOMPARE(p.socket->SocketHandle(), 0);
        QTRY_VERIFY(p.peer->sawClose());

        // The next connection of the instance starts afresh, under the same bound.
        QVERIFY(connectTo(*p.socket, p.listener.port()));
        vt::RawPeer next(p.listener.acceptOne());
        QVERIFY(next.write("new\0"_ba + QByteArray(5001, 'x')));
        QTRY_COMPARE(log.count("disconnect"), 2);
        QCOMPARE(log.entries.mid(2), (QStringList{"connect", "data:new", "disconnect"}));
    }

    void randomisedReceiveStream()
    {
        // A few thousand random messages, cut into chunks of random size that go out one send()
        // at a time: the DataArrival texts are exactly the messages, in order.
        vt::Pair p;
        QVERIFY(p.open());
        QStringList got;
        connect(p.socket.get(), &Socket::DataArrival, this, [&](const QString &t) { got << t; });
        QRandomGenerator rng(424242);
        QStringList sent;
        QByteArray stream;
        for (int i = 0; i < 3000; ++i) {
            const QByteArray m = randomBytes(rng, rng.bounded(10) == 0 ? rng.bounded(5000) : rng.bounded(60));
            sent << QString::fromLatin1(m);
            stream += m + '\0';
        }
        for (qsizetype at = 0; at < stream.size();) {
            const qsizetype n = std::min<qsizetype>(1 + rng.bounded(rng.bounded(2) ? 16 : 4096), stream.size() - at);
            QVERIFY(p.peer->write(stream.mid(at, n)));
            QCoreApplication::processEvents(); // the socket may take the chunk on its own
            at += n;
        }
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), sent.size(), 30000);
        QCOMPARE(got, sent);
    }

    // ------------------------------------------------------------------ handlers that re-enter

    void nestedLoop()
    {
        // The first handler runs a nested loop (as a modal dialog would) while more data and the
        // peer's close arrive: inside it, the notices deliver what was queued and what arrives,
        // in order, each once, then the close; the unterminated tail is dropped.
        vt::Pair p;
        QVERIFY(p.open());
        vt::EventLog log(p.socket.get());
        qsizetype nested = -1;
        connect(p.socket.get(), &Socket::DataArrival, this, [&](const QString &t) {
            if (t != "first"_L1)
                return;
            QVERIFY(p.peer->write("third\0four"_ba) && p.peer->write("th\0fifth\0tail"_ba));
            p.peer->closeNow();
            QEventLoop loop;
            QTimer::singleShot(10000, &loop, &QEventLoop::quit); // gives up rather than hang
            connect(p.socket.get(), &Socket::Disconnected, &loop, &QEventLoop::quit);
            loop.exec();
            nested = log.entries.size();
        });
        QVERIFY(p.peer->write("first\0second\0"_ba));
        QTRY_COMPARE(nested, 6); // everything came inside the nested loop
        QCoreApplication::processEvents();
        QCOMPARE(log.entries, (QStringList{"data:first", "data:second", "data:third", "data:fourth", "data:fifth",
                                           "disconnect"}));
        QCOMPARE(p.socket->SocketHandle(), 0);
    }

    void disconnectInHandler()
    {
        // Nothing more comes from a connection dropped inside a handler, not even on the next
        // connection of the same instance.
        vt::Pair p;
        QVERIFY(p.open());
        vt::EventLog log(p.socket.get());
        Socket *s = p.socket.get();
        connect(s, &Socket::DataArrival, this, [s](const QString &t) {
            if (t == "a"_L1)
                s->Disconnect();
        });
        QVERIFY(p.peer->write("a\0b\0par"_ba));
        QTRY_VERIFY(p.peer->sawClose());
        QCOMPARE(s->SocketHandle(), 0);

        QVERIFY(connectTo(*s, p.listener.port()));
        vt::RawPeer second(p.listener.acceptOne());
        QVERIFY(second.write("x\0"_ba));
        QTRY_COMPARE(log.entries.size(), 4);
        QCOMPARE(log.entries, (QStringList{"data:a", "disconnect", "connect", "data:x"}));
    }

    void deleteInHandler()
    {
        // Once a handler has deleted the instance, nothing more is raised or touched.
        vt::Pair p;
        QVERIFY(p.open());
        QStringList got;
        Socket *s = p.socket.release();
        connect(s, &Socket::DataArrival, this, [&](const QString &t) { got << t; delete s; });
        QVERIFY(p.peer->write("a\0b\0c"_ba));
        QTRY_VERIFY(p.peer->sawClose());
        QCoreApplication::processEvents();
        QCOMPARE(got, QStringList{"a"});
    }

    // --------------------------------------------------------------------------------- closing

    void disconnectInEveryState_data()
    {
        QTest::addColumn<QString>("state");
        for (const char *state : {"idle", "failed connect", "listening", "connected", "blocking"})
            QTest::newRow(state) << QString::fromLatin1(state);
    }

    void disconnectInEveryState()
    {
        // Disconnect closes what is held, raises Disconnected (the descriptor already closed,
        // the old handle still shown), then shows handle 0.
        QFETCH(QString, state);
        vt::RawListener listener(state != "failed connect"_L1);
        Socket s;
        std::unique_ptr<vt::RawPeer> peer;
        if (state == "failed connect"_L1) {
            QVERIFY(!connectTo(s, listener.port()));
        } else if (state == "listening"_L1) {
            QVERIFY(s.Listen(0));
        } else if (state != "idle"_L1) {
            s.setAsynchronous(state == "connected"_L1);
            QVERIFY(connectTo(s, listener.port()));
            peer = std::make_unique<vt::RawPeer>(listener.acceptOne());
        }
        const quint16 port = s.LocalPort();
        QCOMPARE(s.Send(u"x"_s), bool(peer));
        const qint32 handle = s.SocketHandle();
        QList<qint32> seen;
        connect(&s, &Socket::Disconnected, this, [&] {
            seen << s.SocketHandle() << (handle > 0 && vt::isOpen(handle));
            s.Disconnect(); // a host that makes sure: nothing more happens
        });
        s.Disconnect();
        QCOMPARE(seen, (QList<qint32>{handle, 0}));
        QCOMPARE(s.SocketHandle(), 0);
        QCOMPARE(s.RemoteAddress(), QString());
        QVERIFY(!s.Send(u"x"_s));
        if (peer)
            QTRY_VERIFY(peer->sawClose());
        if (port)
            QCOMPARE(vt::RawPeer::connectTo(port), -1); // nobody listens there any more
        s.Disconnect(); // a later, separate call raises the event again
        QCOMPARE(seen.size(), 4);
    }

    // -------------------------------------------------------------------- listening/accepting

    void listening()
    {
        Socket s;
        vt::EventLog log(&s);
        QVERIFY(s.Listen(0));
        const quint16 port = s.LocalPort();
        QVERIFY(port != 0 && s.SocketHandle() > 0);
        QCOMPARE(s.LocalAddress(), QString()); // not a connection
        s.Disconnect();
        QVERIFY(s.Listen(qint32(port) + 65536)); // the port keeps its low 16 bits
        QCOMPARE(s.LocalPort(), port);
        Socket busy;
        QVERIFY(!busy.Listen(port));
        QCOMPARE(busy.LastError(), EADDRINUSE);
        QCOMPARE(busy.SocketHandle(), 0);

        // On one address; "" is every address; anything but a dotted address fails.
        for (const QString &address : {u"127.0.0.1"_s, QString()}) {
            QVERIFY(s.Listen(0, address));
            sockaddr_in bound{};
            socklen_t length = sizeof bound;
            QCOMPARE(::getsockname(s.SocketHandle(), reinterpret_cast<sockaddr *>(&bound), &length), 0);
            QCOMPARE(bound.sin_addr.s_addr, htonl(address.isEmpty() ? INADDR_ANY : INADDR_LOOPBACK));
        }
        const int held = s.SocketHandle();
        for (const QString &text : {u"localhost"_s, u"127.0.0"_s, QString::fromLatin1("127.0.0.1\0x"_ba)}) {
            QVERIFY2(!s.Listen(0, text), qPrintable(text));
            QCOMPARE(s.LastError(), EINVAL);
            QCOMPARE(s.SocketHandle(), 0);
        }
        QVERIFY(!vt::isOpen(held)); // what the instance held was closed, as by any Listen
        QCOMPARE(log.entries, QStringList{"disconnect"}); // Listen raises nothing
    }

    void connectionRequests()
    {
        // A handler hands each request to a new instance; the listener keeps listening.
        Socket listener;
        vt::EventLog requests(&listener);
        std::vector<std::unique_ptr<Socket>> workers;
        enum { Hand, Ignore, TakeItself } mode = Hand;
        qint32 argumentAfter = -1;
        connect(&listener, &Socket::ConnectionRequest, this, [&](qint32 &handle) {
            if (mode == Hand) {
                workers.push_back(std::make_unique<Socket>());
                QVERIFY(workers.back()->Accept(handle));
            } else if (mode == TakeItself) {
                QVERIFY(listener.Accept(handle));
                argumentAfter = handle;
            }
        });
        QVERIFY(listener.Listen(0));
        const qint32 listening = listener.SocketHandle();
        vt::RawPeer a(vt::RawPeer::connectTo(listener.LocalPort()));
        vt::RawPeer b(vt::RawPeer::connectTo(listener.LocalPort()));
        QTRY_COMPARE(workers.size(), size_t(2));
        QCOMPARE(listener.SocketHandle(), listening);
        QCOMPARE(workers[0]->RemoteAddress(), u"127.0.0.1"_s);
        vt::EventLog data(workers[0].get()); // each worker holds its own connection, with notices
        QVERIFY(a.write("from a\0"_ba));
        QTRY_COMPARE(data.entries, QStringList{"data:from a"});
        QVERIFY(workers[1]->Send(u"to b"_s));
        QTRY_COMPARE(b.received(), "to b\0"_ba);

        // A request nobody takes is raised once, not once per loop pass; a later Accept takes
        // the connection and arms the listener again.
        mode = Ignore;
        vt::RawPeer c(vt::RawPeer::connectTo(listener.LocalPort()));
        QTRY_COMPARE(requests.entries.size(), 3);
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
        QCOMPARE(requests.entries.size(), 3);
        Socket late;
        qint32 handle = listening;
        QVERIFY(late.Accept(handle) && late.Send(u"late"_s));
        QTRY_COMPARE(c.received(), "late\0"_ba);
        vt::RawPeer d(vt::RawPeer::connectTo(listener.LocalPort()));
        QTRY_COMPARE(requests.entries.size(), 4);

        // Accept fails, keeping what the instance holds, on a listener with nothing pending and
        // on what is not a listener.
        QVERIFY(late.Accept(handle));
        const qint32 held = late.SocketHandle();
        for (qint32 other : {listening, held, -5}) {
            QVERIFY(!late.Accept(other));
            QCOMPARE(late.SocketHandle(), held);
        }

        // The handler's argument is bound to SocketHandle: a listener accepting into itself
        // becomes the connection, and its listening descriptor is closed.
        mode = TakeItself;
        const quint16 port = listener.LocalPort();
        vt::RawPeer e(vt::RawPeer::connectTo(port));
        QTRY_COMPARE(argumentAfter, listener.SocketHandle());
        QCOMPARE(vt::RawPeer::connectTo(port), -1);
        QVERIFY(listener.Send(u"hello"_s));
        QTRY_COMPARE(e.received(), "hello\0"_ba);
    }

};

QTEST_GUILESS_MAIN(TestSocket)
#include "tst_socket.moc"
