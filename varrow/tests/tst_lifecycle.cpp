// Closing (by the peer, and Disconnect in every state) and listening/accepting.
#include "support.h"

#include <varrow/Socket.h>

#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <unistd.h>

using varrow::Socket;

namespace {

bool connectTo(Socket &s, quint16 port)
{
    return s.Connect(QStringLiteral("127.0.0.1"), QString(), port);
}

} // namespace

class TestLifecycle : public QObject
{
    Q_OBJECT

private slots:
    // closing
    void peerCloseRaisesDisconnectedOnce();
    void disconnectedHandlerSeesClosedDescriptorAndOldHandle();
    void disconnectWhenIdle();
    void disconnectAfterFailedConnect();
    void disconnectConnected_data();
    void disconnectConnected();
    void disconnectListening();
    void disconnectFromItsOwnHandlerDoesNotRecurse();
    void reconnectFromDisconnectedHandlerKeepsNewConnection();

    // listening and accepting
    void listenPicksAPort();
    void listenPortKeepsLow16Bits();
    void listenOnABusyPortFails();
    void listenOnOneAddress();
    void listenOnABadAddressFails();
    void requestHandedToAnotherInstance();
    void requestAcceptedByTheListenerItself();
    void requestHandlerAssigningZero();
    void requestNotTakenWaitsForAccept();
    void acceptWithNothingPendingDoesNotBlock();
    void acceptOnSomethingElseFails();
    void acceptInBlockingMode();
    void acceptReplacesPreviousConnection();
};

// ------------------------------------------------------------------------------------- closing

void TestLifecycle::peerCloseRaisesDisconnectedOnce()
{
    vt::RawListener listener;
    Socket s;
    vt::EventLog log(&s);
    int reason = -1;
    connect(&s, &Socket::Disconnected, this, [&] { reason = errno; });
    QVERIFY(connectTo(s, listener.port()));
    {
        vt::RawPeer peer(listener.acceptOne());
        peer.closeNow();
    }
    QTRY_COMPARE(log.count("disconnect"), 1);
    QCOMPARE(s.SocketHandle(), 0);
    QCOMPARE(reason, 0); // an orderly close
    QCoreApplication::processEvents();
    QCOMPARE(log.entries, (QStringList{"connect", "disconnect"}));
    QVERIFY(!s.Send(QStringLiteral("gone")));
    QCOMPARE(s.Read(), QString());

    QVERIFY(connectTo(s, listener.port()));
    vt::RawPeer(listener.acceptOne()).abort();
    QTRY_COMPARE(log.count("disconnect"), 2);
    QCOMPARE(reason, ECONNRESET);
}

void TestLifecycle::disconnectedHandlerSeesClosedDescriptorAndOldHandle()
{
    vt::RawListener listener;
    Socket s;
    QVERIFY(connectTo(s, listener.port()));
    const qint32 handle = s.SocketHandle();
    vt::RawPeer peer(listener.acceptOne());

    qint32 seen = 0;
    bool wasOpen = true;
    connect(&s, &Socket::Disconnected, this, [&] {
        seen = s.SocketHandle();
        wasOpen = vt::isOpen(handle);
    });
    s.Disconnect();
    QCOMPARE(seen, handle);
    QVERIFY(!wasOpen);
    QCOMPARE(s.SocketHandle(), 0);
    QTRY_VERIFY(peer.sawClose());
}

void TestLifecycle::disconnectWhenIdle()
{
    Socket s;
    QSignalSpy spy(&s, &Socket::Disconnected);
    s.Disconnect();
    QCOMPARE(spy.size(), 1);
    QCOMPARE(s.SocketHandle(), 0);
    s.Disconnect();
    QCOMPARE(spy.size(), 2); // raised in every state, also when nothing was open
}

void TestLifecycle::disconnectAfterFailedConnect()
{
    vt::RefusingPort refusing;
    Socket s;
    QSignalSpy spy(&s, &Socket::Disconnected);
    QVERIFY(!connectTo(s, refusing.port()));
    s.Disconnect();
    QCOMPARE(spy.size(), 1);
    QCOMPARE(s.SocketHandle(), 0);
}

void TestLifecycle::disconnectConnected_data()
{
    QTest::addColumn<bool>("asynchronous");
    QTest::newRow("notified") << true;
    QTest::newRow("blocking") << false;
}

