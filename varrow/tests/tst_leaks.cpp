// Descriptor leaks: many connections made, refused, replaced, accepted and closed by the peer
// leave the process with as many open descriptors as before.
#include "support.h"

#include <varrow/Socket.h>

#include <QTest>

#include <unistd.h>

using varrow::Socket;

class TestLeaks : public QObject
{
    Q_OBJECT

private slots:
    void connectDisconnectCycles();
    void refusedConnects();
    void connectOverConnect();
    void listenAcceptCycles();
    void peerCloseCycles();
};

void TestLeaks::connectDisconnectCycles()
{
    vt::RawListener raw;
    Socket s;
    const int before = vt::openDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        QVERIFY(s.Connect(QStringLiteral("127.0.0.1"), QString(), raw.port()));
        const int accepted = raw.acceptOne();
        QVERIFY(accepted >= 0);
        ::close(accepted);
        s.Disconnect();
    }
    QCOMPARE(vt::openDescriptorCount(), before);
}

void TestLeaks::refusedConnects()
{
    vt::RefusingPort refusing;
    Socket s;
    const int before = vt::openDescriptorCount();
    for (int i = 0; i < 1000; ++i)
        QVERIFY(!s.Connect(QStringLiteral("127.0.0.1"), QString(), refusing.port()));
    QCOMPARE(vt::openDescriptorCount(), before);
}

void TestLeaks::connectOverConnect()
{
    // Connect, Listen and Accept replace what the instance holds: the old descriptor is closed.
    vt::RawListener raw;
    Socket s;
    Socket listener;
    QVERIFY(listener.Listen(0));
    const int before = vt::openDescriptorCount();
    for (int i = 0; i < 300; ++i) {
        QVERIFY(s.Connect(QStringLiteral("127.0.0.1"), QString(), raw.port()));
        ::close(raw.acceptOne());
        QVERIFY(s.Listen(0));
        QVERIFY(!s.Listen(listener.LocalPort())); // busy port: the failed attempt closes too
        const int client = vt::RawPeer::connectTo(listener.LocalPort());
        qint32 handle = listener.SocketHandle();
        QVERIFY(s.Accept(handle));
        ::close(client);
    }
    s.Disconnect();
    QCOMPARE(vt::openDescriptorCount(), before);
}

void TestLeaks::listenAcceptCycles()
{
    Socket listener;
    QVERIFY(listener.Listen(0));
    const int before = vt::openDescriptorCount();
    for (int i = 0; i < 300; ++i) {
        Socket worker;
        const int client = vt::RawPeer::connectTo(listener.LocalPort());
        qint32 handle = listener.SocketHandle();
        QVERIFY(worker.Accept(handle));
        ::close(client);
        if (i % 2)
            worker.Disconnect(); // else the destructor closes it
    }
    QCOMPARE(vt::openDescriptorCount(), before);
}

void TestLeaks::peerCloseCycles()
{
    vt::RawListener raw;
    Socket s;
    int closes = 0;
    connect(&s, &Socket::Disconnected, this, [&] { ++closes; });
    const int before = vt::openDescriptorCount();
    for (int i = 0; i < 200; ++i) {
        QVERIFY(s.Connect(QStringLiteral("127.0.0.1"), QString(), raw.port()));
        ::close(raw.acceptOne());
        QTRY_COMPARE(closes, i + 1);
    }
    QCOMPARE(vt::openDescriptorCount(), before);
}

QTEST_GUILESS_MAIN(TestLeaks)
#include "tst_leaks.moc"
