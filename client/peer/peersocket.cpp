#include "peersocket.h"
#include "peerprotocol.h"

#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
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

// The listening socket. It hands every accepted descriptor straight to its PeerSocket, which
// keeps it as a plain descriptor until the connection is accepted or dropped.
class PeerListener : public QTcpServer
{
public:
    explicit PeerListener(PeerSocket *owner) : QTcpServer(owner), m_owner(owner)
    {
        setProxy(QNetworkProxy::NoProxy);
    }

protected:
    void incomingConnection(qintptr descriptor) override { m_owner->incoming(descriptor); }

private:
    PeerSocket *m_owner;
};

namespace {

// How many incoming connections may wait to be offered at once; further ones are closed.
constexpr std::size_t kMaxWaiting = 16;

void closeDescriptor(int &fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A second descriptor of the same connection. Qt closes its own descriptor as soon as it reads
// the end of the stream, whether the partner closed in order or reset the connection; the second
// descriptor keeps the connection's state readable for a moment longer, so the two can be told
// apart (see wasReset). Closing it is all it takes to release the connection.
int watchDescriptor(qintptr fd)
{
#ifdef Q_OS_LINUX
    return fd >= 0 ? ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0) : -1;
#else
    Q_UNUSED(fd);
    return -1;
#endif
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

int errorNumber(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return PeerSocket::ConnectionRefused;
    case QAbstractSocket::HostNotFoundError:
        return PeerSocket::HostNotFound;
    case QAbstractSocket::SocketTimeoutError:
        return PeerSocket::TimedOut;
    case QAbstractSocket::NetworkError:
        return PeerSocket::NetworkFailure;
    case QAbstractSocket::RemoteHostClosedError:
        return PeerSocket::ConnectionReset;
    case QAbstractSocket::SocketAccessError:
        return PeerSocket::AccessDenied;
    default:
        return PeerSocket::OtherError;
    }
}

} // namespace

PeerSocket::PeerSocket(QObject *parent) : QObject(parent), m_listener(new PeerListener(this))
{
    connect(m_listener, &QTcpServer::acceptError, this, &PeerSocket::acceptFailed);
}

PeerSocket::~PeerSocket()
{
    closeDescriptor(m_offeredFd);
    closeAll();
}

QString PeerSocket::LocalIP()
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

quint16 PeerSocket::LocalPort() const
{
    if (m_listener->isListening())
        return m_listener->serverPort();
    if (m_socket && m_socket->localPort() != 0)
        return m_socket->localPort();
    return m_localPort;
}

void PeerSocket::setLocalPort(quint16 port)
{
    m_localPort = port;
}

QString PeerSocket::RemoteHost() const
{
    return m_remoteHost;
}

void PeerSocket::setRemoteHost(const QString &host)
{
    m_remoteHost = host;
}

quint16 PeerSocket::RemotePort() const
{
    return m_peerPort != 0 ? m_peerPort : m_remotePort;
}

void PeerSocket::setRemotePort(quint16 port)
{
    m_remotePort = port;
}

bool PeerSocket::Listen()
{
    closeAll();
    if (!m_listener->listen(QHostAddress::AnyIPv4, m_localPort))
        return false;
    m_state = SocketState::Listening;
    return true;
}

bool PeerSocket::Accept(qint32 requestID)
{
    if (requestID == 0 || requestID != m_offeredId || m_offeredFd < 0)
        return false;
    int fd = std::exchange(m_offeredFd, -1);
    m_offeredId = 0;
    closeAll();

    auto *socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    if (!socket->setSocketDescriptor(fd)) {
        closeDescriptor(fd);
        delete socket;
        return false;
    }
    adopt(socket);
    becomeConnected();
    return true;
}

bool PeerSocket::Connect()
{
    const QString host = m_remoteHost.trimmed();
    if (host.isEmpty() || m_remotePort == 0)
        return false;
    closeAll();

    auto *socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    adopt(socket);
    m_state = SocketState::Connecting;
    // May report a failure at once; the slots only queue events, so nothing fires in here.
    socket->connectToHost(host, m_remotePort, QIODevice::ReadWrite, QAbstractSocket::IPv4Protocol);
    return true;
}

bool PeerSocket::SendData(const QString &text)
{
    if (m_state != SocketState::Connected || !m_socket)
        return false;
    const QByteArray bytes = PeerProtocol::encode(text);
    if (bytes.isEmpty())
        return true;
    if (m_socket->write(bytes) != bytes.size())
        return false;
    // To the system now, not on the next turn of the event loop: a keystroke must not wait for
    // what the window still does with the same key.
    m_socket->flush();
    return true;
}

QString PeerSocket::GetData(qint64 maxLen)
{
    const qsizetype n = (maxLen < 0 || maxLen > m_received.size()) ? m_received.size()
                                                                  : qsizetype(maxLen);
    const QString text = QString::fromLatin1(m_received.constData(), n);
    m_received.remove(0, n);
    return text;
}

void PeerSocket::GetData(QString &data, qint64 maxLen)
{
    data = GetData(maxLen);
}

void PeerSocket::Close()
{
    closeAll();
}

void PeerSocket::closeAll()
{
    m_events.clear();
    m_dataQueued = false;
    for (Pending &p : m_pending)
        closeDescriptor(p.fd);
    m_pending.clear();
    if (m_listener->isListening())
        m_listener->close();
    dropConnection();
    m_received.clear();
    m_peerPort = 0;
    m_state = SocketState::Closed;
}