void TestLifecycle::disconnectConnected()
{
    QFETCH(bool, asynchronous);
    vt::RawListener listener;
    Socket s;
    s.setAsynchronous(asynchronous);
    vt::EventLog log(&s);
    QVERIFY(connectTo(s, listener.port()));
    const qint32 handle = s.SocketHandle();
    vt::RawPeer peer(listener.acceptOne());

    s.Disconnect();
    QCOMPARE(log.entries, (QStringList{"connect", "disconnect"}));
    QCOMPARE(s.SocketHandle(), 0);
    QVERIFY(!vt::isOpen(handle));
    QTRY_VERIFY(peer.sawClose());
}

void TestLifecycle::disconnectListening()
{
    Socket s;
    QSignalSpy spy(&s, &Socket::Disconnected);
    QVERIFY(s.Listen(0));
    const quint16 port = s.LocalPort();
    QVERIFY(port != 0);
    s.Disconnect();
    QCOMPARE(spy.size(), 1);
    QCOMPARE(s.SocketHandle(), 0);
    QCOMPARE(s.LocalPort(), quint16(0));
    QCOMPARE(vt::RawPeer::connectTo(port), -1); // nobody listens there any more
}

void TestLifecycle::disconnectFromItsOwnHandlerDoesNotRecurse()
{
    vt::RawListener listener;
    Socket s;
    QVERIFY(connectTo(s, listener.port()));
    int raised = 0;
    connect(&s, &Socket::Disconnected, this, [&] {
        ++raised;
        if (raised < 100)
            s.Disconnect(); // a host that "makes sure"
    });
    s.Disconnect();
    QCOMPARE(raised, 1);
    QCOMPARE(s.SocketHandle(), 0);
    s.Disconnect(); // a later, separate call raises it again
    QCOMPARE(raised, 2);
}

void TestLifecycle::reconnectFromDisconnectedHandlerKeepsNewConnection()
{
    vt::RawListener listener;
    Socket s;
    QVERIFY(connectTo(s, listener.port()));
    vt::RawPeer first(listener.acceptOne());

    bool reconnected = false;
    connect(&s, &Socket::Disconnected, this, [&] {
        if (!reconnected)
            reconnected = connectTo(s, listener.port());
    });
    first.closeNow();
    QTRY_VERIFY(reconnected);
    vt::RawPeer second(listener.acceptOne());
    QVERIFY(s.SocketHandle() > 0); // not reset to 0 after the handler
    QVERIFY(s.Send(QStringLiteral("again")));
    QTRY_COMPARE(second.received(), QByteArray("again\0", 6));
}

// -------------------------------------------------------------------------- listening/accepting

void TestLifecycle::listenPicksAPort()
{
    Socket s;
    vt::EventLog log(&s);
    QVERIFY(s.Listen(0));
    QVERIFY(s.SocketHandle() > 0);
    QVERIFY(s.LocalPort() != 0);
    QCOMPARE(s.LocalAddress(), QString()); // not a connection
    QCOMPARE(log.entries, QStringList{});  // Listen raises no event
}

void TestLifecycle::listenPortKeepsLow16Bits()
{
    const quint16 port = vt::probeFreePort();
    QVERIFY(port != 0);
    Socket s;
    QVERIFY(s.Listen(qint32(port) + 65536));
    QCOMPARE(s.LocalPort(), port);
}

void TestLifecycle::listenOnABusyPortFails()
{
    Socket first;
    QVERIFY(first.Listen(0));
    Socket second;
    errno = 0;
    QVERIFY(!second.Listen(first.LocalPort()));
    QCOMPARE(errno, EADDRINUSE);
    QCOMPARE(second.SocketHandle(), 0); // its socket was closed, not kept
}

