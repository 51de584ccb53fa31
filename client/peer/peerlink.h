// PeerLink: the direct TCP connection of a private chat between two Quillet clients, in messages.
//
// The requester listens (listen) and the first client to connect is the partner: the listening
// ends with it. The partner connects (connectTo). Once connected, send() puts one peer message on
// the wire (Latin-1, "?" for what Latin-1 lacks, then its 0 byte), and every complete message that
// arrives is cut at its 0 byte, turned back into text and classified once, here, and handed on as a
// PeerProtocol::Message. A message longer than 64 KiB is dropped whole.
//
// Signals come straight from the socket's own, in order: connected() once the connection is up
// (both sides), received() per message, then either closed() (the partner closed in order; every
// message it sent has been received) or failed() (a connect that failed, a reset, a network
// failure). Nothing follows close(), which is idempotent and safe inside any handler.
#pragma once

#include "peerprotocol.h"
#include "wire.h"

#include <QObject>

class QTcpServer;
class QTcpSocket;

namespace quillet {

class PeerLink : public QObject
{
    Q_OBJECT

public:
    enum class State { Closed, Listening, Connecting, Connected };
    Q_ENUM(State)

    explicit PeerLink(QObject *parent = nullptr);
    ~PeerLink() override;

    // This machine's address for a partner to connect to, as dotted IPv4 text: the first
    // non-loopback IPv4 address of an interface that is up and running, else "127.0.0.1".
    static QString localIP();

    State state() const { return m_state; }
    // The port listened on or connected from; 0 when closed.
    quint16 localPort() const;
    // The partner's port while connected; 0 otherwise.
    quint16 peerPort() const;

    // Listens on every IPv4 address at `port`; false (and closed) when it cannot be had.
    bool listen(quint16 port);
    // Connects to a dotted IPv4 address (or a host name) without blocking.
    void connectTo(const QString &host, quint16 port);
    // One message to the partner; false unless connected. An empty message sends nothing.
    bool send(const QString &message);
    // The same for bulk data: it goes to the system once the system has room (see below), not at once.
    bool sendBulk(const QString &message) { return put(message, true); }
    // Bytes sent but not yet taken by the system; written() follows whenever the system took some.
    // Bulk senders (file transfers) pace themselves by these: the system takes bulk data only while
    // little of it waits unsent there, so a keystroke never queues behind more than a little.
    qint64 bytesToWrite() const;
    void close();

signals:
    void connected();
    void received(const quillet::PeerProtocol::Message &message);
    void closed();
    void failed(const QString &description);
    void written();

private:
    bool put(const QString &message, bool bulk);
    void onWritten();
    void adopt(QTcpSocket *socket);
    void takeIncoming();
    void readAll();
    void onDisconnected();
    void onError();
    void finish(bool failedOnReset);
    void dropListener();

    State m_state = State::Closed;
    QTcpServer *m_listener = nullptr;
    QTcpSocket *m_socket = nullptr;
    int m_watchFd = -1; // a second descriptor of the connection, to tell a reset from a close
    bool m_flushing = false;
    bool m_writtenWhileFlushing = false;
    wire::Framer m_framer;
};

} // namespace quillet
