// PeerLink's TCP side over QtNetwork (peertransport.h): built into the programs that link
// QtNetwork anyway, and the client program's peer transport module.
#include "peertransport.h"
#include "wire.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace quillet {

namespace {

// The most a peer message may hold; a longer one is dropped whole.
constexpr qsizetype MaxMessageBytes = 64 * 1024;

void closeDescriptor(int &fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Qt closes its own descriptor as soon as it reads the end of the stream, whether the partner
// closed in order or reset the connection; a second descriptor keeps the connection's state
// readable a moment longer, so the two can be told apart.
int watchDescriptor(qintptr fd)
{
#ifdef Q_OS_LINUX
    return fd >= 0 ? ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0) : -1;
#else
    Q_UNUSED(fd);
    return -1;
#endif
}

// Keeps the queues in front of a keystroke short while a bulk sender (a file) keeps the connection
// busy: at most this much unsent data in the system's send buffer (which may otherwise hold
// megabytes; the rest waits in the socket's own buffer, where bytesToWrite() sees it), and a
// receive buffer of a size that still fills a LAN, not one that grows to megabytes.
void limitUnsent(qintptr fd)
{
#if defined(Q_OS_LINUX) && defined(TCP_NOTSENT_LOWAT)
    const int lowat = 128 * 1024;
    const int receive = 256 * 1024;
    if (fd >= 0) {
        ::setsockopt(int(fd), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat);
        ::setsockopt(int(fd), SOL_SOCKET, SO_RCVBUF, &receive, sizeof receive);
    }
#else
    Q_UNUSED(fd);
#endif
}

// Ends our side of a connection in order. A socket closed with unread bytes in its receive queue
// resets the connection, and the partner would be told of an error instead of an orderly close;
// the partner may still be sending when we close. So: our FIN goes out after what is queued, and a
// second descriptor stays open, reading and dropping, until the partner's FIN (it closes when it
// reads ours) or a few seconds have passed; only then is the connection let go. Owned by the
// application object, so that none is left behind at exit.
class ClosingConnection : public QObject
{
public:
    // Takes over fd, a second descriptor of the connection.
    static void start(int fd)
    {
        if (fd < 0)
            return;
        if (::shutdown(fd, SHUT_WR) != 0 || !QCoreApplication::instance()) {
            ::close(fd);
            return;
        }
        new ClosingConnection(fd);
    }
    ~ClosingConnection() override { ::close(m_fd); }

private:
    explicit ClosingConnection(int fd)
        : QObject(QCoreApplication::instance()), m_fd(fd), m_notifier(fd, QSocketNotifier::Read, this)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, &ClosingConnection::drain);
        QTimer::singleShot(3000, this, &QObject::deleteLater);
        drain();
    }
    void drain()
    {
        char buffer[16 * 1024];
        for (int round = 0; round < 64; ++round) {
            const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return; // more later
            break; // the partner's FIN, or the connection is gone
        }
        m_notifier.setEnabled(false);
        deleteLater();
    }

    int m_fd;
    QSocketNotifier m_notifier;
};

// After the end of the stream: an orderly close leaves our end in CLOSE_WAIT, a reset in CLOSE.
bool wasReset(int watchFd)
{
#ifdef Q_OS_LINUX
    if (watchFd < 0)
        return false;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(watchFd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_state == TCP_CLOSE;
#else
    Q_UNUSED(watchFd);
    return false;
#endif
}

class TcpTransport : public QObject, public PeerTransport
{
public:
    TcpTransport(Events *events, QObject *parent)
        : QObject(parent), m_events(events), m_framer(MaxMessageBytes, wire::Framer::Overflow::Skip)
    {
    }
    ~TcpTransport() override { close(); }

    PeerLink::State state() const override { return m_state; }
    quint16 localPort() const override;
    quint16 peerPort() const override;
    bool listen(quint16 port) override;
    void connectTo(const QString &host, quint16 port) override;
    bool put(const QString &message, bool bulk) override;
    qint64 bytesToWrite() const override;
    void close() override;

    static QString localIP();

private:
    using State = PeerLink::State;

    void adopt(QTcpSocket *socket);
    void becomeConnected();
    void takeIncoming();
    void readAll();
    void onWritten();
    void onDisconnected();
    void onError();
    void finish(bool failedOnReset);
    void dropListener();

    Events *m_events;
    State m_state = State::Closed;
    QTcpServer *m_listener = nullptr;
    QTcpSocket *m_socket = nullptr;
    int m_watchFd = -1; // a second descriptor of the connection, to tell a reset from a close
    bool m_flushing = false;
    bool m_writtenWhileFlushing = false;
    wire::Framer m_framer;
};

} // namespace

QString TcpTransport::localIP()
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const auto flags = iface.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning)
            || (flags & QNetworkInterface::IsLoopBack))
            continue;
        const auto entries = iface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback())
                return ip.toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

quint16 TcpTransport::localPort() const
{
    if (m_listener)
        return m_listener->serverPort();
    return m_socket ? m_socket->localPort() : 0;
}

quint16 TcpTransport::peerPort() const
{
    return m_state == State::Connected && m_socket ? m_socket->peerPort() : 0;
}

