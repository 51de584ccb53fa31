// Connecting: addresses, names, services, refusals, the 16-bit port, blocking mode, the order of
// events, and binding by name through the meta-object system.
#include "support.h"

#include <varrow/Socket.h>

#include <QSignalSpy>
#include <QTest>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

using varrow::Socket;

class TestConnecting : public QObject
{
    Q_OBJECT

private slots:
    void dottedAddress();
    void hostName();
    void refusedConnectRaisesNothing();
    void unusableHostOrService();
    void portKeepsLow16Bits();
    void serviceNameGivesThePort();
    void eventsComeInOrder();
    void reconnectReplacesTheConnection();
    void blockingConnectionDeliversThroughReadOnly();
    void methodsAndPropertyByName();
    void localHostIsTheHostName();
};

void TestConnecting::dottedAddress()
{
    vt::RawListener listener;
    QVERIFY(listener.isValid());
    Socket s;
    vt::EventLog log(&s);

    bool connectHadReturned = false;
    bool handlerSawConnection = false;
    bool returned = false;
    connect(&s, &Socket::Connnect, this, [&] {
        connectHadReturned = returned;
        handlerSawConnection = s.SocketHandle() > 0;
    });
    QVERIFY(s.Connect(QStringLiteral("127.0.0.1"), QString(), listener.port()));
    returned = true;

    QCOMPARE(log.entries, QStringList{"connect"});
    QVERIFY2(!connectHadReturned, "Connnect must be raised before Connect returns");
    QVERIFY(handlerSawConnection);

    vt::RawPeer peer(listener.acceptOne());
    QVERIFY(peer.fd() >= 0);
    QCOMPARE(vt::remotePort(peer.fd()), s.LocalPort());
    QCOMPARE(s.LocalAddress(), QStringLiteral("127.0.0.1"));
    QCOMPARE(s.RemoteAddress(), QStringLiteral("127.0.0.1"));
    QCOMPARE(vt::localPort(s.SocketHandle()), s.LocalPort());
}

void TestConnecting::hostName()
{
    vt::RawListener listener;
    Socket s;
    QVERIFY(s.Connect(QStringLiteral("localhost"), QString(), listener.port()));
    const int accepted = listener.acceptOne();
    QVERIFY(accepted >= 0);
    QCOMPARE(vt::remotePort(accepted), s.LocalPort());
    ::close(accepted);
}

void TestConnecting::refusedConnectRaisesNothing()
{
    vt::RefusingPort refusing;
    Socket s;
    vt::EventLog log(&s);
    QVERIFY(!s.Connect(QStringLiteral("127.0.0.1"), QString(), refusing.port()));
    QCOMPARE(log.entries, QStringList{});
    QCOMPARE(s.SocketHandle(), 0); // the failed attempt's socket is closed, nothing is held
    QVERIFY(!s.Send(QStringLiteral("x")));
    QCOMPARE(s.LocalPort(), quint16(0));
}

void TestConnecting::unusableHostOrService()
{
    vt::RawListener listener;
    Socket s;
    vt::EventLog log(&s);
    QVERIFY(!s.Connect(QString(), QString(), listener.port()));
    QVERIFY(!s.Connect(QStringLiteral("127.0.0.1"), QStringLiteral("no-such-service-here"), listener.port()));
    QVERIFY(!s.Connect(QStringLiteral("127.0.0.1"), QString(), 0)); // port 0 cannot be reached
    QCOMPARE(log.entries, QStringList{});
    QCOMPARE(s.SocketHandle(), 0);
}

void TestConnecting::portKeepsLow16Bits()
{
    vt::RawListener listener;
    Socket s;
    QVERIFY(s.Connect(QStringLiteral("127.0.0.1"), QString(), qint32(listener.port()) + 65536));
    const int accepted = listener.acceptOne();
    QVERIFY(accepted >= 0);
    QCOMPARE(vt::remotePort(accepted), s.LocalPort());
    ::close(accepted);
}

void TestConnecting::serviceNameGivesThePort()
{
    // Find a service of the services database whose port is free on loopback, listen there, and
    // connect by its name; the Port argument is then ignored.
    QString name;
    int fd = -1;
    ::setservent(1);
    while (const servent *e = ::getservent()) {
        const quint16 port = ntohs(quint16(e->s_port));
        if (qstrcmp(e->s_proto, "tcp") != 0 || port < 1024)
            continue;
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = e->s_port;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0) {
            name = QString::fromLatin1(e->s_name);
            break;
        }
        ::close(fd);
        fd = -1;
    }
    ::endservent();
    if (fd < 0)
        QSKIP("no free port of the services database on this machine");

    Socket s;
    QVERIFY2(s.Connect(QStringLiteral("127.0.0.1"), name, 1), qPrintable(name));
    const int accepted = ::accept(fd, nullptr, nullptr);
    QVERIFY(accepted >= 0);
    QCOMPARE(vt::remotePort(accepted), s.LocalPort());
    ::close(accepted);
    ::close(fd);
}

void TestConnecting::eventsComeInOrder()
{
    vt::RawListener listener;
    Socket s;
    vt::EventLog log(&s);
    QVERIFY(s.Connect(QStringLiteral("127.0.0.1"), QString(), listener.port()));
    vt::RawPeer peer(listener.acceptOne());
    QVERIFY(peer.writeNow(QByteArray("hi\0there\0", 9)));
    peer.closeNow();
    QTRY_COMPARE(log.count("disconnect"), 1);
    QCOMPARE(log.entries, (QStringList{"connect", "data:hi", "data:there", "disconnect"}));
    QCOMPARE(s.SocketHandle(), 0);
}

