// Varrow: an event-driven IPv4 TCP socket for Qt programs.
//
// One varrow::Socket gives its host one TCP connection (outgoing, or accepted from a listening
// socket) through a handful of synchronous methods and four signals. It is a thin layer over POSIX
// sockets; readiness notices reach the owning thread through QSocketNotifier.
//
// Ownership
//   - The host owns the Socket object (a QObject; parent it or delete it yourself).
//   - The Socket owns at most one descriptor, the one SocketHandle() names, plus its receive
//     buffer and its unsent output. Connect, Listen and Accept close a descriptor the instance still
//     owns before taking a new one. Disconnect closes it.
//   - A handle passed to a ConnectionRequest handler belongs to the listening instance until a call
//     to Accept(handle) on some instance takes the accepted connection; the listener keeps listening.
//   - Strings cross by value: DataArrival hands each handler its own copy; Send copies what it needs.
//
// Wire format
//   Send writes the text as 8-bit Latin-1 (a character above 255 becomes "?") followed by one 0 byte.
//   Received bytes are split at 0 bytes; every complete message raises DataArrival once, in order.
//
// When events fire (always synchronously, on the thread that owns the Socket)
//   Connnect          inside Connect, after the connection is up, before Connect returns true.
//   DataArrival       from a read notice, once per complete 0-terminated message.
//   ConnectionRequest from an accept notice on a listening instance; the handler may assign to the
//                     reference to change SocketHandle().
//   Disconnected      inside Disconnect (whoever called it), and when the peer closes or a receive
//                     fails. The descriptor is already closed; SocketHandle() still holds the old
//                     value until the handler returns.
//
// Socket-layer registrations
//   The process keeps a count of registrations: every instance adds one when created, Shutdown and
//   destruction each end one. Ending the last one closes every descriptor that any instance still
//   owns, silently; until a new instance registers, Connect and Listen return false.
//
// Threads: none of its own. Use an instance only from the thread that created it.
#pragma once

#include <QObject>
#include <QString>

#include "varrow/varrow_export.h"

namespace varrow {

class SocketPrivate;

class VARROW_EXPORT Socket : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool Asynchronous READ Asynchronous WRITE setAsynchronous)

public:
    explicit Socket(QObject *parent = nullptr);
    ~Socket() override;

    // Accepts a pending connection on the listening descriptor pSocket; on success this instance
    // owns the new connection (registered for notices when Asynchronous is true). No event.
    Q_INVOKABLE bool Accept(qint32 &pSocket);
    // Connects to Host (dotted IPv4 address or host name) on the port of Service ("tcp" entry of
    // the services database) or, with an empty Service, on the low 16 bits of Port. Blocks for at
    // most ten seconds.
    Q_INVOKABLE bool Connect(const QString &Host, const QString &Service = QString(), qint32 Port = 0);
    // Listens on every local address at the low 16 bits of Port (0 picks a free port: see LocalPort).
    Q_INVOKABLE bool Listen(qint32 Port);
    // Closes whatever the instance holds, raises Disconnected, then sets SocketHandle to 0.
    Q_INVOKABLE void Disconnect();
    // Ends one socket-layer registration of the process (see above).
    Q_INVOKABLE void Shutdown();
    // The host name of this machine (kept for callers that expect it here), or "" on failure.
    Q_INVOKABLE QString LocalIP();
    // Everything that can be received now (blocking sockets: until the peer closes), 0 bytes kept.
    Q_INVOKABLE QString Read();
    // Queues Data and its 0 byte for sending; true when all of it was written or queued.
    Q_INVOKABLE bool Send(const QString &Data);
    // The host name of this machine, or "" on failure.
    Q_INVOKABLE QString LocalHost();

    bool Asynchronous() const;
    void setAsynchronous(bool value);

    // The descriptor every method acts on: 0 idle, -1 after a failed socket creation.
    qint32 SocketHandle() const;
    // The local port of the bound or connected descriptor, 0 when there is none.
    quint16 LocalPort() const;
    // The dotted local IPv4 address of the connected descriptor (the address through which this
    // machine reaches the peer), "" when there is none.
    QString LocalAddress() const;

signals:
    void ConnectionRequest(qint32 &Socket);
    void Connnect();
    void DataArrival(QString Data);
    void Disconnected();

private:
    friend class SocketPrivate;
    SocketPrivate *d;
};

} // namespace varrow
