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

inline sockaddr_in loopback(quint16 port)
{
    return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

// A socket bound to 127.0.0.1 on a port the kernel picks. Unless it listens, a connect to its
// port is refused.
class RawListener
{
    Q_DISABLE_COPY(RawListener)

public:
    explicit RawListener(bool listening = true)
    {
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len);
        m_port = ntohs(a.sin_port);
        if (listening)
            ::listen(m_fd, 64);
    }
    ~RawListener() { ::close(m_fd); }

    int fd() const { return m_fd; }
    quint16 port() const { return m_port; }
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
};

// A listener on 127.0.0.1 whose backlog is full: it never accepts, and once its queue holds what
// the smallest backlog allows, the kernel drops further handshakes, so a connect to it gets no
// answer at all. hangs() tells whether that was seen (a connect still unanswered after 200 ms).
class UnansweredListener
{
    Q_DISABLE_COPY(UnansweredListener)

public:
    UnansweredListener()
    {
        ::listen(m_raw.fd(), 0);
        const sockaddr_in a = loopback(port());
        while (!m_hangs && m_clients.size() < 8) {
            m_clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            pollfd p{m_clients.back(), POLLOUT, 0};
            m_hangs = ::connect(p.fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0
                      && errno == EINPROGRESS && ::poll(&p, 1, 200) == 0;
        }
    }
    ~UnansweredListener()
    {
        for (int fd : m_clients)
            ::close(fd);
    }
    quint16 port() const { return m_raw.port(); }
    bool hangs() const { return m_hangs; }

private:
    RawListener m_raw{false};
    std::vector<int> m_clients;
    bool m_hangs = false;
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

    // A blocking connect to 127.0.0.1:port; the descriptor, or -1.
    static int connectTo(quint16 port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(port);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0)
            return fd;
        ::close(fd);
        return -1;
    }

    int fd() const { return m_fd; }
    const QByteArray &received() const { return m_received; }
    bool sawClose() const { return m_sawClose; }
    void setReading(bool on) { m_reader.setEnabled(on && !m_sawClose); }

    // Writes all of bytes, with one send() when the kernel takes it; while the kernel is full
    // the event loop runs, so that the other end can read.
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

// Records a Socket's events in order: "connect", "data:<text>", "disconnect", "request".
class EventLog : public QObject
{
public:
    explicit EventLog(varrow::Socket *s)
    {
        using varrow::Socket;
        connect(s, &Socket::Connnect, this, [this] { entries << QStringLiteral("connect"); });
        connect(s, &Socket::DataArrival, this, [this](const QString &t) { entries << QStringLiteral("data:") + t; });
        connect(s, &Socket::Disconnected, this, [this] { entries << QStringLiteral("disconnect"); });
        connect(s, &Socket::ConnectionRequest, this, [this] { entries << QStringLiteral("request"); });
    }
    int count(const QString &entry) const { return int(entries.count(entry)); }

    QStringList entries;
};

// A Socket's Connect to 127.0.0.1:port.
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