bool TcpTransport::listen(quint16 port)
{
    close();
    m_listener = new QTcpServer(this);
    m_listener->setProxy(QNetworkProxy::NoProxy);
    if (!m_listener->listen(QHostAddress::AnyIPv4, port)) {
        close();
        return false;
    }
    connect(m_listener, &QTcpServer::newConnection, this, &TcpTransport::takeIncoming);
    connect(m_listener, &QTcpServer::acceptError, this, [this] {
        const QString description = m_listener->errorString();
        close();
        m_events->failed(description);
    });
    m_state = State::Listening;
    return true;
}

void TcpTransport::takeIncoming()
{
    // Whoever connects first is the partner: the listening ends with that connection.
    QTcpSocket *socket = m_listener ? m_listener->nextPendingConnection() : nullptr;
    if (!socket)
        return;
    socket->setParent(this);
    dropListener(); // the connections still waiting go with it
    adopt(socket);
    becomeConnected();
    if (m_socket == socket)
        readAll(); // what came with the connection
}

void TcpTransport::connectTo(const QString &host, quint16 port)
{
    close();
    auto *socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    adopt(socket);
    m_state = State::Connecting;
    connect(socket, &QTcpSocket::connected, this, &TcpTransport::becomeConnected);
    socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void TcpTransport::becomeConnected()
{
    m_state = State::Connected;
    m_watchFd = watchDescriptor(m_socket->socketDescriptor());
    limitUnsent(m_socket->socketDescriptor());
    m_events->connected();
}

void TcpTransport::adopt(QTcpSocket *socket)
{
    m_socket = socket;
    socket->setReadBufferSize(256 * 1024); // one read never brings more than a few ms of work
    connect(socket, &QTcpSocket::bytesWritten, this, &TcpTransport::onWritten);
    connect(socket, &QTcpSocket::readyRead, this, &TcpTransport::readAll);
    connect(socket, &QTcpSocket::disconnected, this, &TcpTransport::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &TcpTransport::onError);
}

bool TcpTransport::put(const QString &message, bool bulk)
{
    if (m_state != State::Connected)
        return false;
    if (message.isEmpty())
        return true;
    const QByteArray bytes = PeerProtocol::frame(message);
    if (m_socket->write(bytes) != bytes.size())
        return false;
    // To the system now: a keystroke must not wait for what the window still does with the key.
    // The socket's flush goes on while the system takes data, and a bulk sender answering written()
    // would keep refilling it: the event loop would not turn again (nor read what the partner sent)
    // until the system's buffer is full. So written() waits for the next turn.
    if (!bulk) {
        const QPointer<TcpTransport> self(this); // a failure met while writing is reported at once
        m_flushing = true;
        m_socket->flush();
        if (!self)
            return true;
        m_flushing = false;
        if (std::exchange(m_writtenWhileFlushing, false))
            QMetaObject::invokeMethod(this, &TcpTransport::onWritten, Qt::QueuedConnection);
    }
    return true;
}

void TcpTransport::onWritten()
{
    if (m_flushing)
        m_writtenWhileFlushing = true;
    else if (m_state == State::Connected)
        m_events->written();
}

qint64 TcpTransport::bytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

void TcpTransport::readAll()
{
    if (!m_socket || m_state != State::Connected)
        return;
    m_framer.feed(m_socket->readAll());
    // A handler may close the link (and so clear the framer) or delete it.
    const QPointer<TcpTransport> self(this);
    while (self && m_state == State::Connected && m_framer.hasMessage())
        m_events->received(PeerProtocol::classify(wire::fromLatin1(m_framer.nextMessage())));
    if (self && m_state == State::Connected)
        m_framer.trim(); // a bulk read's room is not kept for good
}

void TcpTransport::onDisconnected()
{
    if (m_state != State::Connected)
        return;
    readAll();
    if (m_state == State::Connected)
        finish(wasReset(m_watchFd));
}

void TcpTransport::onError()
{
    if (!m_socket || m_state == State::Closed)
        return;
    if (m_state == State::Connected && m_socket->error() == QAbstractSocket::RemoteHostClosedError) {
        onDisconnected();
        return;
    }
    const QString description = m_socket->errorString();
    readAll();
    if (m_state == State::Closed)
        return;
    close();
    m_events->failed(description);
}

void TcpTransport::finish(bool failedOnReset)
{
    close();
    if (failedOnReset)
        m_events->failed(qt_error_string(ECONNRESET));
    else
        m_events->closed();
}

void TcpTransport::dropListener()
{
    // Later, not now: this may run inside one of the listener's own signals.
    if (QTcpServer *listener = std::exchange(m_listener, nullptr)) {
        QObject::disconnect(listener, nullptr, this, nullptr);
        listener->close();
        listener->deleteLater();
    }
}

void TcpTransport::close()
{
    m_state = State::Closed;
    m_framer.clear();
    dropListener();
    if (QTcpSocket *socket = std::exchange(m_socket, nullptr)) {
        QObject::disconnect(socket, nullptr, this, nullptr);
        // Hand what is still buffered to the system, which sends it before the closing FIN.
        if (socket->state() == QAbstractSocket::ConnectedState) {
            socket->flush();
            ClosingConnection::start(std::exchange(m_watchFd, -1));
        }
        socket->abort();
        socket->deleteLater();
    }
    closeDescriptor(m_watchFd);
}

namespace {

PeerTransport *makeTcpTransport(PeerTransport::Events *events, QObject *parent)
{
    return new TcpTransport(events, parent);
}

const PeerTransportModule tcpModule{makeTcpTransport, &TcpTransport::localIP};

} // namespace

} // namespace quillet

const quillet::PeerTransportModule *quillet_peer_transport_module()
{
    return &quillet::tcpModule;
}
