// PeerSocket over 127.0.0.1: listening, accepting, connecting, the bytes on the wire, how a
// connection ends, and what handlers may do to the object that raised their event.
#include "peersocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <sys/socket.h>

using quillet::PeerSocket;
using State = PeerSocket::SocketState;

namespace {

constexpr int Wait = 10000;
const QString Loopback = QStringLiteral("127.0.0.1");

// Listens on a port of the system's choosing; with `accept`, the usual request handler
// "Close(); Accept(id);" takes the first connection. The port, or 0 on failure.
quint16 listen(PeerSocket &listener, bool accept = true)
{
    listener.setLocalPort(0);
    if (!listener.Listen())
        return 0;
    if (accept)
        QObject::connect(&listener, &PeerSocket::ConnectionRequest, &listener, [&listener](qint32 id) {
            listener.Close();
            listener.Accept(id);
        });
    return listener.LocalPort();
}

void aim(PeerSocket &client, quint16 port)
{
    client.setRemoteHost(Loopback);
    client.setRemotePort(port);
}

quint16 unusedPort() // nothing listens on it
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Two connected PeerSockets: `accepted` is the listener's end, `dialled` the end that connected.
struct Pair {
    std::unique_ptr<PeerSocket> accepted = std::make_unique<PeerSocket>();
    std::unique_ptr<PeerSocket> dialled = std::make_unique<PeerSocket>();
    bool open()
    {
        aim(*dialled, listen(*accepted));
        QSignalSpy connected(dialled.get(), &PeerSocket::Connected);
        return dialled->Connect()
            && QTest::qWaitFor([&] { return connected.count() == 1 && accepted->State() == State::Connected; }, Wait);
    }
};

// Everything a PeerSocket receives, read with one GetData per DataArrival.
struct Collector {
    QByteArray bytes;
    qint64 announced = 0;
    explicit Collector(PeerSocket &socket)
    {
        QObject::connect(&socket, &PeerSocket::DataArrival, &socket, [this, &socket](qint64 total) {
            announced += total;
            bytes += socket.GetData(total).toLatin1();
        });
    }
};

void resetConnection(QTcpSocket &socket) // linger 0: the close sends RST instead of FIN
{
    const linger hard{1, 0};
    ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket.abort();
}

void drainPostedEvents() // delivers every event already posted
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

int openDescriptors()
{
    const auto filter = QDir::NoDotAndDotDot | QDir::System | QDir::Files | QDir::Dirs;
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(filter).size());
}

} // namespace

class TestPeerSocket : public QObject
{
    Q_OBJECT

private slots:
    // One connection from listening to its end: events only from the event loop, never inside a
    // method; each end names the other; bytes both ways exactly as given; the last bytes before
    // the partner's Close arrive, then Closed.
    void listenConnectSendAndClose()
    {
        PeerSocket listener, client;
        QVERIFY(!listener.SendData("idle"));
        const quint16 port = listen(listener);
        QVERIFY(port != 0);
        QCOMPARE(listener.State(), State::Listening);
        QVERIFY(!listener.SendData("listening"));
        QSignalSpy requests(&listener, &PeerSocket::ConnectionRequest), listenerConnected(&listener, &PeerSocket::Connected);
        QSignalSpy connected(&client, &PeerSocket::Connected), errors(&client, &PeerSocket::Error);
        aim(client, port);
        QVERIFY(client.Connect());
        QCOMPARE(client.State(), State::Connecting);
        QVERIFY(!client.SendData("too early"));
        QCOMPARE(connected.count(), 0);
        QVERIFY(connected.wait(Wait));
        QTRY_COMPARE(listener.State(), State::Connected);
        drainPostedEvents();
        QCOMPARE(connected.count(), 1);
        QCOMPARE(requests.count(), 1);
        QCOMPARE(listenerConnected.count() + errors.count(), 0); // accepting raises no event
        QCOMPARE(client.RemotePort(), port);
        QCOMPARE(listener.RemotePort(), client.LocalPort());
        QCOMPARE(listener.LocalPort(), port);

        Collector atClient(client), atListener(listener);
        const QString accept = QStringLiteral("<chat reply>accept</chat reply>") + QChar(0);
        QVERIFY(client.SendData(accept));
        QVERIFY(listener.SendData("<a>h</a>") && listener.SendData("<a>i</a>"));
        QCOMPARE(atClient.announced + atListener.announced, 0);
        QTRY_COMPARE(atListener.bytes, accept.toLatin1());
        QTRY_COMPARE(atClient.bytes, QByteArray("<a>h</a><a>i</a>"));

        qsizetype bytesAtClose = -1;
        connect(&client, &PeerSocket::Closed, &client, [&] { bytesAtClose = atClient.bytes.size(); });
        const QByteArray last = QByteArray(20000, 'z') + "<close>";
        QVERIFY(listener.SendData(QString::fromLatin1(last)));
        listener.Close();
        QCOMPARE(listener.State(), State::Closed);
        QTRY_COMPARE(bytesAtClose, 16 + last.size());
        QCOMPARE(atClient.bytes, "<a>h</a><a>i</a>" + last);
        QCOMPARE(atClient.announced, atClient.bytes.size()); // each byte counted once when all is read
        QCOMPARE(client.State(), State::PeerClosed);
        QVERIFY(!client.SendData("too late"));
        client.Close();
        QCOMPARE(client.State(), State::Closed);
        QCOMPARE(errors.count(), 0);
    }

