// Varrow: an event-driven IPv4 TCP socket for Qt programs.
//
// One varrow::Socket gives its host one TCP connection (outgoing, or accepted from a listening
// socket) through a handful of synchronous methods and four signals. It is a thin layer over POSIX
// sockets; readiness notices reach the owning thread through QSocketNotifier. Every method and
// the property can also be reached by name through Qt's meta-object system
// (QMetaObject::invokeMethod, QObject::property/setProperty).
//
// Ownership
//   - The host owns the Socket object (a QObject; parent it or delete it yourself).
//   - The Socket owns at most one descriptor, the one SocketHandle() names, plus its receive
//     buffer and its unsent output. Connect, Listen and Accept close a descriptor the instance still
//     owns before taking a new one (silently: no Disconnected). Disconnect and destruction close it.
//     A failed Connect or Listen closes the socket it made: SocketHandle() is then 0, or -1 when no
//     socket could be created at all (see registrations below).
//   - The instance closes only what it owns. A number in SocketHandle() that it no longer owns (after
//     the socket layer was closed under it, or after a ConnectionRequest handler assigned another
//     value) is never closed, sent on or read from by it.
//   - A listening handle passed to a ConnectionRequest handler stays with the listening instance;
//     Accept(handle) on any instance takes one pending connection from it and owns that; the
//     listener keeps listening.
//   - Strings cross by value: DataArrival hands each handler its own copy; Send copies what it needs.
//
// Wire format
//   Send writes the text as 8-bit Latin-1 (a character above 255 becomes one "?") followed by one
//   0 byte; a 0 character inside the text thus ends a message early, as on the wire it must.
//   Received bytes are split at 0 bytes; every complete message raises DataArrival once, in order,
//   with each byte as one character (U+0000..U+00FF). An unterminated tail waits for its 0 byte;
//   what is left when the connection closes is dropped. A message longer than 1 MiB is dropped
//   whole (up to its 0 byte); the connection stays up. With MaxMessageSize set, a message longer
//   than that ends the connection instead (see MaxMessageSize).
//
// Sending
//   On a connection with notices, Send writes what the kernel takes at once and queues the rest,
//   in order, for the write notices; Send returns false (and queues nothing) while more than 4 MiB
//   wait unsent, i.e. when the peer has stopped reading. PendingOutput() tells how much waits, for
//   a host that wants a tighter bound of its own. On a blocking connection (Asynchronous
//   false) Send returns once all of it is written. Writing to a closed connection gives false,
//   never SIGPIPE. Disconnect makes one last non-blocking attempt to write what is queued, then
//   drops the rest.
//
// When events fire (always synchronously, on the thread that owns the Socket)
//   Connnect          inside Connect, after the connection is up, before Connect returns true.
//                     Accept raises none. While Connect waits (see Connecting below), the
//                     events of other instances, and this instance's Disconnected if a handler
//                     calls Disconnect, may fire before Connect returns.
//   DataArrival       from a read notice, once per complete 0-terminated message.
//   ConnectionRequest from an accept notice on a listening instance, once per pending connection
//                     that is taken: after a request the listener stays quiet until Accept is
//                     called with its handle (by the handler, or later). The argument is bound to
//                     SocketHandle(): assigning to it changes SocketHandle(), and a listener whose
//                     handle was assigned away is closed when the handler returns.
//   Disconnected      inside Disconnect (whoever called it, in every state, also when nothing was
//                     open), and when the peer closes, a receive fails or a message exceeds
//                     MaxMessageSize. The descriptor is already closed; SocketHandle() still holds
//                     the old value until the handler returns, then reads 0 (unless the handler
//                     connected anew). A Disconnect called from inside its own Disconnected
//                     handler does nothing more. LastError() tells why: EMSGSIZE for a message
//                     over MaxMessageSize, the receive's error (such as ECONNRESET) for a failed
//                     connection, 0 for the peer's orderly close and for a Disconnect called by
//                     the host. (errno holds the same value when the handler starts.)
//
// Connecting
//   Connect is synchronous for its caller, but while it waits for the host-name lookup or the
//   handshake it runs a local event loop that takes no user input (QEventLoop::
//   ExcludeUserInputEvents): windows keep painting, and timers, queued calls and other sockets'
//   notices run meanwhile, as they would under a modal dialog. The lookup runs on a thread of its
//   own; both together take at most ConnectTimeout (ten seconds unless set), then Connect gives up
//   (LastError ETIMEDOUT) and an unfinished lookup is abandoned. A dotted address needs no lookup,
//   and a handshake that ends at once (as on the local machine) runs no loop at all; in a thread
//   without an event dispatcher (no QCoreApplication) Connect just blocks. During the wait the
//   instance owns the connecting descriptor (SocketHandle() shows it; Send fails, Read and the
//   addresses give ""). Whatever runs meanwhile may call into the instance:
//     - Disconnect: closes the attempt and raises Disconnected; Connect then returns false with
//       LastError ECANCELED, SocketHandle() 0. Shutdown of the last registration: the same
//       without an event, LastError ENETDOWN.
//     - Connect, Listen or Accept on the same instance: the new call closes the attempt and runs
//       to its end (a second Connect waits in a loop of its own); the first Connect then returns
//       false (errno ECANCELED) and leaves the instance, LastError included, as the later call
//       left it.
//     - Deleting the instance: Connect returns false (errno ECANCELED) without touching it.
//   No Connnect is raised for an attempt that ended so.
//
// Re-entrancy
//   Handlers may call any method, run a nested event loop (a modal dialog) or delete the Socket
//   (deleteLater or delete). Messages stay exactly-once and in order: inside a nested loop, later
//   messages are delivered by the notices of that loop, each taken off the queue before its event.
//   After Disconnect, a new Connect, or the end of the socket layer inside a handler, no further
//   DataArrival comes from the old connection. After the instance is destroyed nothing more is
//   raised.
//
// Socket-layer registrations
//   The process keeps a count of registrations: every instance adds one when created, Shutdown and
//   destruction each end one (Shutdown twice ends two; with none left, ending does nothing). Ending
//   the last one closes every descriptor that any instance still owns, silently (no events; each
//   SocketHandle() keeps its number); until a new instance registers, Connect and Listen return
//   false with SocketHandle() -1, and Accept, Read, Send, LocalHost and LocalIP fail.
//
// Threads: all instances of a process belong to one thread (the UI thread): ending the last
// registration touches every instance. The only other threads are the host-name lookups of
// Connect, which touch no instance.
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
    Q_PROPERTY(qint64 MaxMessageSize READ MaxMessageSize WRITE setMaxMessageSize)
    Q_PROPERTY(int ConnectTimeout READ ConnectTimeout WRITE setConnectTimeout)

