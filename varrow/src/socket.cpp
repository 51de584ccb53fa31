#include "varrow/Socket.h"

#include "lookup.h"
#include "posix.h"
#include "socket_p.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPointer>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace varrow {

using namespace detail;

namespace {

// One receive per read notice, into a buffer of the thread (the framer keeps what it needs). The
// size was chosen by measurement (docs/performance.md): larger receives mean fewer notices and
// calls for a busy connection and cost nothing for an idle one.
constexpr qsizetype ReceiveChunk = 64 * 1024;
constexpr qsizetype ReadChunk = 255;           // Read() receives in pieces of this size
constexpr qsizetype MaxQueued = 4 << 20;       // Send refuses while more than this is unsent

// ---------------------------------------------------------------------------------------------
// Socket-layer registrations of the process.

struct Layer
{
    int registrations = 0;
    std::vector<SocketPrivate *> instances;
};

Layer &layer()
{
    static Layer *const instance = new Layer; // never destroyed: instances may outlive statics
    return *instance;
}

bool layerUp()
{
    return layer().registrations > 0;
}

void beginRegistration(SocketPrivate *d)
{
    Layer &l = layer();
    l.instances.push_back(d);
    ++l.registrations;
}

void forget(SocketPrivate *d)
{
    auto &v = layer().instances;
    std::erase(v, d);
}

void endRegistration()
{
    Layer &l = layer();
    if (l.registrations == 0)
        return;
    if (--l.registrations > 0)
        return;
    // The last registration takes every descriptor of every instance with it, silently.
    const std::vector<SocketPrivate *> instances = l.instances;
    for (SocketPrivate *d : instances)
        d->release();
}

// A listener stops raising accept notices while a connection request is being offered; taking
// a connection from it (from any instance) arms it again.
void rearmListener(int listenFd)
{
    for (SocketPrivate *d : layer().instances) {
        if (d->kind == SocketPrivate::Kind::Listener && d->fd == listenFd && d->acceptNotifier)
            d->acceptNotifier->setEnabled(true);
    }
}

// One end's address of a connection, dotted; "" when there is no connection.
QString dottedAddress(int fd, bool connection, int (*query)(int, sockaddr *, socklen_t *))
{
    if (!connection || fd < 0)
        return QString();
    sockaddr_in end{};
    socklen_t length = sizeof end;
    if (query(fd, reinterpret_cast<sockaddr *>(&end), &length) != 0 || end.sin_family != AF_INET)
        return QString();
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &end.sin_addr, text, sizeof text))
        return QString();
    return QString::fromLatin1(text);
}

void dropNotifier(QSocketNotifier *&notifier)
{
    if (!notifier)
        return;
    // Disabled at once (the descriptor is about to be closed, and its number may be reused);
    // deleted later because we may be inside its own activated() signal.
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Host-name lookups, each on a thread of its own (see lookup.h).

std::mutex lookupReplacementMutex;
NameLookup lookupReplacement; // empty: getaddrinfo

// What a lookup thread and the Connect waiting for it share. The thread holds it until it ends,
// however long after Connect has stopped waiting.
class PendingLookup
{
public:
    // Starts the lookup of name; its answer wakes waiter (with a queued quit) unless the wait
    // was abandoned first. Throws std::system_error when no thread can be started.
    static std::shared_ptr<PendingLookup> start(const QByteArray &name, QEventLoop *waiter)
    {
        auto pending = std::make_shared<PendingLookup>();
        pending->m_waiter = waiter;
        NameLookup lookup;
        {
            const std::lock_guard lock(lookupReplacementMutex);
            lookup = lookupReplacement;
        }
        std::thread([pending, name, lookup = std::move(lookup)] {
            const std::optional<in_addr> address = lookup ? lookup(name) : lookUpName(name);
            const std::lock_guard lock(pending->m_mutex);
            pending->m_address = address;
            pending->m_finished = true;
            // Under the lock: the waiter cannot be destroyed before the abandon() that precedes
            // its end, and an event posted to it is dropped with it.
            if (pending->m_waiter)
                QMetaObject::invokeMethod(pending->m_waiter, &QEventLoop::quit, Qt::QueuedConnection);
        }).detach();
        return pending;
    }

    bool finished()
    {
        const std::lock_guard lock(m_mutex);
        return m_finished;
    }
    std::optional<in_addr> address()
    {
        const std::lock_guard lock(m_mutex);
        return m_address;
    }
    // Nobody waits any more: the answer, whenever it comes, wakes nothing.
    void abandon()
    {
        const std::lock_guard lock(m_mutex);
        m_waiter = nullptr;
    }

private:
    std::mutex m_mutex;
    QEventLoop *m_waiter = nullptr;
    bool m_finished = false;
    std::optional<in_addr> m_address;
};

} // namespace

