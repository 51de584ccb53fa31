// varrow::Socket on real loopback connections: connecting, the bytes sent, the framing of what
// arrives, handlers that re-enter, the end of a connection, accepting. (Disconnect with nothing
// held, and what ending the socket layer closes: the registrations suite.)
#include "support.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <csignal>

using varrow::Socket;
using vt::connectTo;
using namespace Qt::StringLiterals;

class TestSocket : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_DFL); } // a write must never kill the process

    // ------------------------------------------------------------------------------ connecting

    void connecting()
    {
        // By host name, and to a port number of which only the low 16 bits count.
        for (const auto &[host, portOffset] : {std::pair{u"localhost"_s, 0}, std::pair{u"127.0.0.1"_s, 65536}}) {
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
            // On the wire: Latin-1, one byte per character ("?" above 255, one for a surrogate
            // pair), and a 0.
            for (const QString &text : {QString(), u"caf\u00e9 \u00ff\u0080"_s, u"1\u20ac2\u0100"_s,
                                        QString::fromUtf8("a\xF0\x9F\x98\x80z") + QChar(0xD800), QString::fromLatin1("a\0b"_ba)})
                QVERIFY(s.Send(text));
            QTRY_COMPARE(peer.received(), "\0caf\xe9 \xff\x80\0" "1?2?\0" "a?z?\0" "a\0b\0"_ba);
        }
    }

    void unansweredConnect_data()
    {
        QTest::addColumn<QString>("during"); // what a timer does while Connect waits
        QTest::addColumn<int>("error");      // LastError afterwards
        QTest::newRow("nothing: it gives up") << QString() << ETIMEDOUT;
        QTest::newRow("Disconnect") << u"disconnect"_s << ECANCELED;
        QTest::newRow("delete") << u"delete"_s << 0;
    }

    void unansweredConnect()
    {
        // A connect that gets no answer gives up at the bound
        // instead of the kernel's minutes, and the thread's event loop runs all the while: what
        // runs meanwhile may end the attempt, which then ends at once without leaking anything.
        QFETCH(QString, during);
        QFETCH(int, error);
        vt::RawListener full(true, 0);
        if (!full.unanswered())
            QSKIP("the kernel answered every handshake; no unanswered connect to try");
        const int descriptors = vt::openDescriptorCount();
        auto s = std::make_unique<Socket>();
        vt::EventLog log(s.get());
        const bool bounded = during.isEmpty();
        if (bounded)
            s->setConnectTimeout(300);
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            if (++ticks != 3)
                return;
            if (during == "disconnect"_L1)
                s->Disconnect();
            else if (during == "delete"_L1)
                s.reset();
        });
        ticker.start(20);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!connectTo(*s, full.port()));
        const qint64 took = clock.elapsed();
        QVERIFY2(bounded ? took >= 300 && took < 5000 && ticks >= 5 : took < 5000, qPrintable(QString::number(took)));
        if (s) {
            QCOMPARE(s->LastError(), error);
            QCOMPARE(log.entries, during == "disconnect"_L1 ? QStringList{"disconnect"} : QStringList{});
        }
        s.reset();
        QCOMPARE(vt::openDescriptorCount(), descriptors);
    }

    // --------------------------------------------------------------------------------- sending

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
        QVERIFY2(queued > 4 << 20 && queued <= (5 << 20) + 1, "Send refuses once more than 4 MiB wait unsent");
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
        QByteArray atLimit(1 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < atLimit.size(); ++i)
            atLimit[i] = char(1 + i % 255); // never 0
        QVERIFY(p.peer->write("before\0"_ba + atLimit + '\0'));
        QVERIFY(p.peer->write(QByteArray((1 << 20) + 1, 'x')));
        QVERIFY(p.peer->write(QByteArray(100'000, 'y'))); // still the same oversized message
        QVERIFY(p.peer->write("\0after\0"_ba));
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), 3, 10000);
        QVERIFY(got == (QStringList{"before", QString::fromLatin1(atLimit), "after"}));
        QVERIFY(p.socket->Send(u"still up"_s));
        QTRY_COMPARE(p.peer->received(), "still up\0"_ba);
    }

    // ------------------------------------------------- the end of a connection, and handlers

    void endOfConnection_data()
    {
        QTest::addColumn<QString>("onFirst"); // what the handler of the message "a" does
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("nothing, the peer closes") << QString() << QStringList{"connect", "data:a", "data:b", "disconnect"};
        QTest::newRow("nested loop") << u"loop"_s << QStringList{"connect", "data:a", "data:b", "data:part", "data:d", "disconnect"};
        QTest::newRow("the peer resets") << u"reset"_s << QStringList{"connect", "data:a", "data:b", "disconnect"};
        QTest::newRow("Disconnect") << u"disconnect"_s << QStringList{"connect", "data:a", "disconnect"};
        QTest::newRow("delete") << u"delete"_s << QStringList{"connect", "data:a"};
    }

    void endOfConnection()
    {
        // Complete messages come once each, in order, then the close; the unterminated tail is
        // dropped. LastError() tells a reset from an orderly close. A handler may run a nested loop (as a modal dialog would): the notices inside
        // it deliver what was queued and what arrives, and the close. Once a handler has
        // disconnected or deleted the instance nothing more comes, not even on its next connection.
        QFETCH(QString, onFirst);
        QFETCH(QStringList, expected);
        vt::Pair p;
        QPointer<Socket> s = p.socket.get();
        vt::EventLog log(s);
        int reason = -1;
        qsizetype inside = -1;
        connect(s, &Socket::Disconnected, this, [&] { reason = s->LastError(); });
        connect(s, &Socket::DataArrival, this, [&](const QString &t) {
            if (t != "a"_L1)
                return;
            if (onFirst == "loop"_L1) {
                QVERIFY(p.peer->write("t\0d"_ba) && p.peer->write("\0tail"_ba));
                p.peer->closeNow();
                QEventLoop loop;
                QTimer::singleShot(10000, &loop, &QEventLoop::quit); // gives up rather than hang
                connect(s, &Socket::Disconnected, &loop, &QEventLoop::quit);
                loop.exec();
                inside = log.entries.size();
            } else if (onFirst == "reset"_L1) {
                p.peer->abort();
            } else if (onFirst == "disconnect"_L1) {
                s->Disconnect();
            } else if (onFirst == "delete"_L1) {
                delete p.socket.release();
            }
        });
        QVERIFY(p.open());
        QVERIFY(p.peer->write("a\0b\0par"_ba));
        if (onFirst.isEmpty())
            p.peer->closeNow();
        if (onFirst == "disconnect"_L1 || onFirst == "delete"_L1)
            QTRY_VERIFY(p.peer->sawClose());
        QTRY_VERIFY(!s || log.entries.count("disconnect") == 1);
        QCoreApplication::processEvents();
        QCOMPARE(log.entries, expected);
        if (onFirst == "loop"_L1)
            QCOMPARE(inside, expected.size()); // everything came inside the nested loop
        if (!s)
            return;
        QCOMPARE(reason, onFirst == "reset"_L1 ? ECONNRESET : 0); // 0: an orderly close or Disconnect
        QCOMPARE(s->SocketHandle(), 0);

        QVERIFY(connectTo(*s, p.listener.port()));
        vt::RawPeer next(p.listener.acceptOne());
        QVERIFY(next.write("x\0"_ba));
        QTRY_COMPARE(log.entries.size(), expected.size() + 2);
        QCOMPARE(log.entries.mid(expected.size()), (QStringList{"connect", "data:x"}));
    }
};

QTEST_GUILESS_MAIN(TestSocket)
#include "tst_socket.moc"