void TestLifecycle::listenOnOneAddress()
{
    Socket listener;
    std::unique_ptr<Socket> worker;
    connect(&listener, &Socket::ConnectionRequest, this, [&](qint32 &handle) {
        worker = std::make_unique<Socket>();
        QVERIFY(worker->Accept(handle));
    });
    QVERIFY(listener.Listen(0, QStringLiteral("127.0.0.1")));
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    QCOMPARE(::getsockname(listener.SocketHandle(), reinterpret_cast<sockaddr *>(&bound), &length), 0);
    QCOMPARE(ntohl(bound.sin_addr.s_addr), quint32(INADDR_LOOPBACK));
    QCOMPARE(ntohs(bound.sin_port), listener.LocalPort());

    // The accepted connection knows its peer's address, until it is closed.
    vt::RawPeer peer(vt::RawPeer::connectTo(listener.LocalPort()));
    QTRY_VERIFY(worker);
    QCOMPARE(worker->RemoteAddress(), QStringLiteral("127.0.0.1"));
    QCOMPARE(listener.RemoteAddress(), QString()); // a listener has no peer
    worker->Disconnect();
    QCOMPARE(worker->RemoteAddress(), QString());

    // An empty address is every address, as Listen(Port) is.
    QVERIFY(listener.Listen(0, QString()));
    QCOMPARE(::getsockname(listener.SocketHandle(), reinterpret_cast<sockaddr *>(&bound), &length), 0);
    QCOMPARE(bound.sin_addr.s_addr, htonl(INADDR_ANY));
}

void TestLifecycle::listenOnABadAddressFails()
{
    Socket s;
    QVERIFY(s.Listen(0, QStringLiteral("127.0.0.1")));
    const int held = s.SocketHandle();
    const int before = vt::openDescriptorCount();
    for (const QString &text : {u"localhost"_qs, u"127.0.0"_qs, u"127.0.0.256"_qs, u" 127.0.0.1"_qs,
                                u"::1"_qs, u"127.0.0.1\u0000x"_qs, u"127.0.0.\u0131"_qs}) {
        errno = 0;
        QVERIFY2(!s.Listen(0, text), qPrintable(text));
        QCOMPARE(errno, EINVAL);
        QCOMPARE(s.SocketHandle(), 0);
    }
    QVERIFY(!vt::isOpen(held)); // what the instance held was closed, as by any Listen
    QCOMPARE(vt::openDescriptorCount(), before - 1);
}

void TestLifecycle::requestHandedToAnotherInstance()
{
    Socket listener;
    std::vector<std::unique_ptr<Socket>> workers;
    QList<qint32> offered;
    connect(&listener, &Socket::ConnectionRequest, this, [&](qint32 &handle) {
        offered << handle;
        auto worker = std::make_unique<Socket>();
        QVERIFY(worker->Accept(handle));
        workers.push_back(std::move(worker));
    });
    QVERIFY(listener.Listen(0));
    const qint32 listening = listener.SocketHandle();

    vt::RawPeer a(vt::RawPeer::connectTo(listener.LocalPort()));
    QVERIFY(a.fd() >= 0);
    QTRY_COMPARE(workers.size(), size_t(1));
    vt::RawPeer b(vt::RawPeer::connectTo(listener.LocalPort()));
    QTRY_COMPARE(workers.size(), size_t(2)); // still listening
    QCOMPARE(offered, (QList<qint32>{listening, listening}));
    QCOMPARE(listener.SocketHandle(), listening);

    // Each worker holds its own connection, with notices.
    QCOMPARE(workers[0]->LocalPort(), listener.LocalPort());
    QVERIFY(workers[0]->SocketHandle() != workers[1]->SocketHandle());
    QSignalSpy data0(workers[0].get(), &Socket::DataArrival);
    QVERIFY(a.writeNow(QByteArray("from a\0", 7)));
    QTRY_COMPARE(data0.size(), 1);
    QCOMPARE(data0.at(0).at(0).toString(), QStringLiteral("from a"));
    QVERIFY(workers[1]->Send(QStringLiteral("to b")));
    QTRY_COMPARE(b.received(), QByteArray("to b\0", 5));
}

void TestLifecycle::requestAcceptedByTheListenerItself()
{
    Socket s;
    qint32 argumentAfter = 0;
    bool accepted = false;
    connect(&s, &Socket::ConnectionRequest, this, [&](qint32 &handle) {
        accepted = s.Accept(handle);
        argumentAfter = handle; // bound to SocketHandle: now the connection
    });
    QVERIFY(s.Listen(0));
    const quint16 port = s.LocalPort();
    vt::RawPeer peer(vt::RawPeer::connectTo(port));
    QTRY_VERIFY(accepted);
    QCOMPARE(argumentAfter, s.SocketHandle());

    // The listener was replaced (and closed); the instance is now the connection.
    QCOMPARE(vt::RawPeer::connectTo(port), -1);
    QVERIFY(s.Send(QStringLiteral("hello")));
    QTRY_COMPARE(peer.received(), QByteArray("hello\0", 6));
}

