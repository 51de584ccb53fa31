// Socket-layer registrations: the process-wide count, what ending the last one does, and that a
// descriptor closed that way is never closed a second time.
//
// Every instance of these tests is destroyed before the test ends, so each test starts with no
// registration in the process.
#include "support.h"

#include <varrow/Socket.h>

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <unistd.h>

using varrow::Socket;

namespace {

bool connectTo(Socket &s, quint16 port)
{
    return s.Connect(QStringLiteral("127.0.0.1"), QString(), port);
}

// Opens /dev/null until the kernel hands out `number` again (it gives the lowest free one);
// the extra descriptors opened on the way are closed. Returns -1 if that did not happen.
int reopenNumber(int number)
{
    std::vector<int> others;
    int got = -1;
    for (int i = 0; i < 4096; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fd == number) {
            got = fd;
            break;
        }
        others.push_back(fd);
        if (fd > number)
            break;
    }
    for (int fd : others)
        ::close(fd);
    return got == number ? got : -1;
}

} // namespace

class TestRegistrations : public QObject
{
    Q_OBJECT

private slots:
    void endingTheLastClosesEverythingSilently();
    void aNewInstanceBringsTheLayerBack();
    void layerStaysWhileAnyRegistrationIsLeft();
    void endingWithNoneLeftDoesNothing();
    void destructionEndsOne();
    void closedDescriptorIsNeverClosedAgain();
    void closedListenerIsNeverClosedAgain();
    void acceptFailsWhileTheLayerIsDown();
    void shutdownInsideDataArrival();
};

void TestRegistrations::endingTheLastClosesEverythingSilently()
{
    vt::RawListener raw;
    Socket s;
    vt::EventLog log(&s);
    QVERIFY(connectTo(s, raw.port()));
    vt::RawPeer peer(raw.acceptOne());
    const qint32 handle = s.SocketHandle();

    s.Shutdown();
    QVERIFY(!vt::isOpen(handle));
    QTRY_VERIFY(peer.sawClose());
    QCoreApplication::processEvents();
    QCOMPARE(log.entries, QStringList{"connect"}); // no Disconnected, no DataArrival
    QCOMPARE(s.SocketHandle(), handle);            // Shutdown leaves the handle alone

    QVERIFY(!s.Send(QStringLiteral("x")));
    QCOMPARE(s.Read(), QString());
    QCOMPARE(s.LocalHost(), QString());

    QVERIFY(!connectTo(s, raw.port()));
    QCOMPARE(s.SocketHandle(), -1); // socket creation failed
    QVERIFY(!s.Listen(0));
    QCOMPARE(s.SocketHandle(), -1);
    QCOMPARE(log.entries, QStringList{"connect"});

    s.Disconnect(); // resets -1 to 0 and still raises the event
    QCOMPARE(s.SocketHandle(), 0);
    QCOMPARE(log.entries, (QStringList{"connect", "disconnect"}));
}

void TestRegistrations::aNewInstanceBringsTheLayerBack()
{
    vt::RawListener raw;
    Socket old;
    old.Shutdown();
    QVERIFY(!connectTo(old, raw.port()));

    {
        Socket fresh;
        QVERIFY(connectTo(fresh, raw.port()));
        ::close(raw.acceptOne());
        QVERIFY(connectTo(old, raw.port())); // the layer is there for every instance
        ::close(raw.acceptOne());
        QVERIFY(!fresh.LocalHost().isEmpty());
    }
    // fresh's destruction ended the only registration again
    QVERIFY(!connectTo(old, raw.port()));
}

void TestRegistrations::layerStaysWhileAnyRegistrationIsLeft()
{
    vt::RawListener raw;
    Socket a;
    auto b = std::make_unique<Socket>();
    QVERIFY(connectTo(a, raw.port()));
    vt::RawPeer peerA(raw.acceptOne());

    a.Shutdown(); // two registrations, one left
    QVERIFY(connectTo(*b, raw.port()));
    vt::RawPeer peerB(raw.acceptOne());
    QVERIFY(a.Send(QStringLiteral("still here")));
    QTRY_COMPARE(peerA.received(), QByteArray("still here\0", 11));

    QSignalSpy disconnectedA(&a, &Socket::Disconnected);
    b.reset(); // the last registration goes with b
    QTRY_VERIFY(peerA.sawClose());
    QTRY_VERIFY(peerB.sawClose());
    QCOMPARE(disconnectedA.size(), 0);
    QVERIFY(!connectTo(a, raw.port()));
}

