#include "peerlink.h"

#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

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

// Reads and drops what the partner sent that nobody will read: a socket closed with unread bytes
// in its receive queue resets the connection, and the partner would be told of an error instead of
// an orderly close. Bounded, as the partner may still be sending.
void dropUnread(int fd)
{
    char buffer[16 * 1024];
    for (int round = 0; fd >= 0 && round < 256; ++round)
        if (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0)
            break;
}

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

} // namespace

PeerLink::PeerLink(QObject *parent)
    : QObject(parent), m_framer(MaxMessageBytes, wire::Framer::Overflow::Skip)
{
}

PeerLink::~PeerLink()
{
    close();
}

QString PeerLink::localIP()
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

quint16 PeerLink::localPort() const
{
    if (m_listener)
        return m_listener->serverPort();
    return m_socket ? m_socket->localPort() : 0;
}

quint16 PeerLink::peerPort() const
{
    return m_state == State::Connected && m_socket ? m_socket->peerPort() : 0;
}

bool PeerLink::listen(quint16 port)
{
    close();
    m_listener = new QTcpServer(this);
    m_listener->setProxy(QNetworkProxy::NoProxy);
    if (!m_listener->listen(QHostAddress::AnyIPv4, port)) {
        close();
        return false;
    }
    connect(m_listener, &QTcpServer::newConnection, this, &PeerLink::takeIncoming);
    connect(m_listener, &QTcpServer::acceptError, this, [this] {
        const QString description = m_listener->errorString();
        close();
        emit failed(description);
    });
    m_state = State::Listening;
    return true;
}

void PeerLink::takeIncoming()
{
    // Whoever connects first is the partner: the listening ends with that connection.
    QTcpSocket *socket = m_listener ? m_listener->nextPendingConnection() : nullptr;
    if (!socket)
        return;
    socket->setParent(this);
    dropListener(); // the connections still waiting go with it
    adopt(socket);
    m_state = State::Connected;
    m_watchFd = watchDescriptor(socket->socketDescriptor());
    limitUnsent(socket->socketDescriptor());
    emit connected();
    if (m_socket == socket)
        readAll(); // what came with the connection
}

void PeerLink::connectTo(const QString &host, quint16 port)
{
    close();
    auto *socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    adopt(socket);
    m_state = State::Connecting;
    connect(socket, &QTcpSocket::connected, this, [this] {
        m_state = State::Connected;
        m_watchFd = watchDescriptor(m_socket->socketDescriptor());
        limitUnsent(m_socket->socketDescriptor());
        emit connected();
    });
    socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
}

void PeerLink::adopt(QTcpSocket *socket)
{
    m_socket = socket;
    socket->setReadBufferSize(256 * 1024); // one read never brings more than a few ms of work
    connect(socket, &QTcpSocket::bytesWritten, this, &PeerLink::onWritten);
    connect(socket, &QTcpSocket::readyRead, this, &PeerLink::readAll);
    connect(socket, &QTcpSocket::disconnected, this, &PeerLink::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &PeerLink::onError);
}

bool PeerLink::send(const QString &message)
{
    return put(message, false);
}

bool PeerLink::put(const QString &message, bool bulk)
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
        const QPointer<PeerLink> self(this); // a failure met while writing is reported at once
        m_flushing = true;
        m_socket->flush();
        if (!self)
            return true;
        m_flushing = false;
        if (std::exchange(m_writtenWhileFlushing, false))
            QMetaObject::invokeMethod(this, &PeerLink::onWritten, Qt::QueuedConnection);
    }
    return true;
}

void PeerLink::onWritten()
{
    if (m_flushing)
        m_writtenWhileFlushing = true;
    else if (m_state == State::Connected)
        emit written();
}

qint64 PeerLink::bytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

void PeerLink::readAll()
{
    if (!m_socket || m_state != State::Connected)
        return;
    m_framer.feed(m_socket->readAll());
    // A handler may close the link (and so clear the framer) or delete it.
    const QPointer<PeerLink> self(this);
    while (self && m_state == State::Connected && m_framer.hasMessage())
        emit received(PeerProtocol::classify(wire::fromLatin1(m_framer.takeMessage())));
}

void PeerLink::onDisconnected()
{
    if (m_state != State::Connected)
        return;
    readAll();
    if (m_state == State::Connected)
        finish(wasReset(m_watchFd));
}

void PeerLink::onError()
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
    emit failed(description);
}

void PeerLink::finish(bool failedOnReset)
{
    close();
    if (failedOnReset)
        emit failed(qt_error_string(ECONNRESET));
    else
        emit closed();
}

void PeerLink::dropListener()
{
    // Later, not now: this may run inside one of the listener's own signals.
    if (QTcpServer *listener = std::exchange(m_listener, nullptr)) {
        QObject::disconnect(listener, nullptr, this, nullptr);
        listener->close();
        listener->deleteLater();
    }
}

void PeerLink::close()
{
    m_state = State::Closed;
    m_framer.clear();
    dropListener();
    if (QTcpSocket *socket = std::exchange(m_socket, nullptr)) {
        QObject::disconnect(socket, nullptr, this, nullptr);
        // Hand what is still buffered to the system, which sends it before the closing FIN.
        if (socket->state() == QAbstractSocket::ConnectedState) {
            socket->flush();
            dropUnread(int(socket->socketDescriptor()));
        }
        socket->abort();
        socket->deleteLater();
    }
    closeDescriptor(m_watchFd);
}

} // namespace quillet