void PeerSocket::dropConnection()
{
    if (QTcpSocket *socket = std::exchange(m_socket, nullptr)) {
        QObject::disconnect(socket, nullptr, this, nullptr);
        // Hand what is still buffered to the system, which sends it before the closing FIN.
        if (socket->state() == QAbstractSocket::ConnectedState)
            socket->flush();
        socket->abort();
        socket->deleteLater();
    }
    closeWatch();
}

void PeerSocket::adopt(QTcpSocket *socket)
{
    m_socket = socket;
    connect(socket, &QTcpSocket::connected, this, &PeerSocket::onConnected);
    connect(socket, &QTcpSocket::readyRead, this, &PeerSocket::drainSocket);
    connect(socket, &QTcpSocket::errorOccurred, this, &PeerSocket::onSocketError);
    connect(socket, &QTcpSocket::disconnected, this, &PeerSocket::onDisconnected);
}

void PeerSocket::incoming(qintptr descriptor)
{
    int fd = int(descriptor);
    if (m_state != SocketState::Listening || m_pending.size() >= kMaxWaiting) {
        closeDescriptor(fd);
        return;
    }
    if (++m_nextRequestId <= 0)
        m_nextRequestId = 1;
    m_pending.push_back({m_nextRequestId, fd});
    post({Event::Kind::Request, m_nextRequestId, 0, {}});
}

void PeerSocket::acceptFailed()
{
    if (m_state != SocketState::Listening)
        return;
    const QString description = m_listener->errorString();
    m_listener->close();
    m_state = SocketState::Error;
    post({Event::Kind::Fail, 0, ListenFailed, description});
}

void PeerSocket::onConnected()
{
    if (m_state != SocketState::Connecting || !m_socket)
        return;
    becomeConnected();
    post({Event::Kind::Connect, 0, 0, {}});
}

void PeerSocket::becomeConnected()
{
    m_watchFd = watchDescriptor(m_socket->socketDescriptor());
    m_state = SocketState::Connected;
    m_peerPort = m_socket->peerPort();
}

void PeerSocket::drainSocket()
{
    if (!m_socket || m_socket->bytesAvailable() <= 0)
        return;
    const QByteArray chunk = m_socket->readAll();
    if (chunk.isEmpty())
        return;
    m_received += chunk;
    const bool reporting = m_state == SocketState::Connected || m_state == SocketState::PeerClosed;
    if (reporting && !m_dataQueued) {
        m_dataQueued = true;
        post({Event::Kind::Data, 0, 0, {}});
    }
}

void PeerSocket::onSocketError()
{
    if (!m_socket)
        return;
    const QAbstractSocket::SocketError error = m_socket->error();
    if (m_state == SocketState::Connected && error == QAbstractSocket::RemoteHostClosedError) {
        partnerGone();
        return;
    }
    if (m_state == SocketState::Connecting || m_state == SocketState::Connected) {
        fail(errorNumber(error), m_socket->errorString());
    }
}

void PeerSocket::onDisconnected()
{
    partnerGone();
}

void PeerSocket::partnerGone()
{
    if (m_state != SocketState::Connected)
        return;
    drainSocket();
    if (wasReset(m_watchFd)) {
        fail(ConnectionReset, qt_error_string(ECONNRESET));
        return;
    }
    closeWatch();
    m_state = SocketState::PeerClosed;
    post({Event::Kind::Close, 0, 0, {}});
}

void PeerSocket::fail(int number, const QString &description)
{
    drainSocket();
    closeWatch();
    m_state = SocketState::Error;
    post({Event::Kind::Fail, 0, number, description});
}

void PeerSocket::closeWatch()
{
    closeDescriptor(m_watchFd);
}

void PeerSocket::post(const Event &event)
{
    m_events.push_back(event);
    if (!m_delivering)
        schedule();
}

void PeerSocket::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(this, &PeerSocket::deliverNext, Qt::QueuedConnection);
}

void PeerSocket::deliverNext()
{
    m_scheduled = false;
    // A nested event loop inside a handler must not start the next event; it follows the handler.
    if (m_delivering || m_events.empty())
        return;
    Event event = std::move(m_events.front());
    m_events.pop_front();

    QPointer<PeerSocket> self(this);
    m_delivering = true;
    switch (event.kind) {
    case Event::Kind::Request: {
        const auto it = std::find_if(m_pending.begin(), m_pending.end(), [&](const Pending &p) {
            return p.requestId == event.requestId;
        });
        if (it == m_pending.end())
            break;
        m_offeredId = it->requestId;
        m_offeredFd = it->fd;
        m_pending.erase(it);
        emit ConnectionRequest(event.requestId);
        if (!self)
            return;
        closeDescriptor(m_offeredFd);   // not accepted
        m_offeredId = 0;
        break;
    }
    case Event::Kind::Connect:
        emit Connected();
        break;
    case Event::Kind::Data:
        m_dataQueued = false;
        if (!m_received.isEmpty())
            emit DataArrival(m_received.size());
        break;
    case Event::Kind::Close:
        emit Closed();
        break;
    case Event::Kind::Fail:
        emit Error(event.number, event.text);
        break;
    }
    if (!self)
        return;
    m_delivering = false;
    if (!m_events.empty())
        schedule();
}

} // namespace quillet
