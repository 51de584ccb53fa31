// Private state of varrow::Socket.
#pragma once

#include "framer.h"

#include <QByteArray>
#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QEventLoop;
class QSocketNotifier;
QT_END_NAMESPACE

namespace varrow {

class Socket;

class SocketPrivate
{
public:
    // Connecting: a Connect is waiting for its name lookup or handshake.
    enum class Kind { None, Connecting, Connection, Listener };

    explicit SocketPrivate(Socket *owner) : q(owner) {}

    // Closes the descriptor this instance owns, if any, without any event, and forgets its
    // buffers; a Connect waiting on it stops waiting. SocketHandle() is left alone: callers decide
    // what it shows afterwards.
    void release();
    // Takes ownership of a fresh descriptor and registers the notices it needs.
    void adopt(int descriptor, Kind what, bool blockingConnection);
    void setHandle(qint32 value);
    // A failed Connect or Listen: the handle shows `shown` (-1: no descriptor could be had, 0:
    // none is held), LastError() and errno tell `error`. Always false, for the caller to return.
    bool fail(qint32 shown, int error);

    qsizetype queuedBytes() const { return outQueue.size() - outPos; }
    // Writes as much of the send queue as the kernel takes now (all of it on a blocking
    // connection); false on a broken connection, whose queue is then dropped.
    bool flush();
    // Disconnect, with the reason LastError() and errno give the Disconnected handler.
    void close(int error);

    void onReadable();
    void onWritable();
    void onAcceptable();
    // Raises DataArrival for every complete message, oldest first; stops, returning false, as soon
    // as a handler deletes the instance or replaces/drops its connection.
    bool deliver();

    Socket *const q;

    qint32 handle = 0;           // what SocketHandle() reports; may name a descriptor we do not own
    int lastError = 0;           // what LastError() reports
    int fd = -1;                 // the descriptor this instance owns and will close, -1 for none
    Kind kind = Kind::None;
    bool blocking = false;       // the connection was taken with Asynchronous false
    bool asynchronous = true;
    qint64 maxMessageSize = 0;   // 0: oversized messages are skipped, not fatal
    static constexpr int DefaultConnectTimeoutMs = 10'000;
    int connectTimeoutMs = DefaultConnectTimeoutMs; // the bound of Connect's wait, lookup included

    // The loop a waiting Connect runs, while it runs; release() ends it.
    QEventLoop *connectWait = nullptr;
    // Bumped by every Connect, Listen and Accept that replaces what the instance holds: a Connect
    // whose wait was ended compares it to learn whether a later call has taken the instance over.
    quint64 operations = 0;

    // Bumped whenever the owned descriptor is dropped or replaced: code that ran a handler
    // compares it to learn whether it still acts on the same connection.
    quint64 generation = 1;
    // Bumped whenever a method writes the handle; Disconnect uses it to see whether its handler
    // took a new descriptor.
    quint64 handleWrites = 0;
    // Generation of the Disconnect whose Disconnected handler is running, 0 when none.
    quint64 disconnectingGeneration = 0;

    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QSocketNotifier *acceptNotifier = nullptr;

    detail::Framer framer;
    QByteArray outQueue;         // bytes accepted by Send but not yet taken by the kernel
    qsizetype outPos = 0;        // how much of outQueue has been written
};

} // namespace varrow
