// Test support for the Varrow suites: raw POSIX ends on 127.0.0.1, an event recorder, and
// descriptor checks.
#pragma once

#include <varrow/Socket.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QSocketNotifier>
#include <QStringList>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace vt {

// A socket bound to 127.0.0.1 on a port the kernel picks; unless it listens, a connect is refused.
// With backlog 0 and unanswered(), its queue is filled until a connect gets no answer at all (the
// kernel drops further handshakes); false when that was not seen (a connect unanswered for 200 ms).
class RawListener
{
    Q_DISABLE_COPY(RawListener)

public:
    explicit RawListener(bool listening = true, int backlog = 64)
    {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len);
        m_port = ntohs(a.sin_port);
        if (listening)
            ::listen(m_fd, backlog);
    }
    ~RawListener()
    {
        for (int fd : m_clients)
            ::close(fd);
        ::close(m_fd);
    }
    quint16 port() const { return m_port; }
    bool unanswered()
    {
        while (m_clients.size() < 8) {
            const sockaddr_in a{AF_INET, htons(m_port), {htonl(INADDR_LOOPBACK)}, {}};
            pollfd p{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0), POLLOUT, 0};
            m_clients.push_back(p.fd);
            ::connect(p.fd, reinterpret_cast<const sockaddr *>(&a), sizeof a); // started only
            if (::poll(&p, 1, 200) == 0)
                return true;
        }
        return false;
    }
    // Waits at most timeoutMs (without running the event loop) for a connection and accepts it;
    // -1 when none came. The caller owns the descriptor.
    int acceptOne(int timeoutMs = 5000)
    {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) > 0 ? ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    }

private:
    const int m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 m_port = 0;
    std::vector<int> m_clients;
};

// One end of a TCP connection (it owns the descriptor) that collects in received() what arrives
// while the event loop runs.
class RawPeer
{
public:
    explicit RawPeer(int fd) : m_fd(fd), m_reader(fd, QSocketNotifier::Read)
    {
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        QObject::connect(&m_reader, &QSocketNotifier::activated, &m_reader, [this] { read(); });
    }
    ~RawPeer() { closeNow(); }

    int fd() const { return m_fd; }
    const QByteArray &received() const { return m_received; }
    bool sawClose() const { return m_sawClose; }
    void setReading(bool on) { m_reader.setEnabled(on && !m_sawClose); }

    // Writes all of bytes; while the kernel is full the event loop runs, so that the other end reads.
    bool write(QByteArrayView bytes)
    {
        const QDeadlineTimer deadline(10000);
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n > 0)
                done += n;
            else if (errno != EAGAIN || deadline.hasExpired())
                return false;
            else
                QCoreApplication::processEvents();
        }
        return true;
    }
    void closeNow()
    {
        m_reader.setEnabled(false);
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void abort() // close with a reset (RST)
    {
        const linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        closeNow();
    }
    // Takes what has arrived (the read notice does this by itself while reading is on).
    void read()
    {
        char buffer[65536];
        ssize_t n;
        while ((n = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0)
            m_received.append(buffer, n);
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            m_sawClose = true; // orderly close or reset
            m_reader.setEnabled(false);
        }
    }

private:
    int m_fd;
    QSocketNotifier m_reader;
    QByteArray m_received;
    bool m_sawClose = false;
};

// Records a Socket's events in order: "connect", "data:<text>", "disconnect".
struct EventLog : QObject
{
    explicit EventLog(varrow::Socket *s)
    {
        using varrow::Socket;
        connect(s, &Socket::Connnect, this, [this] { entries << QStringLiteral("connect"); });
        connect(s, &Socket::DataArrival, this, [this](const QString &t) { entries << QStringLiteral("data:") + t; });
        connect(s, &Socket::Disconnected, this, [this] { entries << QStringLiteral("disconnect"); });
    }
    QStringList entries;
};

inline bool connectTo(varrow::Socket &s, quint16 port)
{
    return s.Connect(QStringLiteral("127.0.0.1"), QString(), port);
}

// A varrow::Socket connected to a RawPeer.
struct Pair
{
    RawListener listener;
    std::unique_ptr<varrow::Socket> socket = std::make_unique<varrow::Socket>();
    std::unique_ptr<RawPeer> peer;

    bool open()
    {
        const bool connected = connectTo(*socket, listener.port());
        peer = std::make_unique<RawPeer>(listener.acceptOne(connected ? 5000 : 0));
        return connected && peer->fd() >= 0;
    }
};

inline int openDescriptorCount()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size());
}

inline bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

} // namespace vt