namespace detail {

NameLookup replaceNameLookup(NameLookup lookup)
{
    const std::lock_guard lock(lookupReplacementMutex);
    return std::exchange(lookupReplacement, std::move(lookup));
}

} // namespace detail

// -------------------------------------------------------------------------------------------------
// SocketPrivate

void SocketPrivate::release()
{
    if (connectWait) {
        connectWait->quit(); // the waiting Connect sees that its attempt has ended
        connectWait = nullptr;
    }
    dropNotifier(readNotifier);
    dropNotifier(writeNotifier);
    dropNotifier(acceptNotifier);
    if (fd >= 0)
        closeDescriptor(fd);
    fd = -1;
    kind = Kind::None;
    blocking = false;
    framer.clear();
    outQueue = QByteArray();
    outPos = 0;
    ++generation;
}

void SocketPrivate::setHandle(qint32 value)
{
    handle = value;
    ++handleWrites;
}

bool SocketPrivate::fail(qint32 shown, int error)
{
    setHandle(shown);
    errno = lastError = error;
    return false;
}

void SocketPrivate::adopt(int descriptor, Kind what, bool blockingConnection)
{
    fd = descriptor;
    kind = what;
    blocking = blockingConnection;
    ++generation;
    setHandle(descriptor);

    if (what == Kind::Listener) {
        acceptNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, q);
        QObject::connect(acceptNotifier, &QSocketNotifier::activated, q, [this] { onAcceptable(); });
        return;
    }
    if (blocking)
        return; // data is then obtained through Read only

    readNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, q);
    QObject::connect(readNotifier, &QSocketNotifier::activated, q, [this] { onReadable(); });
    writeNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, q);
    writeNotifier->setEnabled(false); // only while the send queue holds something
    QObject::connect(writeNotifier, &QSocketNotifier::activated, q, [this] { onWritable(); });
}

bool SocketPrivate::flush()
{
    bool intact = true;
    while (outPos < outQueue.size()) {
        const ssize_t n = ::send(fd, outQueue.constData() + outPos, size_t(outQueue.size() - outPos),
                                 MSG_NOSIGNAL);
        if (n > 0) {
            outPos += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && wouldBlock(errno) && writeNotifier) {
            writeNotifier->setEnabled(true); // the write notice takes it from here
            return true;
        } else {
            intact = false; // nothing more will go; the read side reports the close
            break;
        }
    }
    outQueue = QByteArray();
    outPos = 0;
    if (writeNotifier)
        writeNotifier->setEnabled(false);
    return intact;
}

void SocketPrivate::onWritable()
{
    if (kind != Kind::Connection || fd < 0)
        return;
    flush();
}

void SocketPrivate::onReadable()
{
    if (kind != Kind::Connection || fd < 0)
        return;

    // A handler's nested event loop may read on this thread again, but only after this read has
    // gone into the framer.
    static thread_local std::unique_ptr<char[]> receiveBuffer;
    if (!receiveBuffer)
        receiveBuffer = std::make_unique_for_overwrite<char[]>(size_t(ReceiveChunk));
    char *const buffer = receiveBuffer.get();
    ssize_t n;
    do {
        n = ::recv(fd, buffer, size_t(ReceiveChunk), 0);
    } while (n < 0 && errno == EINTR);

    bool closed = false;
    int error = 0;
    if (n > 0) {
        framer.feed(QByteArrayView(buffer, n));
    } else if (n == 0 || !wouldBlock(errno)) {
        closed = true; // the peer closed, or the connection failed
        error = n == 0 ? 0 : errno;
    }
    // would-block: a stale notice (someone else read the data); nothing to do
    if (framer.hasOverflowed()) {
        closed = true; // a message outgrew MaxMessageSize
        error = EMSGSIZE;
    }

    // Complete messages first, also those of a chunk that ends in the peer's close.
    if (!deliver())
        return;
    if (closed)
        close(error); // drops an unterminated tail with the connection
    else
        framer.trim();
}

