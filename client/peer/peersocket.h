// PeerSocket: the TCP end of a private chat between two Quillet clients.
//
// One PeerSocket is, at any time, one of: idle, a listener waiting for a partner, an outgoing
// connection being made, or the connected end of a peer connection. It offers a small set of
// methods named after what the private chat windows do with it (listen, accept, connect, send,
// read, close) and six signals. It sits on QTcpServer/QTcpSocket and adds no framing of its own:
// bytes go out as given and come back as they arrive.
//
// Ownership
//   - The caller owns the PeerSocket (a QObject: parent it, or delete it). Delete it with
//     deleteLater() from inside one of its own signal handlers; a plain delete there is safe too.
//   - The PeerSocket owns its listening socket, the connection it holds, every incoming connection
//     that has not been accepted, the bytes received but not yet read, and the bytes sent but not
//     yet handed to the system. Close() and the destructor release all of them.
//   - An incoming connection is offered once, through ConnectionRequest. Its request ID is valid
//     only while that handler runs; if the handler does not Accept it, the connection is closed
//     when the handler returns. Connections still waiting to be offered are closed by Close(),
//     by Listen(), Connect() and Accept() (which all begin as Close() does), and by the destructor.
//     At most 16 incoming connections wait at a time; further ones are closed at once.
//   - Strings cross by value: SendData copies the bytes it needs, GetData hands out its own copy.
//
// Text on the wire
//   8-bit Latin-1, one byte per character. A character above 255 (a surrogate pair counts as one
//   character) goes out as "?". Reading turns every byte 0-255 back into the same character.
//
// When events fire
//   Never from inside a method of this class: every event is queued and delivered later by the
//   event loop of the thread that owns the object (the UI thread), one at a time. While one handler
//   runs, even inside a nested event loop such as a modal message box, no other event of this object
//   fires; the next one follows after the handler returns. Close() discards all queued events, so
//   none fires after it until the next Listen, Connect or Accept.
//     ConnectionRequest(id)  while listening, once for each incoming connection attempt.
//     Connected()            once, when an outgoing Connect() has succeeded. (Accept() makes the
//                            object connected at once and raises no event.)
//     DataArrival(total)     when new bytes have arrived; total is the number of unread bytes at
//                            the moment of delivery (bytes left unread earlier included). Bytes that
//                            arrived before the handler runs are all counted in one event; when the
//                            unread count is 0 at delivery, the event is skipped.
//     Closed()               once, when the partner has closed the connection, after the
//                            DataArrival of the last bytes it sent. Unread bytes stay readable.
//     Error(number, text)    once, when a connect fails, when accepting fails while listening
//                            (listening then ends), or when an established connection fails (reset
//                            by the partner, network failure). Nothing else follows until Close().
//   A connection ends with either Closed or Error, never both.
//
// Error numbers (stable; the text is the system's or Qt's description)
//     1 ConnectionRefused  nothing listens at the remote address and port
//     2 HostNotFound       the remote host name could not be resolved
//     3 TimedOut           the connect timed out (QtNetwork gives up on a connect that is never
//                          answered after about a minute)
//     4 NetworkFailure     the network failed (unreachable, interface down, other system error)
//     5 ConnectionReset    the partner reset the established connection
//                          ("Connection reset by peer"). Detected on Linux; elsewhere a reset
//                          shows as Closed.
//     6 ListenFailed       accepting an incoming connection failed (e.g. out of descriptors)
//     7 AccessDenied       the system refused the operation
//     8 OtherError         anything else
//   A Listen() that cannot start (port taken, no permission) only returns false and raises nothing,
//   so the caller can pick another port.
//
// Threads: none of its own. Use an instance only from the thread that owns it.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <deque>

class QTcpSocket;

namespace quillet {

class PeerListener;

class PeerSocket : public QObject
{
    Q_OBJECT

public:
    enum class SocketState {
        Closed,      // idle: nothing held
        Listening,   // Listen() succeeded; waiting for connection attempts
        Connecting,  // Connect() started; Connected or Error follows
        Connected,   // a connection is up; SendData works
        PeerClosed,  // the partner closed (Closed raised or queued); own end waits for Close()
        Error,       // a failure (Error raised or queued); waits for Close()
    };
    Q_ENUM(SocketState)

