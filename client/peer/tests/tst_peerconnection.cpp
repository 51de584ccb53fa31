// PeerSocket connections over 127.0.0.1: listening and accepting, connecting, ending, failing,
// and what handlers may do to the object that raised their event.
#include "peertestsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QScopeGuard>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QPointer>

#ifdef Q_OS_LINUX
#include <sys/socket.h>
#endif

using namespace peertest;

namespace {

// Runs the event loop until every event already posted has been delivered.
void drainPostedEvents()
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System
                                                               | QDir::Files | QDir::Dirs)
                   .size());
}

// Resets a connected QTcpSocket: linger 0 makes the close send RST instead of FIN.
void resetConnection(QTcpSocket &socket)
{
#ifdef Q_OS_LINUX
    linger hard{1, 0};
    ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
#endif
    socket.abort();
}

} // namespace

class TestPeerConnection : public QObject
{
    Q_OBJECT

private slots:
    // Listen, connection request, accept, connect.
    void listenAcceptConnectEndToEnd();
    void eventsNeverFireInsideMethods();
    void listenOnTakenPortFailsSilently();
    void listenerYieldsExactlyOneConnection();
    void simultaneousAttemptsYieldOneConnection();
    void requestNotAcceptedIsClosed();
    void acceptOnlyInsideItsHandler();
    void dataSentBeforeAcceptArrives();

    // Ending and failing.
    void partnerCloseRaisesClosed_data();
    void partnerCloseRaisesClosed();
    void partnerResetRaisesError();
    void connectRefusedRaisesError();
    void connectNeedsHostAndPort();
    void closeIsIdempotentAndSilent();

    // Handlers acting on their own object.
    void closeInsideEachHandler_data();
    void closeInsideEachHandler();
    void deleteInsideEachHandler_data();
    void deleteInsideEachHandler();
    void oneHandlerAtATimeEvenWithNestedLoop();

    // Resources and addresses.
    void descriptorsAreReleased();
    void localIPIsUsableAddress();
};

void TestPeerConnection::listenAcceptConnectEndToEnd()
{
    PeerSocket listener;
    QCOMPARE(listener.State(), State::Closed);
    const quint16 port = listenAndAcceptOne(listener);
    QVERIFY(port != 0);
    QCOMPARE(listener.State(), State::Listening);

    QSignalSpy requests(&listener, &PeerSocket::ConnectionRequest);
    QSignalSpy listenerConnected(&listener, &PeerSocket::Connected);
    PeerSocket client;
    aimAt(client, port);
    QSignalSpy connected(&client, &PeerSocket::Connected);
    QSignalSpy clientErrors(&client, &PeerSocket::Error);
    QVERIFY(client.Connect());
    QCOMPARE(client.State(), State::Connecting);

    QVERIFY(connected.wait(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(listener.State(), State::Connected, kWaitMs);
    QCOMPARE(requests.count(), 1);
    QVERIFY(requests.at(0).at(0).toInt() > 0);
    QCOMPARE(client.State(), State::Connected);
    QCOMPARE(clientErrors.count(), 0);
    drainPostedEvents();
    QCOMPARE(connected.count(), 1);
    QCOMPARE(listenerConnected.count(), 0);   // accepting is immediate, with no event

    // Each end names the other.
    QCOMPARE(client.RemoteHostIP(), loopback());
    QCOMPARE(client.RemotePort(), port);
    QCOMPARE(listener.RemoteHostIP(), loopback());
    QCOMPARE(listener.RemotePort(), client.LocalPort());
    QCOMPARE(listener.LocalPort(), port);
}

void TestPeerConnection::eventsNeverFireInsideMethods()
{
    // A failing connect and a request handled at once still arrive later, from the event loop.
    PeerSocket client;
    aimAt(client, unusedPort());
    QSignalSpy errors(&client, &PeerSocket::Error);
    QVERIFY(client.Connect());
    QCOMPARE(errors.count(), 0);
    QVERIFY(errors.wait(kWaitMs));

    Pair pair;
    QVERIFY(pair.open());
    QSignalSpy data(pair.dialled.get(), &PeerSocket::DataArrival);
    QVERIFY(pair.accepted->SendData(QStringLiteral("x")));
    QCOMPARE(data.count(), 0);
    QVERIFY(data.wait(kWaitMs));
}

void TestPeerConnection::listenOnTakenPortFailsSilently()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::LocalHost, 0));

    PeerSocket peer;
    QSignalSpy errors(&peer, &PeerSocket::Error);
    peer.setLocalPort(holder.serverPort());
    QVERIFY(!peer.Listen());
    QCOMPARE(peer.State(), State::Closed);

    // Another PeerSocket holding the port counts the same.
    PeerSocket first;
    first.setLocalPort(0);
    QVERIFY(first.Listen());
    const quint16 taken = first.LocalPort();
    peer.setLocalPort(taken);
    QVERIFY(!peer.Listen());
    QCOMPARE(peer.State(), State::Closed);
    drainPostedEvents();
    QCOMPARE(errors.count(), 0);

    // Once the port is free again the caller's retry succeeds.
    first.Close();
    QVERIFY(peer.Listen());
    QCOMPARE(peer.State(), State::Listening);
    QCOMPARE(peer.LocalPort(), taken);
}