    // The wire seen from a plain socket that speaks before its request is handled: Latin-1 both
    // ways, "?" above 255; unread bytes are counted again when more arrive and wait to be read.
    void latin1OnTheWire()
    {
        PeerSocket peer;
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, listen(peer));
        QVERIFY(raw.waitForConnected(Wait));
        QByteArray all(256, 0);
        for (int i = 0; i < 256; ++i)
            all[i] = char(i);
        raw.write(all);
        QList<qint64> totals;
        connect(&peer, &PeerSocket::DataArrival, &peer, [&](qint64 total) { totals << total; });
        QTRY_COMPARE(totals.value(totals.size() - 1), 256);
        QCOMPARE(peer.GetData(2), QString::fromLatin1(all.first(2)));
        const qsizetype events = totals.size();
        raw.write("xy");
        QTRY_VERIFY(totals.size() > events);
        QCOMPARE(totals.last(), 256);
        QCOMPARE(peer.GetData(0), QString());
        QString text;
        peer.GetData(text);
        QCOMPARE(text, QString::fromLatin1(all.mid(2) + "xy"));
        QCOMPARE(peer.GetData(), QString());

        QVERIFY(peer.SendData(QString::fromLatin1(all) + QString::fromUtf8("\u20ac\U0001F600") + QChar(0xD800)));
        QByteArray wire;
        QTRY_VERIFY((wire += raw.readAll()).size() >= 259);
        QCOMPARE(wire, all + "???");
    }

    // A request its handler leaves is closed and listening goes on; a request ID is good only
    // inside its own handler; of two attempts at once exactly one is accepted, later ones refused.
    void requests()
    {
        PeerSocket listener, ignored, a, b, late;
        const quint16 port = listen(listener, false);
        QList<qint32> ids;
        bool wrongIdAccepted = false;
        connect(&listener, &PeerSocket::ConnectionRequest, &listener, [&](qint32 id) {
            ids << id;
            wrongIdAccepted |= listener.Accept(id + 1);
            if (ids.size() > 1) { // the first is left alone
                listener.Close();
                listener.Accept(id);
            }
        });
        for (PeerSocket *client : {&ignored, &a, &b, &late})
            aim(*client, port);
        QSignalSpy closed(&ignored, &PeerSocket::Closed);
        QVERIFY(ignored.Connect());
        QVERIFY(closed.wait(Wait));
        QVERIFY(!listener.Accept(ids.value(0)) && !listener.Accept(0) && !wrongIdAccepted);
        QCOMPARE(listener.State(), State::Listening);

        quint16 portA = 0, portB = 0;
        connect(&a, &PeerSocket::Connected, &a, [&] { portA = a.LocalPort(); });
        connect(&b, &PeerSocket::Connected, &b, [&] { portB = b.LocalPort(); });
        QVERIFY(a.Connect() && b.Connect());
        QTRY_VERIFY(listener.State() == State::Connected
                    && (listener.RemotePort() == portA || listener.RemotePort() == portB));
        PeerSocket &winner = listener.RemotePort() == portA ? a : b;
        PeerSocket &loser = &winner == &a ? b : a;
        QTRY_VERIFY(loser.State() == State::Error || loser.State() == State::PeerClosed);
        QSignalSpy lateErrors(&late, &PeerSocket::Error);
        QVERIFY(late.Connect());
        QVERIFY(lateErrors.wait(Wait));
        QCOMPARE(lateErrors.at(0).at(0).toInt(), int(PeerSocket::ConnectionRefused));
        QCOMPARE(ids.size(), 2);
        QSignalSpy winnerData(&winner, &PeerSocket::DataArrival);
        QVERIFY(listener.SendData("only you"));
        QVERIFY(winnerData.wait(Wait));
        QCOMPARE(winner.GetData(), u"only you");
    }

    // Failures raise nothing inside a method: a Connect without host or port only returns false,
    // a refused one raises Error later, and a Listen on a taken port only returns false, so the
    // caller can try another.
    void failures()
    {
        PeerSocket client, holder, peer;
        QSignalSpy errors(&client, &PeerSocket::Error), peerErrors(&peer, &PeerSocket::Error);
        client.setRemotePort(5000);
        QVERIFY(!client.Connect());
        client.setRemoteHost("  ");
        QVERIFY(!client.Connect());
        aim(client, 0);
        QVERIFY(!client.Connect());
        QCOMPARE(client.State(), State::Closed);

        aim(client, unusedPort());
        QVERIFY(client.Connect());
        QCOMPARE(errors.count(), 0);
        QVERIFY(errors.wait(Wait));
        QCOMPARE(errors.at(0).at(0).toInt(), int(PeerSocket::ConnectionRefused));
        QVERIFY(!errors.at(0).at(1).toString().isEmpty());
        QCOMPARE(client.State(), State::Error);
        QVERIFY(!client.SendData("x"));

        const quint16 taken = listen(holder);
        peer.setLocalPort(taken);
        QVERIFY(!peer.Listen());
        QCOMPARE(peer.State(), State::Closed);
        holder.Close();
        QVERIFY(peer.Listen());
        QCOMPARE(peer.LocalPort(), taken);
        drainPostedEvents();
        QCOMPARE(errors.count() + peerErrors.count(), 1);
    }

    // Inside the handler of each event the object may close itself (nothing fires after that) or
    // be deleted, at once or later.
    void actInsideEachHandler_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("action");
        for (const char *event : {"ConnectionRequest", "Connected", "DataArrival", "Closed", "Error"})
            for (const char *action : {"Close", "delete", "deleteLater"})
                QTest::addRow("%s, %s", event, action) << QString::fromLatin1(event) << QString::fromLatin1(action);
    }
    void actInsideEachHandler()
    {
        QFETCH(QString, event);
        QFETCH(QString, action);
        auto *listener = new PeerSocket, *client = new PeerSocket;
        QPointer<PeerSocket> listenerAlive(listener), clientAlive(client);
        const auto cleanup = qScopeGuard([&] {
            delete listenerAlive.data();
            delete clientAlive.data();
        });
        PeerSocket *subject = event == u"ConnectionRequest" ? listener : client;
        const QPointer<PeerSocket> subjectAlive(subject);
        int handled = 0, later = 0; // later: events after the handler
        const auto on = [&](const char *name) {
            if (handled) {
                ++later;
            } else if (event == QLatin1String(name)) {
                ++handled;
                if (action == u"delete")
                    delete subject;
                else if (action == u"deleteLater")
                    subject->deleteLater();
                else {
                    subject->Close();
                    subject->Close();
                }
            }
        };
        connect(subject, &PeerSocket::ConnectionRequest, subject, [&] { on("ConnectionRequest"); });
        connect(subject, &PeerSocket::Connected, subject, [&] { on("Connected"); });
        connect(subject, &PeerSocket::DataArrival, subject, [&] { on("DataArrival"); });
        connect(subject, &PeerSocket::Closed, subject, [&] { on("Closed"); });
        connect(subject, &PeerSocket::Error, subject, [&] { on("Error"); });

        aim(*client, listen(*listener, subject != listener));
        if (event == u"Error")
            listener->Close(); // nothing listens any more: the connect fails
        QVERIFY(client->Connect());
        if (event == u"DataArrival" || event == u"Closed") {
            QTRY_COMPARE(listener->State(), State::Connected);
            QVERIFY(listener->SendData("one") && listener->SendData("two"));
            if (event == u"Closed")
                listener->Close();
        }
        QTRY_COMPARE(handled, 1);
        if (action == u"Close") {
            drainPostedEvents();
            QCOMPARE(later, 0);
            QCOMPARE(subject->State(), State::Closed);
        } else {
            QTRY_VERIFY(subjectAlive.isNull());
        }
    }

    // A handler running a nested event loop (as a modal box does) is not interrupted by the
    // object's next event, which follows once the handler returns, unless the handler closes.
    void nextEventWaitsForTheHandler_data()
    {
        QTest::addColumn<bool>("closes");
        QTest::newRow("handler returns") << false;
        QTest::newRow("handler closes") << true;
    }
    void nextEventWaitsForTheHandler()
    {
        QFETCH(bool, closes);
        Pair pair;
        QVERIFY(pair.open());
        PeerSocket &receiver = *pair.dialled;
        QSignalSpy closed(&receiver, &PeerSocket::Closed);
        int closedDuringHandler = -1;
        connect(&receiver, &PeerSocket::DataArrival, &receiver, [&] {
            QTRY_COMPARE(receiver.State(), State::PeerClosed); // the partner's close is noticed, not raised
            closedDuringHandler = int(closed.count());
            if (closes)
                receiver.Close();
        });
        QVERIFY(pair.accepted->SendData("modal"));
        pair.accepted->Close();
        QTRY_COMPARE(closedDuringHandler, 0);
        QTRY_COMPARE(closed.count(), closes ? 0 : 1);
        drainPostedEvents();
        QCOMPARE(closed.count(), closes ? 0 : 1);
    }

    // Every way a connection ends gives its descriptors back; a reset by the partner is an error.
    void descriptorsAreReleased()
    {
        const auto cycle = [] {
            {
                Pair pair; // closed by one end after sending
                QVERIFY(pair.open());
                QVERIFY(pair.dialled->SendData("x"));
                QSignalSpy closed(pair.accepted.get(), &PeerSocket::Closed);
                pair.dialled->Close();
                QVERIFY(closed.wait(Wait));
            }
            {
                PeerSocket listener, ignored, refused; // a request not accepted; a refused connect
                aim(ignored, listen(listener, false));
                aim(refused, unusedPort());
                QSignalSpy closed(&ignored, &PeerSocket::Closed), errors(&refused, &PeerSocket::Error);
                QVERIFY(ignored.Connect() && refused.Connect());
                QTRY_COMPARE(closed.count() + errors.count(), 2);
            }
            {
                PeerSocket listener; // reset by the partner: Error 5, and never Closed
                QTcpSocket raw;
                raw.connectToHost(QHostAddress::LocalHost, listen(listener));
                QVERIFY(raw.waitForConnected(Wait));
                QTRY_COMPARE(listener.State(), State::Connected);
                QSignalSpy closed(&listener, &PeerSocket::Closed), errors(&listener, &PeerSocket::Error);
                resetConnection(raw);
                QVERIFY(errors.wait(Wait));
                QCOMPARE(errors.at(0).at(0).toInt(), int(PeerSocket::ConnectionReset));
                QVERIFY(!errors.at(0).at(1).toString().isEmpty());
                drainPostedEvents();
                QCOMPARE(closed.count(), 0);
                QCOMPARE(listener.State(), State::Error);
            }
            {
                Pair pair; // deleted while connected
                QVERIFY(pair.open());
                QSignalSpy closed(pair.dialled.get(), &PeerSocket::Closed);
                pair.accepted.reset();
                QVERIFY(closed.wait(Wait));
            }
        };
        cycle(); // lets Qt open what it keeps for the life of the process
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const int before = openDescriptors();
        for (int i = 0; i < 20 && !QTest::currentTestFailed(); ++i)
            cycle();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTRY_COMPARE(openDescriptors(), before);
    }
};

QTEST_GUILESS_MAIN(TestPeerSocket)
#include "tst_peersocket.moc"