    enum ErrorNumber {
        ConnectionRefused = 1,
        HostNotFound = 2,
        TimedOut = 3,
        NetworkFailure = 4,
        ConnectionReset = 5,
        ListenFailed = 6,
        AccessDenied = 7,
        OtherError = 8,
    };
    Q_ENUM(ErrorNumber)

    explicit PeerSocket(QObject *parent = nullptr);
    ~PeerSocket() override;

    // This machine's address for a partner to connect to, as dotted IPv4 text: the first
    // non-loopback IPv4 address of an interface that is up and running, else "127.0.0.1".
    static QString LocalIP();

    // The port Listen() uses (0: the system picks one). While listening or connected, LocalPort()
    // reads the port actually in use; otherwise the value set.
    quint16 LocalPort() const;
    void setLocalPort(quint16 port);

    // The partner for Connect(): a dotted IPv4 address or a host name, and a port (1-65535).
    QString RemoteHost() const;
    void setRemoteHost(const QString &host);
    // While a connection is up (or has just ended), the partner's port; otherwise the value set.
    quint16 RemotePort() const;
    void setRemotePort(quint16 port);

    SocketState State() const { return m_state; }

    // Ends what the object holds (as Close() does), then listens on LocalPort() on every IPv4
    // address. Returns false, with the object closed, when that port cannot be had.
    bool Listen();

    // Makes this object the connected end of the incoming connection that the running
    // ConnectionRequest handler offers as requestID. Begins as Close() does (so "Close();
    // Accept(id);" and plain "Accept(id);" both end the listening), and keeps working on that
    // connection after Close(). Returns false, changing nothing, when requestID is not the
    // connection being offered.
    bool Accept(qint32 requestID);

    // Ends what the object holds (as Close() does), then connects to RemoteHost():RemotePort()
    // over IPv4 without blocking: Connected or Error follows. Returns false, changing nothing and
    // raising nothing, when no remote host or no remote port is set.
    bool Connect();

    // Queues text as Latin-1 bytes for the partner, exactly as given (no terminator added).
    // Returns false, sending nothing, unless the state is Connected.
    bool SendData(const QString &text);

    // Takes up to maxLen unread bytes (all of them when maxLen is negative) as Latin-1 text.
    // Returns "" when nothing is unread.
    QString GetData(qint64 maxLen = -1);
    void GetData(QString &data, qint64 maxLen = -1);

    // Ends the connection or the listening and drops everything queued (events, unread bytes,
    // waiting incoming connections). Bytes already sent are first handed to the system, as many
    // as it takes without waiting (any chat-sized message), and it delivers them before the
    // connection closes. Idempotent, raises no event, and safe inside any of this object's signal
    // handlers. Leaves the state Closed.
    void Close();

signals:
    void ConnectionRequest(qint32 requestID);
    void Connected();
    void DataArrival(qint64 bytesTotal);
    void Closed();
    void Error(int number, const QString &description);

private:
    struct Event {
        enum class Kind { Request, Connect, Data, Close, Fail } kind;
        qint32 requestId = 0;
        int number = 0;
        QString text;
    };
    struct Pending {
        qint32 requestId;
        int fd;
    };
    friend class PeerListener;

    void closeAll();
    void dropConnection();
    void adopt(QTcpSocket *socket);
    void incoming(qintptr descriptor);
    void acceptFailed();
    void onConnected();
    void becomeConnected();
    void onSocketError();
    void onDisconnected();
    void partnerGone();
    void fail(int number, const QString &description);
    void drainSocket();
    void post(const Event &event);
    void schedule();
    void deliverNext();
    void closeWatch();

    SocketState m_state = SocketState::Closed;
    quint16 m_localPort = 0;
    QString m_remoteHost;
    quint16 m_remotePort = 0;
    quint16 m_peerPort = 0;

    PeerListener *m_listener = nullptr;
    QTcpSocket *m_socket = nullptr;
    int m_watchFd = -1;          // second descriptor of the connection, to tell a reset from a close
    QByteArray m_received;       // bytes received and not yet read

    std::deque<Pending> m_pending;   // incoming connections not yet offered
    qint32 m_nextRequestId = 0;
    qint32 m_offeredId = 0;      // the connection the running ConnectionRequest handler offers
    int m_offeredFd = -1;

    std::deque<Event> m_events;
    bool m_dataQueued = false;
    bool m_scheduled = false;
    bool m_delivering = false;
};

} // namespace quillet