void TestPeerConnection::listenerYieldsExactlyOneConnection()
{
    PeerSocket listener;
    const quint16 port = listenAndAcceptOne(listener);
    QVERIFY(port != 0);
    QSignalSpy requests(&listener, &PeerSocket::ConnectionRequest);

    PeerSocket first;
    aimAt(first, port);
    QSignalSpy firstConnected(&first, &PeerSocket::Connected);
    QVERIFY(first.Connect());
    QVERIFY(firstConnected.wait(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(listener.State(), State::Connected, kWaitMs);

    PeerSocket second;
    aimAt(second, port);
    QSignalSpy secondErrors(&second, &PeerSocket::Error);
    QSignalSpy secondConnected(&second, &PeerSocket::Connected);
    QVERIFY(second.Connect());
    QVERIFY(secondErrors.wait(kWaitMs));
    QCOMPARE(secondErrors.at(0).at(0).toInt(), int(PeerSocket::ConnectionRefused));
    QCOMPARE(secondConnected.count(), 0);
    QCOMPARE(requests.count(), 1);

    // The accepted connection is the first one, and it works.
    QSignalSpy firstData(&first, &PeerSocket::DataArrival);
    QVERIFY(listener.SendData(QStringLiteral("only you")));
    QVERIFY(firstData.wait(kWaitMs));
    QCOMPARE(first.GetData(), QStringLiteral("only you"));
}

void TestPeerConnection::simultaneousAttemptsYieldOneConnection()
{
    PeerSocket listener;
    const quint16 port = listenAndAcceptOne(listener);
    QVERIFY(port != 0);
    QSignalSpy requests(&listener, &PeerSocket::ConnectionRequest);

    PeerSocket a, b;
    quint16 portA = 0, portB = 0;
    connect(&a, &PeerSocket::Connected, &a, [&] { portA = a.LocalPort(); });
    connect(&b, &PeerSocket::Connected, &b, [&] { portB = b.LocalPort(); });
    aimAt(a, port);
    aimAt(b, port);
    QVERIFY(a.Connect());
    QVERIFY(b.Connect());

    QTRY_COMPARE_WITH_TIMEOUT(listener.State(), State::Connected, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(listener.RemotePort() == portA || listener.RemotePort() == portB,
                             kWaitMs);
    PeerSocket &winner = listener.RemotePort() == portA ? a : b;
    PeerSocket &loser = &winner == &a ? b : a;

    // The other attempt ends: refused, or closed without ever being accepted.
    QTRY_VERIFY_WITH_TIMEOUT(loser.State() == State::Error || loser.State() == State::PeerClosed,
                             kWaitMs);
    QCOMPARE(requests.count(), 1);
    QCOMPARE(winner.State(), State::Connected);
    QVERIFY(!loser.SendData(QStringLiteral("late")));

    QSignalSpy winnerData(&winner, &PeerSocket::DataArrival);
    QVERIFY(listener.SendData(QStringLiteral("hi")));
    QVERIFY(winnerData.wait(kWaitMs));
    QCOMPARE(winner.GetData(), QStringLiteral("hi"));
}

void TestPeerConnection::requestNotAcceptedIsClosed()
{
    PeerSocket listener;
    listener.setLocalPort(0);
    QVERIFY(listener.Listen());
    QSignalSpy requests(&listener, &PeerSocket::ConnectionRequest);   // no handler accepts

    PeerSocket ignored;
    aimAt(ignored, listener.LocalPort());
    QSignalSpy closed(&ignored, &PeerSocket::Closed);
    QVERIFY(ignored.Connect());
    QVERIFY(closed.wait(kWaitMs));
    QCOMPARE(requests.count(), 1);
    QCOMPARE(listener.State(), State::Listening);

    // The listener goes on listening; the next attempt can still be accepted.
    connect(&listener, &PeerSocket::ConnectionRequest, &listener, [&](qint32 id) {
        listener.Close();
        QVERIFY(listener.Accept(id));
    });
    PeerSocket next;
    aimAt(next, listener.LocalPort());
    QSignalSpy nextConnected(&next, &PeerSocket::Connected);
    QVERIFY(next.Connect());
    QVERIFY(nextConnected.wait(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(listener.State(), State::Connected, kWaitMs);
    QCOMPARE(requests.count(), 2);
}

void TestPeerConnection::acceptOnlyInsideItsHandler()
{
    PeerSocket listener;
    listener.setLocalPort(0);
    QVERIFY(listener.Listen());
    qint32 seen = 0;
    bool acceptedWrongId = true;
    connect(&listener, &PeerSocket::ConnectionRequest, &listener, [&](qint32 id) {
        seen = id;
        acceptedWrongId = listener.Accept(id + 1);
    });

    PeerSocket client;
    aimAt(client, listener.LocalPort());
    QSignalSpy closed(&client, &PeerSocket::Closed);
    QVERIFY(client.Connect());
    QVERIFY(closed.wait(kWaitMs));
    QVERIFY(seen > 0);
    QVERIFY(!acceptedWrongId);
    QVERIFY(!listener.Accept(seen));   // the handler has returned: the offer is gone
    QCOMPARE(listener.State(), State::Listening);
    QVERIFY(!listener.Accept(0));
}

void TestPeerConnection::dataSentBeforeAcceptArrives()
{
    // The partner may speak before the request has been handled; nothing of it is lost.
    PeerSocket listener;
    const quint16 port = listenAndAcceptOne(listener);
    QVERIFY(port != 0);
    Collector collected(listener);

    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(raw.waitForConnected(kWaitMs));
    raw.write("<chat reply>accept</chat reply>");
    raw.write(QByteArray(1, '\0'));
    QVERIFY(raw.waitForBytesWritten(kWaitMs));

    QTRY_COMPARE_WITH_TIMEOUT(collected.bytes,
                              QByteArray("<chat reply>accept</chat reply>", 32), kWaitMs);
    QCOMPARE(listener.State(), State::Connected);
}

void TestPeerConnection::partnerCloseRaisesClosed_data()
{
    QTest::addColumn<bool>("listenerCloses");
    QTest::addColumn<bool>("readInHandler");
    QTest::newRow("accepted end closes, read as it arrives") << true << true;
    QTest::newRow("dialled end closes, read as it arrives") << false << true;
    QTest::newRow("accepted end closes, read after Closed") << true << false;
}

void TestPeerConnection::partnerCloseRaisesClosed()
{
    QFETCH(bool, listenerCloses);
    QFETCH(bool, readInHandler);
    Pair pair;
    QVERIFY(pair.open());
    PeerSocket &closer = listenerCloses ? *pair.accepted : *pair.dialled;
    PeerSocket &partner = listenerCloses ? *pair.dialled : *pair.accepted;

    QStringList order;
    QString received;
    connect(&partner, &PeerSocket::DataArrival, &partner, [&](qint64 total) {
        order << QStringLiteral("data");
        if (readInHandler)
            received += partner.GetData(total);
    });
    connect(&partner, &PeerSocket::Closed, &partner, [&] { order << QStringLiteral("closed"); });
    QSignalSpy errors(&partner, &PeerSocket::Error);

    QVERIFY(closer.SendData(QStringLiteral("bye")));
    closer.Close();
    QCOMPARE(closer.State(), State::Closed);

    QTRY_COMPARE_WITH_TIMEOUT(order, (QStringList{"data", "closed"}), kWaitMs);
    QCOMPARE(partner.State(), State::PeerClosed);
    if (!readInHandler)
        received = partner.GetData();   // unread bytes outlive the partner's close
    QCOMPARE(received, QStringLiteral("bye"));
    QVERIFY(!partner.SendData(QStringLiteral("too late")));
    QCOMPARE(partner.RemoteHostIP(), loopback());
    drainPostedEvents();
    QCOMPARE(errors.count(), 0);

    partner.Close();
    QCOMPARE(partner.State(), State::Closed);
    QCOMPARE(partner.RemoteHostIP(), QString());
}

void TestPeerConnection::partnerResetRaisesError()
{
    PeerSocket listener;
    const quint16 port = listenAndAcceptOne(listener);
    QVERIFY(port != 0);
    QSignalSpy errors(&listener, &PeerSocket::Error);
    QSignalSpy closed(&listener, &PeerSocket::Closed);

    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(raw.waitForConnected(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(listener.State(), State::Connected, kWaitMs);
    resetConnection(raw);

#ifdef Q_OS_LINUX
    QVERIFY(errors.wait(kWaitMs));
    QCOMPARE(errors.at(0).at(0).toInt(), int(PeerSocket::ConnectionReset));
    QVERIFY(!errors.at(0).at(1).toString().isEmpty());
    QCOMPARE(listener.State(), State::Error);
    drainPostedEvents();
    QCOMPARE(closed.count(), 0);
#else
    QVERIFY(closed.wait(kWaitMs));
#endif
    listener.Close();
    QCOMPARE(listener.State(), State::Closed);
}

void TestPeerConnection::connectRefusedRaisesError()
{
    PeerSocket client;
    aimAt(client, unusedPort());
    QSignalSpy errors(&client, &PeerSocket::Error);
    QSignalSpy connected(&client, &PeerSocket::Connected);
    QVERIFY(client.Connect());
    QVERIFY(errors.wait(kWaitMs));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), int(PeerSocket::ConnectionRefused));
    QVERIFY(!errors.at(0).at(1).toString().isEmpty());
    QCOMPARE(client.State(), State::Error);
    QCOMPARE(connected.count(), 0);
    QVERIFY(!client.SendData(QStringLiteral("x")));

    // After Close the same object connects again, this time successfully.
    client.Close();
    PeerSocket listener;
    const quint16 port = listenAndAcceptOne(listener);
    client.setRemotePort(port);
    QVERIFY(client.Connect());
    QVERIFY(connected.wait(kWaitMs));
    QCOMPARE(errors.count(), 1);
}

void TestPeerConnection::connectNeedsHostAndPort()
{
    PeerSocket client;
    QSignalSpy errors(&client, &PeerSocket::Error);
    client.setRemotePort(5000);
    QVERIFY(!client.Connect());
    client.setRemoteHost(QStringLiteral("  "));
    QVERIFY(!client.Connect());
    client.setRemoteHost(loopback());
    client.setRemotePort(0);
    QVERIFY(!client.Connect());
    QCOMPARE(client.State(), State::Closed);
    drainPostedEvents();
    QCOMPARE(errors.count(), 0);
}

void TestPeerConnection::closeIsIdempotentAndSilent()
{
    PeerSocket idle;
    idle.Close();
    idle.Close();
    QCOMPARE(idle.State(), State::Closed);

    PeerSocket listener;
    listener.setLocalPort(0);
    QVERIFY(listener.Listen());
    const quint16 port = listener.LocalPort();
    listener.Close();
    listener.Close();
    QCOMPARE(listener.State(), State::Closed);
    PeerSocket refused;
    aimAt(refused, port);
    QSignalSpy refusedErrors(&refused, &PeerSocket::Error);
    QVERIFY(refused.Connect());
    QVERIFY(refusedErrors.wait(kWaitMs));   // the port really is no longer listened on

    // Closing a connection while bytes are on their way: nothing fires afterwards.
    Pair pair;
    QVERIFY(pair.open());
    QSignalSpy data(pair.dialled.get(), &PeerSocket::DataArrival);
    QSignalSpy closed(pair.dialled.get(), &PeerSocket::Closed);
    QSignalSpy errors(pair.dialled.get(), &PeerSocket::Error);
    QSignalSpy partnerClosed(pair.accepted.get(), &PeerSocket::Closed);
    QSignalSpy partnerReset(pair.accepted.get(), &PeerSocket::Error);
    QVERIFY(pair.accepted->SendData(QStringLiteral("in flight")));
    pair.dialled->Close();
    pair.dialled->Close();
    // Closing with unread bytes resets the connection, so the partner may see either ending.
    QTRY_VERIFY_WITH_TIMEOUT(partnerClosed.count() + partnerReset.count() == 1, kWaitMs);
    drainPostedEvents();
    QCOMPARE(data.count() + closed.count() + errors.count(), 0);
    QCOMPARE(pair.dialled->GetData(), QString());

    // Closing with an event already queued drops it: here the partner's close, which the
    // object has noticed (its state says so) but not yet announced.
    Pair second;
    QVERIFY(second.open());
    PeerSocket &receiver = *second.dialled;
    QSignalSpy receiverClosed(&receiver, &PeerSocket::Closed);
    QSignalSpy receiverErrors(&receiver, &PeerSocket::Error);
    connect(&receiver, &PeerSocket::DataArrival, &receiver, [&] {
        QTRY_COMPARE_WITH_TIMEOUT(receiver.State(), State::PeerClosed, kWaitMs);
        receiver.Close();
        receiver.Close();
    });
    QVERIFY(second.accepted->SendData(QStringLiteral("last words")));
    second.accepted->Close();
    QTRY_COMPARE_WITH_TIMEOUT(receiver.State(), State::Closed, kWaitMs);
    drainPostedEvents();
    QCOMPARE(receiverClosed.count() + receiverErrors.count(), 0);
}

void TestPeerConnection::closeInsideEachHandler_data()
{
    QTest::addColumn<QString>("event");
    for (const char *event : {"ConnectionRequest", "Connected", "DataArrival", "Closed", "Error"})
        QTest::newRow(event) << QString::fromLatin1(event);
}

void TestPeerConnection::closeInsideEachHandler()
{
    QFETCH(QString, event);
    const bool onRequest = event == "ConnectionRequest";
    PeerSocket listener;
    quint16 port = 0;
    if (onRequest) {
        listener.setLocalPort(0);
        QVERIFY(listener.Listen());
        port = listener.LocalPort();
    } else {
        port = listenAndAcceptOne(listener);
    }
    QVERIFY(port != 0);
    PeerSocket client;
    aimAt(client, port);

    // The object under test: the listener for ConnectionRequest, the client otherwise.
    PeerSocket &subject = onRequest ? listener : client;
    int handled = 0;
    int eventsAfterClose = 0;
    auto closeTwice = [&] {
        ++handled;
        subject.Close();
        subject.Close();
    };
    auto countLater = [&] {
        if (handled)
            ++eventsAfterClose;
    };
    connect(&subject, &PeerSocket::ConnectionRequest, &subject, countLater);
    connect(&subject, &PeerSocket::Connected, &subject, countLater);
    connect(&subject, &PeerSocket::DataArrival, &subject, countLater);
    connect(&subject, &PeerSocket::Closed, &subject, countLater);
    connect(&subject, &PeerSocket::Error, &subject, countLater);

    if (onRequest) {
        connect(&listener, &PeerSocket::ConnectionRequest, &listener, closeTwice);
        QSignalSpy clientClosed(&client, &PeerSocket::Closed);
        QVERIFY(client.Connect());
        QVERIFY(clientClosed.wait(kWaitMs));   // not accepted, so dropped
        PeerSocket late;
        aimAt(late, port);
        QSignalSpy lateErrors(&late, &PeerSocket::Error);
        QVERIFY(late.Connect());
        QVERIFY(lateErrors.wait(kWaitMs));     // and no longer listening
    } else {
        QSignalSpy partnerClosed(&listener, &PeerSocket::Closed);
        if (event == "Connected") {
            connect(&client, &PeerSocket::Connected, &client, closeTwice);
            QVERIFY(client.Connect());
            QVERIFY(partnerClosed.wait(kWaitMs));
        } else if (event == "DataArrival") {
            connect(&client, &PeerSocket::DataArrival, &client, closeTwice);
            QVERIFY(client.Connect());
            QTRY_COMPARE_WITH_TIMEOUT(listener.State(), State::Connected, kWaitMs);
            QVERIFY(listener.SendData(QStringLiteral("one")));
            QVERIFY(listener.SendData(QStringLiteral("two")));
            QVERIFY(partnerClosed.wait(kWaitMs));
        } else if (event == "Closed") {
            connect(&client, &PeerSocket::Closed, &client, closeTwice);
            QSignalSpy connected(&client, &PeerSocket::Connected);
            QVERIFY(client.Connect());
            QVERIFY(connected.wait(kWaitMs));
            QTRY_COMPARE_WITH_TIMEOUT(listener.State(), State::Connected, kWaitMs);
            listener.Close();
            QTRY_COMPARE_WITH_TIMEOUT(handled, 1, kWaitMs);
        } else {
            connect(&client, &PeerSocket::Error, &client, closeTwice);
            listener.Close();
            QVERIFY(client.Connect());
            QTRY_COMPARE_WITH_TIMEOUT(handled, 1, kWaitMs);
        }
    }
    drainPostedEvents();
    QCOMPARE(handled, 1);
    QCOMPARE(eventsAfterClose, 0);
    QCOMPARE(subject.State(), State::Closed);
}

void TestPeerConnection::deleteInsideEachHandler_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<bool>("later");
    for (const char *event : {"ConnectionRequest", "Connected", "DataArrival", "Closed", "Error"}) {
        QTest::addRow("%s, deleteLater", event) << QString::fromLatin1(event) << true;
        QTest::addRow("%s, delete", event) << QString::fromLatin1(event) << false;
    }
}

void TestPeerConnection::deleteInsideEachHandler()
{
    QFETCH(QString, event);
    QFETCH(bool, later);
    auto *listener = new PeerSocket;
    auto *client = new PeerSocket;
    QPointer<PeerSocket> listenerAlive(listener), clientAlive(client);
    const auto cleanup = qScopeGuard([&] {
        delete listenerAlive.data();
        delete clientAlive.data();
    });

    const bool onRequest = event == "ConnectionRequest";
    PeerSocket *subject = onRequest ? listener : client;
    QPointer<PeerSocket> subjectAlive(subject);
    auto dispose = [subject, later] {
        if (later)
            subject->deleteLater();
        else
            delete subject;
    };
    quint16 port = 0;
    if (onRequest) {
        listener->setLocalPort(0);
        QVERIFY(listener->Listen());
        port = listener->LocalPort();
    } else {
        port = listenAndAcceptOne(*listener);
    }
    QVERIFY(port != 0);
    aimAt(*client, port);

    if (onRequest) {
        // Deleted while offering a connection: the offered one and the listening end with it.
        connect(listener, &PeerSocket::ConnectionRequest, listener, dispose);
        QSignalSpy clientClosed(client, &PeerSocket::Closed);
        QVERIFY(client->Connect());
        QVERIFY(clientClosed.wait(kWaitMs));
    } else if (event == "Connected") {
        connect(client, &PeerSocket::Connected, client, dispose);
        QSignalSpy partnerClosed(listener, &PeerSocket::Closed);
        QVERIFY(client->Connect());
        QVERIFY(partnerClosed.wait(kWaitMs));
    } else if (event == "DataArrival") {
        connect(client, &PeerSocket::DataArrival, client, dispose);
        QSignalSpy partnerClosed(listener, &PeerSocket::Closed);
        QVERIFY(client->Connect());
        QTRY_COMPARE_WITH_TIMEOUT(listener->State(), State::Connected, kWaitMs);
        QVERIFY(listener->SendData(QStringLiteral("first")));
        QVERIFY(listener->SendData(QStringLiteral("second")));
        QVERIFY(partnerClosed.wait(kWaitMs));
    } else if (event == "Closed") {
        connect(client, &PeerSocket::Closed, client, dispose);
        QSignalSpy connected(client, &PeerSocket::Connected);
        QVERIFY(client->Connect());
        QVERIFY(connected.wait(kWaitMs));
        QTRY_COMPARE_WITH_TIMEOUT(listener->State(), State::Connected, kWaitMs);
        listener->Close();
    } else {
        connect(client, &PeerSocket::Error, client, dispose);
        listener->Close();
        QVERIFY(client->Connect());
    }
    QTRY_VERIFY_WITH_TIMEOUT(subjectAlive.isNull(), kWaitMs);
    drainPostedEvents();
}

void TestPeerConnection::oneHandlerAtATimeEvenWithNestedLoop()
{
    // A handler that runs a nested event loop (as a modal message box does) is not interrupted
    // by the object's next event; that event follows once the handler has returned.
    Pair pair;
    QVERIFY(pair.open());
    PeerSocket &receiver = *pair.dialled;
    QSignalSpy closed(&receiver, &PeerSocket::Closed);
    int closedDuringHandler = -1;
    connect(&receiver, &PeerSocket::DataArrival, &receiver, [&] {
        // QTRY runs the event loop nested until the partner's close has reached the object.
        QTRY_COMPARE_WITH_TIMEOUT(receiver.State(), State::PeerClosed, kWaitMs);
        closedDuringHandler = int(closed.count());
    });
    QVERIFY(pair.accepted->SendData(QStringLiteral("modal")));
    pair.accepted->Close();
    QVERIFY(closed.wait(kWaitMs));
    QCOMPARE(closedDuringHandler, 0);
    QCOMPARE(closed.count(), 1);
}

void TestPeerConnection::descriptorsAreReleased()
{
    // Every path that ends a connection gives its descriptors back: accepted and dialled ends,
    // unaccepted requests, refused connects, resets, and objects deleted while connected.
    auto cycle = [] {
        {
            Pair pair;
            QVERIFY(pair.open());
            QVERIFY(pair.dialled->SendData(QStringLiteral("x")));
            QSignalSpy closed(pair.accepted.get(), &PeerSocket::Closed);
            pair.dialled->Close();
            QVERIFY(closed.wait(kWaitMs));
        }
        {
            PeerSocket listener;
            listener.setLocalPort(0);
            QVERIFY(listener.Listen());
            PeerSocket ignored;
            aimAt(ignored, listener.LocalPort());
            QSignalSpy closed(&ignored, &PeerSocket::Closed);
            QVERIFY(ignored.Connect());
            QVERIFY(closed.wait(kWaitMs));
        }
        {
            PeerSocket refused;
            aimAt(refused, unusedPort());
            QSignalSpy errors(&refused, &PeerSocket::Error);
            QVERIFY(refused.Connect());
            QVERIFY(errors.wait(kWaitMs));
        }
        {
            PeerSocket listener;
            const quint16 port = listenAndAcceptOne(listener);
            QSignalSpy errors(&listener, &PeerSocket::Error);
            QSignalSpy closed(&listener, &PeerSocket::Closed);
            QTcpSocket raw;
            raw.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(raw.waitForConnected(kWaitMs));
            QTRY_COMPARE_WITH_TIMEOUT(listener.State(), State::Connected, kWaitMs);
            resetConnection(raw);
            QTRY_VERIFY_WITH_TIMEOUT(errors.count() + closed.count() == 1, kWaitMs);
        }
        {
            auto pair = std::make_unique<Pair>();
            QVERIFY(pair->open());
            QSignalSpy closed(pair->dialled.get(), &PeerSocket::Closed);
            pair->accepted.reset();
            QVERIFY(closed.wait(kWaitMs));
        }
    };

    cycle();   // let Qt open whatever it keeps for the life of the process
    if (QTest::currentTestFailed())
        return;
    drainPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const int before = openDescriptors();
    for (int i = 0; i < 20 && !QTest::currentTestFailed(); ++i)
        cycle();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(), before, kWaitMs);
}

void TestPeerConnection::localIPIsUsableAddress()
{
    const QString ip = PeerSocket::LocalIP();
    QHostAddress address;
    QVERIFY2(address.setAddress(ip), qPrintable(ip));
    QCOMPARE(address.protocol(), QAbstractSocket::IPv4Protocol);
    QCOMPARE(address.toString(), ip);   // dotted quad, nothing around it

    // It is an address of this machine: a partner reaching it reaches us.
    QVERIFY(QNetworkInterface::allAddresses().contains(address));
    bool anyUsable = false;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if ((flags & QNetworkInterface::IsUp) && (flags & QNetworkInterface::IsRunning)
            && !(flags & QNetworkInterface::IsLoopBack)) {
            for (const QNetworkAddressEntry &entry : iface.addressEntries())
                anyUsable |= entry.ip().protocol() == QAbstractSocket::IPv4Protocol
                             && !entry.ip().isLoopback();
        }
    }
    QCOMPARE(address.isLoopback(), !anyUsable);
}

QTEST_GUILESS_MAIN(TestPeerConnection)
#include "tst_peerconnection.moc"
