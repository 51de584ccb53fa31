// Helpers shared by the PeerSocket suites: connected pairs over 127.0.0.1, raw partners, and
// waits on conditions (never on the clock alone).
#pragma once

#include "peersocket.h"

#include <QByteArray>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace peertest {

using quillet::PeerSocket;
using State = PeerSocket::SocketState;

constexpr int kWaitMs = 10000;

inline QString loopback()
{
    return QStringLiteral("127.0.0.1");
}

// A PeerSocket listening on a port of the system's choosing, with the usual request handler
// "Close(); Accept(id);". Returns the port, or 0 when listening failed.
inline quint16 listenAndAcceptOne(PeerSocket &listener)
{
    listener.setLocalPort(0);
    if (!listener.Listen())
        return 0;
    QObject::connect(&listener, &PeerSocket::ConnectionRequest, &listener, [&listener](qint32 id) {
        listener.Close();
        listener.Accept(id);
    });
    return listener.LocalPort();
}

inline void aimAt(PeerSocket &client, quint16 port)
{
    client.setRemoteHost(loopback());
    client.setRemotePort(port);
}

// Two connected PeerSockets: `accepted` is the listener's end, `dialled` the end that connected.
struct Pair
{
    std::unique_ptr<PeerSocket> accepted = std::make_unique<PeerSocket>();
    std::unique_ptr<PeerSocket> dialled = std::make_unique<PeerSocket>();

    bool open()
    {
        const quint16 port = listenAndAcceptOne(*accepted);
        if (port == 0)
            return false;
        aimAt(*dialled, port);
        QSignalSpy connected(dialled.get(), &PeerSocket::Connected);
        if (!dialled->Connect())
            return false;
        return QTest::qWaitFor([&] {
            return connected.count() == 1 && accepted->State() == State::Connected;
        }, kWaitMs);
    }
};

// Reads everything a PeerSocket receives, one GetData per DataArrival, as Latin-1 bytes.
struct Collector
{
    QByteArray bytes;
    int events = 0;
    qint64 announced = 0;

    explicit Collector(PeerSocket &socket)
    {
        QObject::connect(&socket, &PeerSocket::DataArrival, &socket, [this, &socket](qint64 total) {
            ++events;
            announced += total;
            bytes += socket.GetData(total).toLatin1();
        });
    }
};

// A free port on 127.0.0.1 that nothing listens on (bound, read, released).
inline quint16 unusedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

inline QByteArray allBytes()
{
    QByteArray bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[i] = char(i);
    return bytes;
}

} // namespace peertest
