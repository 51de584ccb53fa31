// PeerSocket over 127.0.0.1: listening, accepting, connecting, the bytes on the wire, how a
// connection ends, and what handlers may do to the object that raised their event.
#include "peersocket.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

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
    PeerSocket accepted, dialled;
    bool open()
    {
        aim(dialled, listen(accepted));
        QSignalSpy connected(&dialled, &PeerSocket::Connected);
        return dialled.Connect()
            && QTest::qWaitFor([&] { return connected.count() == 1 && accepted.State() == State::Connected; }, Wait);
    }
};

void drainPostedEvents() // delivers every event already posted
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

} // namespace

class TestPeerSocket : public QObject
{
    Q_OBJECT

private slots:
    // One connection from listening to its end: events only from the event loop, never inside a
    // method; the accepted end knows the partner's port; Latin-1 both ways ("?" above 255), each
    // DataArrival counting every unread byte; the last bytes before the partner's Close arrive,
    // then Closed.
    void listenConnectSendAndClose()
    {
        PeerSocket listener, client;
        const quint16 port = listen(listener);
        QVERIFY(port != 0);
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
        QCOMPARE(listener.RemotePort(), client.LocalPort());

        QByteArray all(256, 0);
        for (int i = 0; i < 256; ++i)
            all[i] = char(i);
        QList<qint64> totals;
        connect(&listener, &PeerSocket::DataArrival, &listener, [&](qint64 total) { totals << total; });
        QVERIFY(client.SendData(QString::fromLatin1(all) + QString::fromUtf8("\u20ac\U0001F600") + QChar(0xD800)));
        QVERIFY(totals.isEmpty());
        QTRY_COMPARE(totals.value(totals.size() - 1), 259); // nothing read yet
        QCOMPARE(listener.GetData(2), QString::fromLatin1(all.first(2)));
        QString text;
        listener.GetData(text);
        QCOMPARE(text, QString::fromLatin1(all.mid(2) + "???"));
        QCOMPARE(listener.GetData(), QString());

        QByteArray atClient;
        qsizetype bytesAtClose = -1;
        connect(&client, &PeerSocket::DataArrival, &client, [&](qint64 total) { atClient += client.GetData(total).toLatin1(); });
        connect(&client, &PeerSocket::Closed, &client, [&] { bytesAtClose = atClient.size(); });
        const QByteArray last = QByteArray(20000, 'z') + "<close>";
        QVERIFY(listener.SendData("<a>h</a>") && listener.SendData(QString::fromLatin1(last)));
        listener.Close();
        QCOMPARE(listener.State(), State::Closed);
        QTRY_COMPARE(bytesAtClose, 8 + last.size());
        QCOMPARE(atClient, "<a>h</a>" + last);
        QCOMPARE(client.State(), State::PeerClosed);
        client.Close();
        QCOMPARE(client.State(), State::Closed);
        QCOMPARE(errors.count(), 0);
    }

    // Failures raise nothing inside a method: a Connect without host or port only returns false,
    // a refused one raises Error later, and a Listen on a taken port only returns false, so the
    // caller can try another (the private chat suite does). A request its handler leaves is
    // closed and listening goes on; a request ID is good only inside its own handler. (One
    // accepted connection of several: the untrusted-input suite.)
    void failures()
    {
        PeerSocket client, holder, peer;
        QSignalSpy errors(&client, &PeerSocket::Error), peerErrors(&peer, &PeerSocket::Error);
        client.setRemotePort(5000);
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

        const quint16 taken = listen(holder, false);
        peer.setLocalPort(taken);
        QVERIFY(!peer.Listen());
        QCOMPARE(peer.State(), State::Closed);

        QList<qint32> ids;
        bool wrongIdAccepted = false;
        connect(&holder, &PeerSocket::ConnectionRequest, &holder, [&](qint32 id) {
            ids << id;
            wrongIdAccepted |= holder.Accept(id + 1);
        });
        aim(peer, taken);
        QSignalSpy closed(&peer, &PeerSocket::Closed);
        QVERIFY(peer.Connect());
        QVERIFY(closed.wait(Wait));
        QCOMPARE(ids.size(), 1);
        QVERIFY(!holder.Accept(ids.value(0)) && !holder.Accept(0) && !wrongIdAccepted);
        QCOMPARE(holder.State(), State::Listening);
        drainPostedEvents();
        QCOMPARE(errors.count() + peerErrors.count(), 1);
    }

    // Inside its handler the object may delete itself: the offered connection's handler, which
    // has work left after it, and one of the others, which share what follows a handler. (Closing
    // inside a handler: nextEventWaitsForTheHandler.)
    void deleteInsideAHandler_data()
    {
        QTest::addColumn<bool>("request");
        QTest::newRow("ConnectionRequest") << true;
        QTest::newRow("DataArrival") << false;
    }
    void deleteInsideAHandler()
    {
        QFETCH(bool, request);
        auto *listener = new PeerSocket, *client = new PeerSocket;
        QPointer<PeerSocket> listenerAlive(listener), clientAlive(client);
        const auto cleanup = qScopeGuard([&] {
            delete listenerAlive.data();
            delete clientAlive.data();
        });
        if (request)
            connect(listener, &PeerSocket::ConnectionRequest, listener, [listener] { delete listener; });
        else
            connect(client, &PeerSocket::DataArrival, client, [client] { delete client; });
        aim(*client, listen(*listener, !request));
        QVERIFY(client->Connect());
        if (!request) {
            QTRY_COMPARE(listener->State(), State::Connected);
            QVERIFY(listener->SendData("one") && listener->SendData("two"));
        }
        QTRY_VERIFY(request ? listenerAlive.isNull() : clientAlive.isNull());
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
        PeerSocket &receiver = pair.dialled;
        QSignalSpy closed(&receiver, &PeerSocket::Closed);
        int closedDuringHandler = -1;
        connect(&receiver, &PeerSocket::DataArrival, &receiver, [&] {
            QTRY_COMPARE(receiver.State(), State::PeerClosed); // the partner's close is noticed, not raised
            closedDuringHandler = int(closed.count());
            if (closes)
                receiver.Close();
        });
        QVERIFY(pair.accepted.SendData("modal"));
        pair.accepted.Close();
        QTRY_COMPARE(closedDuringHandler, 0);
        QTRY_COMPARE(closed.count(), closes ? 0 : 1);
        drainPostedEvents();
        QCOMPARE(closed.count(), closes ? 0 : 1);
    }

    // Every way a connection ends gives its descriptors back. (A reset by the partner, Error 5 and
    // never Closed: the peer fault suite, through the private chat window.)
    void descriptorsAreReleased()
    {
        const auto cycle = [] {
            {
                Pair pair; // closed by one end after sending
                QVERIFY(pair.open());
                QVERIFY(pair.dialled.SendData("x"));
                QSignalSpy closed(&pair.accepted, &PeerSocket::Closed);
                pair.dialled.Close();
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
        };
        const auto openDescriptors = [] {
            const auto filter = QDir::NoDotAndDotDot | QDir::System | QDir::Files | QDir::Dirs;
            return QDir(QStringLiteral("/proc/self/fd")).entryList(filter).size();
        };
        cycle(); // lets Qt open what it keeps for the life of the process
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        const qsizetype before = openDescriptors();
        for (int i = 0; i < 20 && !QTest::currentTestFailed(); ++i)
            cycle();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTRY_COMPARE(openDescriptors(), before);
    }
};

QTEST_GUILESS_MAIN(TestPeerSocket)
#include "tst_peersocket.moc"