void TestConnecting::reconnectReplacesTheConnection()
{
    vt::RawListener listener;
    Socket s;
    vt::EventLog log(&s);
    QVERIFY(s.Connect(QStringLiteral("127.0.0.1"), QString(), listener.port()));
    vt::RawPeer first(listener.acceptOne());
    QVERIFY(s.Connect(QStringLiteral("127.0.0.1"), QString(), listener.port()));
    vt::RawPeer second(listener.acceptOne());

    // The first connection was closed (not leaked), silently.
    QTRY_VERIFY(first.sawClose());
    QCOMPARE(log.entries, (QStringList{"connect", "connect"}));
    QVERIFY(s.Send(QStringLiteral("to second")));
    QTRY_COMPARE(second.received(), QByteArray("to second\0", 10));
    QCOMPARE(first.received(), QByteArray());
}

void TestConnecting::blockingConnectionDeliversThroughReadOnly()
{
    vt::RawListener listener;
    Socket s;
    vt::EventLog log(&s);
    s.setAsynchronous(false);
    QVERIFY(s.Connect(QStringLiteral("127.0.0.1"), QString(), listener.port()));
    QCOMPARE(log.entries, QStringList{"connect"});

    vt::RawPeer peer(listener.acceptOne());
    QVERIFY(peer.writeNow(QByteArray("one\0two\0", 8)));
    peer.closeNow();
    QCoreApplication::processEvents(); // a notifier, if there were one, would fire here
    QCOMPARE(log.entries, QStringList{"connect"});

    // Read blocks until the peer's close and keeps the 0 bytes.
    QCOMPARE(s.Read(), QString::fromLatin1("one\0two\0", 8));
    QCOMPARE(log.entries, QStringList{"connect"}); // Read never raises Disconnected
    QVERIFY(s.SocketHandle() > 0);
}

void TestConnecting::methodsAndPropertyByName()
{
    vt::RawListener listener;
    Socket s;
    vt::EventLog log(&s);

    QCOMPARE(s.property("Asynchronous"), QVariant(true));
    QVERIFY(s.setProperty("Asynchronous", false));
    QCOMPARE(s.Asynchronous(), false);
    QVERIFY(s.setProperty("Asynchronous", true));
    QCOMPARE(s.Asynchronous(), true);

    bool ok = false;
    QVERIFY(QMetaObject::invokeMethod(&s, "Connect", Qt::DirectConnection, Q_RETURN_ARG(bool, ok),
                                      Q_ARG(QString, QStringLiteral("127.0.0.1")), Q_ARG(QString, QString()),
                                      Q_ARG(int, listener.port())));
    QVERIFY(ok);
    QCOMPARE(log.entries, QStringList{"connect"});

    vt::RawPeer peer(listener.acceptOne());
    ok = false;
    QVERIFY(QMetaObject::invokeMethod(&s, "Send", Qt::DirectConnection, Q_RETURN_ARG(bool, ok),
                                      Q_ARG(QString, QStringLiteral("by name"))));
    QVERIFY(ok);
    QTRY_COMPARE(peer.received(), QByteArray("by name\0", 8));

    // The optional parameters: Connect(Host) alone means port 0, which cannot be reached.
    ok = true;
    QVERIFY(QMetaObject::invokeMethod(&s, "Connect", Qt::DirectConnection, Q_RETURN_ARG(bool, ok),
                                      Q_ARG(QString, QStringLiteral("127.0.0.1"))));
    QVERIFY(!ok);

    QString host;
    QVERIFY(QMetaObject::invokeMethod(&s, "LocalHost", Qt::DirectConnection, Q_RETURN_ARG(QString, host)));
    QVERIFY(!host.isEmpty());
    QVERIFY(QMetaObject::invokeMethod(&s, "Disconnect", Qt::DirectConnection));
    QCOMPARE(log.entries.last(), QStringLiteral("disconnect"));

    // Accept takes its handle by reference, also by name.
    Socket listening;
    QVERIFY(listening.Listen(0));
    vt::RawPeer waiting(vt::RawPeer::connectTo(listening.LocalPort()));
    qint32 handle = listening.SocketHandle();
    ok = false;
    QVERIFY(QMetaObject::invokeMethod(&s, "Accept", Qt::DirectConnection, Q_RETURN_ARG(bool, ok),
                                      Q_ARG(qint32 &, handle)));
    QVERIFY(ok);
    QVERIFY(s.Send(QStringLiteral("accepted by name")));
    QTRY_COMPARE(waiting.received(), QByteArray("accepted by name\0", 17));

    // Every member is reachable by name.
    const QMetaObject *mo = s.metaObject();
    for (const char *sig : {"Accept(qint32&)", "Connect(QString,QString,qint32)", "Listen(qint32)", "Disconnect()",
                            "Shutdown()", "LocalIP()", "Read()", "Send(QString)", "LocalHost()",
                            "ConnectionRequest(qint32&)", "Connnect()", "DataArrival(QString)", "Disconnected()"}) {
        QVERIFY2(mo->indexOfMethod(QMetaObject::normalizedSignature(sig)) >= 0, sig);
    }
}

void TestConnecting::localHostIsTheHostName()
{
    char name[256] = {};
    QCOMPARE(::gethostname(name, sizeof name - 1), 0);
    Socket s;
    QCOMPARE(s.LocalHost(), QString::fromLatin1(name));
    QCOMPARE(s.LocalIP(), s.LocalHost());
}

QTEST_GUILESS_MAIN(TestConnecting)
#include "tst_connecting.moc"