void TestLifecycle::requestHandlerAssigningZero()
{
    Socket s;
    vt::EventLog log(&s);
    connect(&s, &Socket::ConnectionRequest, this, [](qint32 &handle) { handle = 0; });
    QVERIFY(s.Listen(0));
    const quint16 port = s.LocalPort();
    const int fd = vt::RawPeer::connectTo(port);
    QVERIFY(fd >= 0);
    QTRY_COMPARE(log.entries.size(), 1);
    QCOMPARE(s.SocketHandle(), 0);
    // Nothing can reach the listener any more: it is closed rather than leaked.
    QCOMPARE(vt::RawPeer::connectTo(port), -1);
    ::close(fd);
}

void TestLifecycle::requestNotTakenWaitsForAccept()
{
    Socket listener;
    QList<qint32> requests;
    connect(&listener, &Socket::ConnectionRequest, this, [&](qint32 &h) { requests << h; });
    QVERIFY(listener.Listen(0));
    vt::RawPeer a(vt::RawPeer::connectTo(listener.LocalPort()));
    QTRY_COMPARE(requests.size(), 1);
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    QCOMPARE(requests.size(), 1); // one request per connection, not one per loop pass

    // The connection still waits; taking it later arms the listener again.
    qint32 handle = listener.SocketHandle();
    Socket worker;
    QVERIFY(worker.Accept(handle));
    QVERIFY(worker.Send(QStringLiteral("late")));
    QTRY_COMPARE(a.received(), QByteArray("late\0", 5));
    vt::RawPeer b(vt::RawPeer::connectTo(listener.LocalPort()));
    QTRY_COMPARE(requests.size(), 2);
}

void TestLifecycle::acceptWithNothingPendingDoesNotBlock()
{
    Socket listener;
    QVERIFY(listener.Listen(0));
    qint32 handle = listener.SocketHandle();
    Socket worker;
    QVERIFY(!worker.Accept(handle));
    QCOMPARE(worker.SocketHandle(), 0);
    QCOMPARE(handle, listener.SocketHandle());
}

void TestLifecycle::acceptOnSomethingElseFails()
{
    vt::RawListener raw;
    Socket connected;
    QVERIFY(connectTo(connected, raw.port()));
    const int accepted = raw.acceptOne();

    Socket worker;
    qint32 notListening = connected.SocketHandle();
    QVERIFY(!worker.Accept(notListening));
    qint32 negative = -5;
    QVERIFY(!worker.Accept(negative));
    QCOMPARE(worker.SocketHandle(), 0);
    ::close(accepted);
}

void TestLifecycle::acceptInBlockingMode()
{
    Socket listener;
    Socket worker;
    worker.setAsynchronous(false);
    vt::EventLog log(&worker);
    connect(&listener, &Socket::ConnectionRequest, this, [&](qint32 &h) { QVERIFY(worker.Accept(h)); });
    QVERIFY(listener.Listen(0));
    {
        vt::RawPeer peer(vt::RawPeer::connectTo(listener.LocalPort()));
        QTRY_VERIFY(worker.SocketHandle() > 0);
        QVERIFY(peer.writeNow(QByteArray("x\0y\0", 4)));
    }
    QCoreApplication::processEvents();
    QCOMPARE(worker.Read(), QString::fromLatin1("x\0y\0", 4));
    QCOMPARE(log.entries, QStringList{}); // Accept raises no Connnect; no notices in blocking mode
}

void TestLifecycle::acceptReplacesPreviousConnection()
{
    vt::RawListener raw;
    Socket worker;
    vt::EventLog log(&worker);
    QVERIFY(connectTo(worker, raw.port()));
    vt::RawPeer old(raw.acceptOne());

    Socket listener;
    QVERIFY(listener.Listen(0));
    vt::RawPeer fresh(vt::RawPeer::connectTo(listener.LocalPort()));
    qint32 handle = listener.SocketHandle();
    QVERIFY(worker.Accept(handle));
    QTRY_VERIFY(old.sawClose()); // closed, not leaked, and without a Disconnected event
    QCOMPARE(log.entries, QStringList{"connect"});
    QVERIFY(worker.Send(QStringLiteral("new")));
    QTRY_COMPARE(fresh.received(), QByteArray("new\0", 4));
}

QTEST_GUILESS_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