bool SocketPrivate::deliver()
{
    QPointer<Socket> alive(q);
    const quint64 connection = generation;
    // A handler may run a nested event loop in which further read notices deliver the next
    // messages themselves: each message is taken off the queue before its event is raised, so
    // every one is raised exactly once and they start in order.
    while (framer.hasMessage()) {
        emit q->DataArrival(QString::fromLatin1(framer.nextMessage()));
        if (!alive || generation != connection)
            return false;
    }
    return true;
}

void SocketPrivate::onAcceptable()
{
    if (kind != Kind::Listener || fd < 0)
        return;
    const int listenFd = fd;
    // Quiet until a connection is taken from this listener (see rearmListener), so a request that
    // no handler takes does not keep the loop spinning.
    acceptNotifier->setEnabled(false);

    QPointer<Socket> alive(q);
    emit q->ConnectionRequest(handle);
    if (!alive)
        return;
    if (kind == Kind::Listener && fd == listenFd && handle != listenFd) {
        // The handler pointed SocketHandle elsewhere; nothing can reach the listener any more.
        release();
    }
}

// -------------------------------------------------------------------------------------------------
// Socket

Socket::Socket(QObject *parent)
    : QObject(parent)
    , d(new SocketPrivate(this))
{
    beginRegistration(d);
}

Socket::~Socket()
{
    d->release();
    forget(d);
    endRegistration();
    delete d;
    d = nullptr;
}

bool Socket::Accept(qint32 &pSocket)
{
    // pSocket may be a reference to our own handle (a ConnectionRequest handler passing its
    // argument back): read it before anything changes the handle.
    const int listenFd = pSocket;
    if (!layerUp() || listenFd < 0)
        return false;

    // Never block the thread: take a connection only when one is pending.
    pollfd p{listenFd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || !(p.revents & POLLIN)) {
        rearmListener(listenFd);
        return false;
    }

    const bool async = d->asynchronous;
    int accepted;
    do {
        accepted = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | (async ? SOCK_NONBLOCK : 0));
    } while (accepted < 0 && errno == EINTR);
    rearmListener(listenFd);
    if (accepted < 0)
        return false;

    d->release(); // what we held (possibly the very listener) is replaced
    ++d->operations;
    d->adopt(accepted, SocketPrivate::Kind::Connection, !async);
    return true;
}