void TestRegistrations::endingWithNoneLeftDoesNothing()
{
    vt::RawListener raw;
    Socket a;
    a.Shutdown();
    a.Shutdown();
    a.Shutdown(); // the count does not go below zero...
    {
        Socket b; // ...so one new registration is enough
        QVERIFY(connectTo(a, raw.port()));
        ::close(raw.acceptOne());
        b.Shutdown();
        QVERIFY(!connectTo(a, raw.port()));
    }
}

void TestRegistrations::destructionEndsOne()
{
    vt::RawListener raw;
    Socket a;
    {
        Socket b;
        Socket c;
    }
    QVERIFY(connectTo(a, raw.port())); // a's own registration is left
    vt::RawPeer peer(raw.acceptOne());
    QVERIFY(a.Send(QStringLiteral("ok")));
    QTRY_COMPARE(peer.received(), QByteArray("ok\0", 3));
}

void TestRegistrations::closedDescriptorIsNeverClosedAgain()
{
    vt::RawListener raw;
    auto s = std::make_unique<Socket>();
    QVERIFY(connectTo(*s, raw.port()));
    const int accepted = raw.acceptOne();
    const qint32 number = s->SocketHandle();

    s->Shutdown(); // closes number
    QVERIFY(!vt::isOpen(number));
    const int reused = reopenNumber(number);
    if (reused < 0)
        QSKIP("the kernel did not hand the number out again");

    QSignalSpy spy(s.get(), &Socket::Disconnected);
    s->Disconnect();
    QCOMPARE(spy.size(), 1);
    QCOMPARE(s->SocketHandle(), 0);
    QVERIFY2(vt::isOpen(reused), "Disconnect closed a descriptor it did not own");

    {
        Socket revive; // the layer is back; old instance connects, then is destroyed
        QVERIFY(connectTo(*s, raw.port()));
        ::close(raw.acceptOne());
        s.reset();
    }
    QVERIFY(vt::isOpen(reused));
    ::close(reused);
    ::close(accepted);
}

void TestRegistrations::closedListenerIsNeverClosedAgain()
{
    auto s = std::make_unique<Socket>();
    QVERIFY(s->Listen(0));
    const qint32 number = s->SocketHandle();
    s->Shutdown();
    const int reused = reopenNumber(number);
    if (reused < 0)
        QSKIP("the kernel did not hand the number out again");

    QVERIFY(!s->Listen(0)); // replaces the handle: must not close the number it no longer owns
    QVERIFY(vt::isOpen(reused));
    s.reset(); // destruction neither
    QVERIFY(vt::isOpen(reused));
    ::close(reused);
}

void TestRegistrations::acceptFailsWhileTheLayerIsDown()
{
    vt::RawListener raw;
    const int client = vt::RawPeer::connectTo(raw.port());
    QVERIFY(client >= 0);
    Socket s;
    s.Shutdown();
    qint32 handle = raw.fd();
    QVERIFY(!s.Accept(handle));
    QCOMPARE(s.SocketHandle(), 0);
    const int accepted = raw.acceptOne(0); // the pending connection was left alone
    QVERIFY(accepted >= 0);
    ::close(accepted);
    ::close(client);
}

void TestRegistrations::shutdownInsideDataArrival()
{
    vt::RawListener raw;
    Socket s;
    vt::EventLog log(&s);
    connect(&s, &Socket::DataArrival, this, [&](const QString &t) {
        if (t == QLatin1String("a"))
            s.Shutdown();
    });
    QVERIFY(connectTo(s, raw.port()));
    vt::RawPeer peer(raw.acceptOne());
    QVERIFY(peer.writeNow(QByteArray("a\0b\0", 4)));
    QTRY_VERIFY(peer.sawClose());
    QCoreApplication::processEvents();
    QCOMPARE(log.entries, (QStringList{"connect", "data:a"}));
}

QTEST_GUILESS_MAIN(TestRegistrations)
#include "tst_registrations.moc"