public:
    explicit Socket(QObject *parent = nullptr);
    ~Socket() override;

    // Accepts a pending connection on the listening descriptor pSocket; on success this instance
    // owns the new connection (with notices when Asynchronous is true) and what it held before is
    // closed. Never blocks: false when no connection is pending; SocketHandle() is then unchanged.
    // No event.
    Q_INVOKABLE bool Accept(qint32 &pSocket);
    // Connects to Host (dotted IPv4 address or host name; a name uses the first IPv4 address of its
    // lookup) on the port of Service ("tcp" entry of the services database) or, with an empty
    // Service, on the low 16 bits of Port (70000 is port 4464). Returns once the connection is
    // made or has failed, after at most ConnectTimeout, name lookup included; meanwhile the
    // event loop runs without user input (see Connecting above). True after Connnect was raised;
    // false without an event on any failure, LastError telling why: ETIMEDOUT when time ran out,
    // EHOSTUNREACH for a name without an IPv4 address, EINVAL for an empty host or an unknown
    // Service, ECONNREFUSED and the like from the handshake, ECANCELED when the wait was ended.
    Q_INVOKABLE bool Connect(const QString &Host, const QString &Service = QString(), qint32 Port = 0);
    // Listens on every local address at the low 16 bits of Port (0 picks a free port: LocalPort()
    // tells which). Accept notices come whatever Asynchronous says. No event. When bind or listen
    // fails, errno still holds their reason (EADDRINUSE for a busy port) after the false.
    Q_INVOKABLE bool Listen(qint32 Port);
    // The same on one local address only: Address is a dotted IPv4 address ("127.0.0.1"; "0.0.0.0"
    // or "" for every address, as Listen(Port)). Text that is not a dotted IPv4 address gives
    // false with errno EINVAL before any socket is made; like every failed Listen it closes what
    // the instance held, and SocketHandle() reads 0.
    Q_INVOKABLE bool Listen(qint32 Port, const QString &Address);
    // Closes whatever the instance holds, raises Disconnected, then sets SocketHandle to 0.
    Q_INVOKABLE void Disconnect();
    // Ends one socket-layer registration of the process (see above).
    Q_INVOKABLE void Shutdown();
    // The host name of this machine (kept for callers that expect it here), or "" on failure.
    Q_INVOKABLE QString LocalIP();
    // Everything that can be received now (blocking connections: until the peer closes), 0 bytes
    // kept, bypassing the message framing. Raises nothing, also when it sees the peer's close.
    Q_INVOKABLE QString Read();
    // Sends Data and its 0 byte; true when all of it was written or queued, false when nothing can
    // go (no connection, a broken connection, or more than 4 MiB already waiting).
    Q_INVOKABLE bool Send(const QString &Data);
    // The host name of this machine, or "" on failure.
    Q_INVOKABLE QString LocalHost();

    // Whether Connect and Accept register the new connection for notices (true, the default) or
    // leave it blocking (no DataArrival, no automatic Disconnected; use Read). Changing it does
    // not affect an existing connection.
    bool Asynchronous() const;
    void setAsynchronous(bool value);

    // The longest message (in bytes, without its 0 byte) this instance accepts from its peer, or
    // 0 (the default) for the library's own rule. When it is set (above 0), a received message
    // longer than that, terminated or not, closes the connection: the messages completed before
    // it are delivered, then Disconnected is raised (errno EMSGSIZE) and nothing after it is
    // read. A message of exactly MaxMessageSize bytes is delivered. With 0, a message over 1 MiB
    // is skipped and the connection stays up (see Wire format). The setting belongs to the
    // instance, not to a connection: it holds for every later connection too, and a change
    // applies from the next receive on. A negative value counts as 0.
    qint64 MaxMessageSize() const;
    void setMaxMessageSize(qint64 value);

    // How long Connect may take, name lookup and handshake together, in milliseconds: 10,000
    // unless set. A value below 1 restores the 10,000. A change applies from the next Connect.
    int ConnectTimeout() const;
    void setConnectTimeout(int milliseconds);

    // Bytes that Send has accepted but the kernel has not taken yet (the send queue; what the
    // kernel's own buffer holds is not counted). 0 without a connection and on a blocking one.
    qint64 PendingOutput() const;

    // The descriptor number the instance shows: 0 idle, -1 after a failed socket creation.
    qint32 SocketHandle() const;
    // The local port of the owned descriptor (after Listen(0): the port picked), 0 when none.
    quint16 LocalPort() const;
    // The dotted local IPv4 address of the connected descriptor (the address through which this
    // machine reaches the peer), "" when there is none.
    QString LocalAddress() const;
    // The dotted IPv4 address of the peer of the connected descriptor, "" when there is none (no
    // connection, a listener, or after Disconnected).
    QString RemoteAddress() const;
    // Why the last Connect or Listen failed (see Connect), or why the connection last ended (see
    // Disconnected): an errno value (ENETDOWN while the socket layer is shut down), or 0.
    int LastError() const;

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
