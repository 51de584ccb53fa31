// The TCP side of a PeerLink: the connection or the listener, the cutting of what arrives into
// messages, and what happens to them, behind plain virtual calls (PeerLink keeps its own signals).
//
// It is the one part of the client that needs QtNetwork. Programs that link QtNetwork anyway (the
// tests, the benchmarks) have it built in; the client program loads it as a module of its own,
// QtNetwork with it, when a private chat first opens a link or asks for the local address: a
// client that never has a private chat never loads them.
#pragma once

#include "peerlink.h"

class QObject;

namespace quillet {

class PeerTransport
{
public:
    // What the transport reports, in the order it happens. Each call may close the link or delete
    // it (and the transport with it).
    class Events
    {
    public:
        virtual void connected() = 0;
        virtual void received(const PeerProtocol::Message &message) = 0;
        virtual void closed() = 0;
        virtual void failed(const QString &description) = 0;
        virtual void written() = 0;

    protected:
        ~Events() = default;
    };

    virtual ~PeerTransport() = default;
    virtual PeerLink::State state() const = 0;
    virtual quint16 localPort() const = 0;
    virtual quint16 peerPort() const = 0;
    virtual bool listen(quint16 port) = 0;
    virtual void connectTo(const QString &host, quint16 port) = 0;
    virtual bool put(const QString &message, bool bulk) = 0;
    virtual qint64 bytesToWrite() const = 0;
    virtual void close() = 0;
};

// What the module (or the built-in transport) offers.
struct PeerTransportModule
{
    // A transport that reports to `events`; it is a QObject child of `parent` (deleted with it).
    PeerTransport *(*make)(PeerTransport::Events *events, QObject *parent);
    // PeerLink::localIP().
    QString (*localIP)();
};

} // namespace quillet

// The module's one entry point (and the built-in transport's, where it is linked in).
extern "C" const quillet::PeerTransportModule *quillet_peer_transport_module();
