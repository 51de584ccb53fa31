// Test support for the Varrow suites: raw POSIX peers on 127.0.0.1 and an event recorder.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <deque>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

namespace varrow {
class Socket;
}

namespace vt {

// A listening socket on 127.0.0.1 with a port the kernel picks.
class RawListener
{
public:
    RawListener();
    ~RawListener();
    RawListener(const RawListener &) = delete;
    RawListener &operator=(const RawListener &) = delete;

    bool isValid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    quint16 port() const { return m_port; }
    // Waits (at most timeoutMs, without running the event loop) for a pending connection and
    // accepts it; -1 when none came. The caller owns the descriptor.
    int acceptOne(int timeoutMs = 5000);
    void close();

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

// A socket bound to 127.0.0.1 that never listens: connecting to its port is refused, and no one
// else can take the port while it exists.
class RefusingPort
{
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;
    quint16 port() const { return m_port; }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

// One end of a TCP connection, driven by the Qt event loop: while reading is on it collects
// whatever arrives in received(); write() queues chunks that go out one send() per write notice,
// so that a stream reaches the other side in many separate pieces.
class RawPeer : public QObject
{
    Q_OBJECT
public:
    // Takes ownership of a connected descriptor.
    explicit RawPeer(int fd, QObject *parent = nullptr);
    ~RawPeer() override;

    // A blocking connect to 127.0.0.1:port; the descriptor, or -1.
    static int connectTo(quint16 port);

    int fd() const { return m_fd; }
    const QByteArray &received() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    bool sawClose() const { return m_sawClose; }
    void setReading(bool on);
    void setReceiveBuffer(int bytes);

    // Queues a chunk; it is written from the event loop.
    void write(const QByteArray &chunk);
    // Writes now, blocking until the kernel took all of it.
    bool writeNow(const QByteArray &bytes);
    qsizetype pendingWrites() const { return qsizetype(m_out.size()); }

    // Orderly close (FIN).
    void closeNow();
    // Close with a reset (RST).
    void abort();

signals:
    void readyRead();
    void closedByOtherSide();
    void allWritten();

private:
    void onReadable();
    void onWritable();

    int m_fd = -1;
    QSocketNotifier *m_reader = nullptr;
    QSocketNotifier *m_writer = nullptr;
    QByteArray m_received;
    std::deque<QByteArray> m_out;
    bool m_sawClose = false;
};

// Records a Socket's events in order: "connect", "data:<text>", "disconnect", "request:<handle>".
class EventLog : public QObject
{
    Q_OBJECT
public:
    explicit EventLog(varrow::Socket *socket);

    QStringList entries;
    QStringList messages() const; // the texts of the "data:" entries
    int count(const QString &entry) const { return int(entries.count(entry)); }
};

// Open descriptors of this process, counted in /proc/self/fd.
int openDescriptorCount();
// Bytes received by the kernel for fd and not read yet.
int unreadBytes(int fd);
// Bytes the kernel holds for fd that the peer has not acknowledged yet.
int unsentBytes(int fd);
// Whether fd names an open descriptor.
bool isOpen(int fd);
// The port of the remote end of a connected descriptor.
quint16 remotePort(int fd);
quint16 localPort(int fd);
// Sets a small send buffer on fd (so that a send fills it quickly).
void setSendBuffer(int fd, int bytes);
// A port that was free on 127.0.0.1 a moment ago.
quint16 probeFreePort();
// Texts as bytes with their 0 terminator, one byte per character.
QByteArray wire(const QStringList &texts);

} // namespace vt