bool Socket::Connect(const QString &Host, const QString &Service, qint32 Port)
{
    d->release();
    const quint64 operation = ++d->operations;
    if (!layerUp())
        return d->fail(-1, ENETDOWN); // the socket layer is shut down
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return d->fail(-1, errno);

    // The instance owns the descriptor from here on, so whatever releases the instance while
    // Connect waits below (Disconnect, Shutdown, another Connect, Listen or Accept, destruction)
    // closes it and ends this attempt.
    d->fd = fd;
    d->kind = SocketPrivate::Kind::Connecting;
    ++d->generation;
    d->setHandle(fd);
    const quint64 attempt = d->generation;
    QPointer<Socket> alive(this);
    const QDeadlineTimer deadline(d->connectTimeoutMs, Qt::PreciseTimer);

    auto fail = [this](int error) {
        d->release(); // closes the attempt's descriptor
        return d->fail(0, error);
    };
    // The attempt was ended from inside the wait. Unless a later Connect, Listen or Accept has
    // taken the instance over (its outcome stands), or the instance is gone, this one reports
    // its failure.
    auto ended = [&] {
        if (alive && d->operations == operation)
            return d->fail(0, layerUp() ? ECANCELED : ENETDOWN);
        errno = ECANCELED;
        return false;
    };

    // The wait: a local event loop that takes no user input, so the program keeps painting and
    // its other sockets and timers keep running, until ready() holds, the deadline passes or the
    // attempt ends. Woken by what the caller arms (the handshake's write notice, the lookup's
    // answer), by the bound's timer and by release().
    enum class Wait { Ready, TimedOut, Ended };
    QEventLoop loop;
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto waitUntil = [&](const auto &ready) {
        while (!ready()) {
            const qint64 left = deadline.remainingTime();
            if (left == 0)
                return Wait::TimedOut;
            if (!QAbstractEventDispatcher::instance()) {
                // No event loop can run in this thread (no QCoreApplication): just wait.
                std::this_thread::sleep_for(std::chrono::milliseconds(qMin<qint64>(left, 5)));
                continue;
            }
            bound.start(int(left));
            d->connectWait = &loop;
            loop.exec(QEventLoop::ExcludeUserInputEvents);
            if (!alive)
                return Wait::Ended;
            if (d->connectWait == &loop)
                d->connectWait = nullptr;
            if (d->generation != attempt)
                return Wait::Ended;
        }
        return Wait::Ready;
    };
    // Nothing once ready; otherwise what Connect returns for the way the wait ended.
    auto waitFor = [&](const auto &ready) -> std::optional<bool> {
        switch (waitUntil(ready)) {
        case Wait::Ready:
            return std::nullopt;
        case Wait::TimedOut:
            return fail(ETIMEDOUT);
        case Wait::Ended:
            break;
        }
        return ended();
    };

    quint16 port = quint16(quint32(Port) & 0xFFFFu);
    if (!Service.isEmpty()) {
        const QByteArray name = toLatin1(Service);
        const servent *entry = name.contains('\0') ? nullptr : ::getservbyname(name.constData(), "tcp");
        if (!entry)
            return fail(EINVAL);
        port = ntohs(quint16(entry->s_port));
    }

    const QByteArray host = toLatin1(Host);
    std::optional<in_addr> address = dottedAddress(host);
    if (!address) {
        if (host.isEmpty() || host.contains('\0'))
            return fail(EINVAL);
        std::shared_ptr<PendingLookup> lookup;
        try {
            lookup = PendingLookup::start(host, &loop);
        } catch (const std::system_error &) {
            return fail(EAGAIN);
        }
        const auto abandon = qScopeGuard([&] { lookup->abandon(); }); // before the loop goes
        if (const auto failed = waitFor([&] { return lookup->finished(); }))
            return *failed;
        address = lookup->address();
        if (!address)
            return fail(EHOSTUNREACH); // no IPv4 address for that name
    }

    const int started = startConnect(fd, *address, port);
    if (started == EINPROGRESS && !connectEnded(fd)) {
        d->writeNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
        QObject::connect(d->writeNotifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        if (const auto failed = waitFor([fd] { return connectEnded(fd); }))
            return *failed;
        dropNotifier(d->writeNotifier);
    }
    const int error = started == EINPROGRESS ? connectOutcome(fd) : started;
    if (error != 0)
        return fail(error);

    const bool async = d->asynchronous;
    if (!async && !setBlocking(fd, true))
        return fail(errno);
    d->adopt(fd, SocketPrivate::Kind::Connection, !async);

    emit Connnect();
    return true; // the connection was made, whatever the handler did with it
}

bool Socket::Listen(qint32 Port)
{
    return Listen(Port, QString());
}

bool Socket::Listen(qint32 Port, const QString &Address)
{
    d->release();
    ++d->operations;
    if (!layerUp())
        return d->fail(-1, ENETDOWN); // the socket layer is shut down
    in_addr address{htonl(INADDR_ANY)};
    if (!Address.isEmpty()) {
        const QByteArray text = toLatin1(Address);
        if (text.contains('\0') || ::inet_pton(AF_INET, text.constData(), &address) != 1)
            return d->fail(0, EINVAL);
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return d->fail(-1, errno);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(quint16(quint32(Port) & 0xFFFFu));
    local.sin_addr = address;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0
        || ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno; // EADDRINUSE for a busy port, for a caller that reports it
        closeDescriptor(fd);
        return d->fail(0, error);
    }
    d->adopt(fd, SocketPrivate::Kind::Listener, false);
    return true;
}

void SocketPrivate::close(int error)
{
    // Called again from inside its own Disconnected handler, with nothing new taken since: the
    // event has been raised already (raising it again would recurse without end).
    if (disconnectingGeneration != 0 && disconnectingGeneration == generation)
        return;

    if (queuedBytes() > 0)
        flush(); // a last try for output the peer has not taken yet
    release();

    const quint64 outer = disconnectingGeneration;
    const quint64 writes = handleWrites;
    disconnectingGeneration = generation;

    QPointer<Socket> alive(q);
    errno = lastError = error;
    emit q->Disconnected();
    if (!alive)
        return;

    disconnectingGeneration = outer;
    // The handle reads 0 now, unless the handler has taken a new descriptor (or failed to).
    if (handleWrites == writes)
        setHandle(0);
}

void Socket::Disconnect()
{
    d->close(0);
}

void Socket::Shutdown()
{
    endRegistration();
}

QString Socket::LocalIP()
{
    return LocalHost();
}

QString Socket::Read()
{
    if (d->kind != SocketPrivate::Kind::Connection || d->fd < 0)
        return QString();

    QByteArray received;
    char buffer[ReadChunk];
    for (;;) {
        const ssize_t n = ::recv(d->fd, buffer, sizeof buffer, 0);
        if (n > 0)
            received.append(buffer, n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break; // closed, would-block or an error: return what we have
    }
    return QString::fromLatin1(received);
}

bool Socket::Send(const QString &Data)
{
    if (d->kind != SocketPrivate::Kind::Connection || d->fd < 0)
        return false;

    // Only a non-blocking connection ever has a queue: flush() writes all of it otherwise.
    if (d->queuedBytes() > MaxQueued)
        return false; // the peer has stopped reading; refuse rather than grow without bound

    QByteArray wire = toLatin1(Data);
    wire.append('\0');
    if (d->queuedBytes() > 0) {
        // Behind earlier output: queue in order.
        if (d->outPos > 0 && d->outPos >= d->outQueue.size() / 2) {
            d->outQueue.remove(0, d->outPos);
            d->outPos = 0;
        }
        d->outQueue.append(wire);
        return true;
    }
    d->outQueue = std::move(wire);
    return d->flush();
}

QString Socket::LocalHost()
{
    if (!layerUp())
        return QString();
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return QString();
    return QString::fromLatin1(name);
}

bool Socket::Asynchronous() const
{
    return d->asynchronous;
}

void Socket::setAsynchronous(bool value)
{
    d->asynchronous = value;
}

qint64 Socket::MaxMessageSize() const
{
    return d->maxMessageSize;
}

void Socket::setMaxMessageSize(qint64 value)
{
    d->maxMessageSize = qMax<qint64>(value, 0);
    if (d->maxMessageSize > 0)
        d->framer.setLimit(qsizetype(d->maxMessageSize), Framer::Overflow::Stop);
    else
        d->framer.setLimit(Framer::DefaultLimit, Framer::Overflow::Skip);
}

int Socket::ConnectTimeout() const
{
    return d->connectTimeoutMs;
}

void Socket::setConnectTimeout(int milliseconds)
{
    d->connectTimeoutMs = milliseconds > 0 ? milliseconds : SocketPrivate::DefaultConnectTimeoutMs;
}

qint64 Socket::PendingOutput() const
{
    return d->queuedBytes();
}

qint32 Socket::SocketHandle() const
{
    return d->handle;
}

quint16 Socket::LocalPort() const
{
    if (d->fd < 0)
        return 0;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(d->fd, reinterpret_cast<sockaddr *>(&local), &length) != 0 || local.sin_family != AF_INET)
        return 0;
    return ntohs(local.sin_port);
}

QString Socket::LocalAddress() const
{
    return dottedAddress(d->fd, d->kind == SocketPrivate::Kind::Connection, ::getsockname);
}

int Socket::LastError() const
{
    return d->lastError;
}

QString Socket::RemoteAddress() const
{
    return dottedAddress(d->fd, d->kind == SocketPrivate::Kind::Connection, ::getpeername);
}

} // namespace varrow
