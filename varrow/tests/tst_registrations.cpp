// Socket-layer registrations: the process-wide count, what ending the last one does, and that a
// descriptor closed that way is never closed again. (Accepting: the server suites, which accept
// every connection through varrow::Socket.)
//
// Every instance is destroyed before its test ends, so each test starts with no registration.
#include "support.h"

#include <QTest>

using namespace Qt::StringLiterals;
using varrow::Socket;
using vt::connectTo;

class TestRegistrations : public QObject
{
    Q_OBJECT

private slots:
    void registrations()
    {
        vt::RawListener raw;
        Socket s;
        {
            Socket b;
            Socket c;
        } // destruction ends theirs
        Socket listener;
        QVERIFY(listener.Listen(0));
        vt::EventLog log(&s);
        connect(&s, &Socket::DataArrival, this, [&](const QString &t) {
            if (t == QLatin1String("a"))
                s.Shutdown(); // the last registration: the listener has ended its own
        });
        QVERIFY(connectTo(s, raw.port()));
        vt::RawPeer peer(raw.acceptOne());
        const qint32 handle = s.SocketHandle();
        listener.Shutdown();
        QVERIFY(vt::isOpen(listener.SocketHandle())); // one registration is left

        // Ending the last one closes what every instance holds, silently.
        QVERIFY(peer.write("a\0b\0"_ba));
        QTRY_VERIFY(peer.sawClose());
        QCoreApplication::processEvents();
        QCOMPARE(log.entries, (QStringList{"connect", "data:a"})); // no more data, no Disconnected
        QCOMPARE(s.SocketHandle(), handle);                         // the handle is left alone
        QVERIFY(!vt::isOpen(handle));
        QVERIFY(!vt::isOpen(listener.SocketHandle()));

        // Until an instance registers again, nothing works.
        QVERIFY(!s.Send(QStringLiteral("x")));
        s.Shutdown(); // with none left, ending does nothing...
        QVERIFY(!connectTo(s, raw.port()));
        QCOMPARE(s.SocketHandle(), -1); // socket creation failed
        QVERIFY(!s.Listen(0));
        QCOMPARE(s.SocketHandle(), -1);
        s.Disconnect(); // resets -1 to 0 and still raises the event
        QCOMPARE(s.SocketHandle(), 0);
        QCOMPARE(log.entries, (QStringList{"connect", "data:a", "disconnect"}));
        {
            Socket fresh; // ...so one new registration brings the layer back, for every instance
            QVERIFY(connectTo(s, raw.port()));
            ::close(raw.acceptOne());
        } // and its destruction ends it again, closing s's connection...
        const qint32 number = s.SocketHandle();
        std::vector<int> opened;
        while (opened.size() < 4096 && (opened.empty() || opened.back() < number))
            opened.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        QCOMPARE(opened.back(), number); // ...whose number the kernel hands out again
        QVERIFY(!connectTo(s, raw.port()));
        QVERIFY(!s.Listen(0));
        s.Disconnect();
        QVERIFY2(vt::isOpen(number), "closed a descriptor it did not own");
        for (int fd : opened)
            ::close(fd);
    }
};

QTEST_GUILESS_MAIN(TestRegistrations)
#include "tst_registrations.moc"
