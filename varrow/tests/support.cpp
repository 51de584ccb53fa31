#include "support.h"

#include <varrow/Socket.h>

#include <QDir>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <linux/sockios.h>

#include <cerrno>

namespace vt {

namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int boundSocket(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    *port = localPort(fd);
    return fd;
}

} // namespace

RawListener::RawListener()
{
    m_fd = boundSocket(&m_port);
    if (m_fd >= 0 && ::listen(m_fd, 64) != 0)
        close();
}

RawListener::~RawListener()
{
    close();
}

int RawListener::acceptOne(int timeoutMs)
{
    pollfd p{m_fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return -1;
    return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

void RawListener::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

RefusingPort::RefusingPort()
{
    m_fd = boundSocket(&m_port);
}

RefusingPort::~RefusingPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

RawPeer::RawPeer(int fd, QObject *parent)
    : QObject(parent)
    , m_fd(fd)
{
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    m_reader = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_reader, &QSocketNotifier::activated, this, &RawPeer::onReadable);
    m_writer = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writer->setEnabled(false);
    connect(m_writer, &QSocketNotifier::activated, this, &RawPeer::onWritable);
}

RawPeer::~RawPeer()
{
    closeNow();
}

int RawPeer::connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void RawPeer::setReading(bool on)
{
    if (m_reader && !m_sawClose)
        m_reader->setEnabled(on);
}

void RawPeer::setReceiveBuffer(int bytes)
{
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void RawPeer::write(const QByteArray &chunk)
{
    m_out.push_back(chunk);
    if (m_writer)
        m_writer->setEnabled(true);
}

bool RawPeer::writeNow(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && (errno == EINTR))
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{m_fd, POLLOUT, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

void RawPeer::closeNow()
{
    if (m_fd < 0)
        return;
    delete m_reader;
    delete m_writer;
    m_reader = m_writer = nullptr;
    ::close(m_fd);
    m_fd = -1;
}

void RawPeer::abort()
{
    if (m_fd < 0)
        return;
    linger l{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    closeNow();
}

void RawPeer::onReadable()
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            m_received.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        m_sawClose = true; // orderly close or reset
        m_reader->setEnabled(false);
        emit readyRead();
        emit closedByOtherSide();
        return;
    }
    emit readyRead();
}

void RawPeer::onWritable()
{
    if (m_out.empty()) {
        m_writer->setEnabled(false);
        return;
    }
    QByteArray &front = m_out.front();
    const ssize_t n = ::send(m_fd, front.constData(), size_t(front.size()), MSG_NOSIGNAL);
    if (n > 0) {
        if (n == front.size())
            m_out.pop_front();
        else
            front.remove(0, n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        m_out.clear();
    }
    if (m_out.empty()) {
        m_writer->setEnabled(false);
        emit allWritten();
    }
}

EventLog::EventLog(varrow::Socket *socket)
    : QObject(socket)
{
    connect(socket, &varrow::Socket::Connnect, this, [this] { entries << QStringLiteral("connect"); });
    connect(socket, &varrow::Socket::DataArrival, this,
            [this](const QString &text) { entries << QStringLiteral("data:") + text; });
    connect(socket, &varrow::Socket::Disconnected, this, [this] { entries << QStringLiteral("disconnect"); });
    connect(socket, &varrow::Socket::ConnectionRequest, this,
            [this](qint32 &handle) { entries << QStringLiteral("request:%1").arg(handle); });
}

QStringList EventLog::messages() const
{
    QStringList texts;
    for (const QString &e : entries) {
        if (e.startsWith(QLatin1String("data:")))
            texts << e.mid(5);
    }
    return texts;
}

int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size());
}

int unreadBytes(int fd)
{
    int n = -1;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

int unsentBytes(int fd)
{
    int n = -1;
    ::ioctl(fd, SIOCOUTQ, &n);
    return n;
}

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

quint16 remotePort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

quint16 localPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

void setSendBuffer(int fd, int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

quint16 probeFreePort()
{
    quint16 port = 0;
    const int fd = boundSocket(&port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

QByteArray wire(const QStringList &texts)
{
    QByteArray out;
    for (const QString &t : texts) {
        out += t.toLatin1();
        out += '\0';
    }
    return out;
}

} // namespace vt
