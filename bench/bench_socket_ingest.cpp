// Socket ingest: how fast a varrow::Socket takes in a stream of small messages.
//
// A sender thread writes 200,000 messages of 64 characters, each followed by its 0 byte, into a
// loopback connection as fast as the kernel takes them. The receiver is a varrow::Socket on the
// Qt event loop that counts DataArrival events and checks each message (length and sequence
// number). Two baselines take the same bytes in the same run: what a Qt developer would write
// instead (a QTcpSocket whose readyRead handler reads what is there, splits at each 0 byte and
// emits one signal with a QString per message), and the limit, a bare blocking recv loop that
// splits at the 0 bytes and makes the same check in place. Rounds alternate between the three;
// the medians are reported. Receive calls are counted by wrapping the C library's receive functions for the one
// descriptor under test.
#include "benchutil.h"

#include <varrow/Socket.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

// --- Counting receive calls -------------------------------------------------------------------
// These definitions in the executable take the place of the C library's for every caller in the
// process (libvarrow.so included); each forwards to the real function. Only calls on the descriptor
// under test are counted, whichever receive function the library happens to use.

namespace {
std::atomic<int> countedFd{-1};
std::atomic<long> receiveCalls{0};

template<class F>
F realFunction(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void noteCall(int fd)
{
    if (fd >= 0 && fd == countedFd.load(std::memory_order_relaxed))
        receiveCalls.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" ssize_t recv(int fd, void *buffer, size_t length, int flags)
{
    static const auto real = realFunction<ssize_t (*)(int, void *, size_t, int)>("recv");
    noteCall(fd);
    return real(fd, buffer, length, flags);
}

extern "C" ssize_t recvfrom(int fd, void *buffer, size_t length, int flags, sockaddr *from, socklen_t *fromLength)
{
    static const auto real =
        realFunction<ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *)>("recvfrom");
    noteCall(fd);
    return real(fd, buffer, length, flags, from, fromLength);
}

extern "C" ssize_t recvmsg(int fd, msghdr *message, int flags)
{
    static const auto real = realFunction<ssize_t (*)(int, msghdr *, int)>("recvmsg");
    noteCall(fd);
    return real(fd, message, flags);
}

extern "C" ssize_t read(int fd, void *buffer, size_t length)
{
    static const auto real = realFunction<ssize_t (*)(int, void *, size_t)>("read");
    noteCall(fd);
    return real(fd, buffer, length);
}

extern "C" ssize_t readv(int fd, const iovec *vectors, int count)
{
    static const auto real = realFunction<ssize_t (*)(int, const iovec *, int)>("readv");
    noteCall(fd);
    return real(fd, vectors, count);
}

namespace {

constexpr int Messages = 200'000;
constexpr int TextLength = 64; // characters of each message, without its 0 byte
constexpr int Rounds = 5;

// 8 decimal digits of the sequence number, then letters up to TextLength, then the 0 byte.
std::string buildStream()
{
    std::string stream;
    stream.reserve(size_t(Messages) * (TextLength + 1));
    char head[16];
    for (int i = 0; i < Messages; ++i) {
        std::snprintf(head, sizeof head, "%08d", i);
        stream.append(head, 8);
        for (int k = 8; k < TextLength; ++k)
            stream.push_back(char('a' + (i + k) % 26));
        stream.push_back('\0');
    }
    return stream;
}

template<class CharAt>
int sequenceOf(CharAt at)
{
    int value = 0;
    for (int k = 0; k < 8; ++k) {
        const int digit = at(k) - '0';
        if (digit < 0 || digit > 9)
            return -1;
        value = value * 10 + digit;
    }
    return value;
}

// A loopback listener whose one connection is fed the whole stream by a thread, as fast as the
// kernel takes it, then closed.
class Sender
{
public:
    explicit Sender(const std::string &stream)
    {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listenFd_, reinterpret_cast<sockaddr *>(&address), length) != 0
            || ::listen(listenFd_, 1) != 0
            || ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            std::perror("sender: listen");
            std::exit(1);
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, &stream] {
            const int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0)
                return;
            size_t sent = 0;
            while (sent < stream.size()) {
                const size_t chunk = std::min<size_t>(64 * 1024, stream.size() - sent);
                const ssize_t n = ::send(fd, stream.data() + sent, chunk, MSG_NOSIGNAL);
                if (n > 0)
                    sent += size_t(n);
                else if (n < 0 && errno == EINTR)
                    continue;
                else
                    break;
            }
            ::close(fd);
        });
    }
    ~Sender()
    {
        thread_.join();
        ::close(listenFd_);
    }
    quint16 port() const { return port_; }

private:
    int listenFd_ = -1;
    quint16 port_ = 0;
    std::thread thread_;
};

struct Result
{
    double seconds = 0;
    int delivered = 0;
    int faults = 0; // wrong length or sequence number
    long receiveCalls = 0;
};

// One timed run of a reader on the Qt event loop: take() checks and counts every message and
// leaves the loop at the last one; the time runs from start() (just before connecting) to the last
// message, or to the end of the loop when the connection ended first.
struct LoopRun
{
    Result result;
    QEventLoop loop;
    bench::Clock::time_point begun{}, end{};

    void start()
    {
        receiveCalls = 0;
        begun = bench::Clock::now();
    }
    void take(const QString &message)
    {
        if (message.size() != TextLength
            || sequenceOf([&](int k) { return int(message.at(k).unicode()); }) != result.delivered)
            ++result.faults;
        if (++result.delivered == Messages) {
            end = bench::Clock::now();
            loop.quit();
        }
    }
    Result finish()
    {
        if (result.delivered < Messages)
            end = bench::Clock::now();
        countedFd = -1;
        result.receiveCalls = receiveCalls;
        result.seconds = std::chrono::duration<double>(end - begun).count();
        return result;
    }
};

Result viaVarrow(const std::string &stream)
{
    Sender sender(stream);
    LoopRun run;
    varrow::Socket socket;
    QObject::connect(&socket, &varrow::Socket::DataArrival, &run.loop, [&](const QString &m) { run.take(m); });
    QObject::connect(&socket, &varrow::Socket::Disconnected, &run.loop, &QEventLoop::quit);

    run.start();
    if (!socket.Connect(QStringLiteral("127.0.0.1"), QString(), sender.port())) {
        bench::say("varrow: Connect failed");
        return run.result;
    }
    countedFd = socket.SocketHandle();
    run.loop.exec();
    const Result result = run.finish();
    socket.Disconnect();
    return result;
}

// The reader a Qt developer would write: read what is there, split at each 0 byte, one signal
// with a QString per message.
class QtReader : public QObject
{
    Q_OBJECT
public:
    explicit QtReader(QTcpSocket *socket) : m_socket(socket)
    {
        connect(socket, &QTcpSocket::readyRead, this, &QtReader::readAvailable);
    }

signals:
    void messageArrived(QString text);

private:
    void readAvailable()
    {
        m_pending += m_socket->readAll();
        qsizetype from = 0;
        for (;;) {
            const qsizetype zero = m_pending.indexOf('\0', from);
            if (zero < 0)
                break;
            emit messageArrived(QString::fromLatin1(m_pending.constData() + from, zero - from));
            from = zero + 1;
        }
        m_pending.remove(0, from);
    }

    QTcpSocket *m_socket;
    QByteArray m_pending;
};

Result viaQTcpSocket(const std::string &stream)
{
    Sender sender(stream);
    LoopRun run;
    QTcpSocket socket;
    QtReader reader(&socket);
    QObject::connect(&reader, &QtReader::messageArrived, &run.loop, [&](const QString &m) { run.take(m); });
    QObject::connect(&socket, &QTcpSocket::disconnected, &run.loop, &QEventLoop::quit);

    run.start();
    socket.connectToHost(QStringLiteral("127.0.0.1"), sender.port());
    if (!socket.waitForConnected(10'000)) {
        bench::say("QTcpSocket: connect failed");
        return run.result;
    }
    countedFd = int(socket.socketDescriptor());
    if (run.result.delivered < Messages)
        run.loop.exec();
    const Result result = run.finish();
    socket.abort();
    return result;
}

Result viaRecvLoop(const std::string &stream)
{
    Sender sender(stream);
    Result result;
    receiveCalls = 0;
    const auto start = bench::Clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(sender.port());
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::perror("baseline: connect");
        std::exit(1);
    }
    countedFd = fd;
    std::vector<char> buffer(64 * 1024);
    size_t held = 0; // an unterminated tail at the start of the buffer
    while (result.delivered < Messages) {
        const ssize_t n = ::recv(fd, buffer.data() + held, buffer.size() - held, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const char *data = buffer.data();
        const char *end = data + held + size_t(n);
        while (data < end) {
            const auto *zero = static_cast<const char *>(std::memchr(data, 0, size_t(end - data)));
            if (!zero)
                break;
            if (zero - data != TextLength || sequenceOf([&](int k) { return int(data[k]); }) != result.delivered)
                ++result.faults;
            ++result.delivered;
            data = zero + 1;
        }
        held = size_t(end - data);
        std::memmove(buffer.data(), data, held);
    }
    result.seconds = bench::secondsSince(start);
    countedFd = -1;
    result.receiveCalls = receiveCalls;
    ::close(fd);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // --only-varrow: one round of the Socket alone, for a profiler (valgrind --tool=callgrind).
    if (app.arguments().contains(QStringLiteral("--only-varrow"))) {
        const Result r = viaVarrow(buildStream());
        bench::say("varrow: %d delivered in %.3f s, %ld receive calls", r.delivered, r.seconds, r.receiveCalls);
        return 0;
    }
    if (app.arguments().contains(QStringLiteral("--only-qtcpsocket"))) {
        const Result r = viaQTcpSocket(buildStream());
        bench::say("QTcpSocket: %d delivered in %.3f s, %ld receive calls", r.delivered, r.seconds, r.receiveCalls);
        return 0;
    }
    const std::string stream = buildStream();
    bench::say("socket ingest: %d messages of %d characters + 0 byte (%.1f MB), %d rounds each, alternating",
               Messages, TextLength, double(stream.size()) / 1e6, Rounds);

    std::vector<double> varrowRates, qtRates, baselineRates, qtRatios, callsPerMessage;
    int worstLoss = 0, faults = 0;
    for (int round = 0; round < Rounds; ++round) {
        // The order turns each round, so that neither reader always follows the other.
        Result v, q;
        if (round % 2 == 0) {
            v = viaVarrow(stream);
            q = viaQTcpSocket(stream);
        } else {
            q = viaQTcpSocket(stream);
            v = viaVarrow(stream);
        }
        const Result b = viaRecvLoop(stream);
        varrowRates.push_back(v.delivered / v.seconds);
        qtRates.push_back(q.delivered / q.seconds);
        baselineRates.push_back(b.delivered / b.seconds);
        qtRatios.push_back(varrowRates.back() / qtRates.back());
        callsPerMessage.push_back(double(v.receiveCalls) / Messages);
        worstLoss = std::max(worstLoss, Messages - v.delivered);
        faults += v.faults + q.faults + b.faults + (Messages - q.delivered) + (Messages - b.delivered);
        bench::say("  round %d: varrow %s msg/s (%d delivered, %ld receive calls) | QTcpSocket %s msg/s (%d, %ld calls)"
                   " | recv loop %s msg/s (%d, %ld calls)",
                   round + 1, bench::grouped(varrowRates.back()).c_str(), v.delivered, v.receiveCalls,
                   bench::grouped(qtRates.back()).c_str(), q.delivered, q.receiveCalls,
                   bench::grouped(baselineRates.back()).c_str(), b.delivered, b.receiveCalls);
    }

    const double rate = bench::median(varrowRates);
    const double qtRate = bench::median(qtRates);
    const double qtRatio = bench::median(qtRatios); // of the same round's pair
    const double baseline = bench::median(baselineRates);
    const double ratio = rate / baseline;
    const double calls = bench::median(callsPerMessage);
    bench::say("varrow::Socket: %s messages/s (median); QTcpSocket reader: %s messages/s, ratio %.2f (median of"
               " the rounds' ratios); recv loop: %s messages/s, ratio %.2f",
               bench::grouped(rate).c_str(), bench::grouped(qtRate).c_str(), qtRatio,
               bench::grouped(baseline).c_str(), ratio);
    bench::say("receive calls per message: %.4f; messages lost in the worst round: %d; faults: %d",
               calls, worstLoss, faults);
    if (faults)
        bench::say("  (faults count wrong lengths or sequence numbers, and baseline losses)");

    bench::row("1 socket ingest", "messages/s " + bench::grouped(rate), "QTcpSocket " + bench::grouped(qtRate),
               bench::format("%.2f", qtRatio), ">= 1.2", bench::yesNo(qtRatio >= 1.2));
    bench::row("1 socket ingest", "messages/s " + bench::grouped(rate), "recv loop " + bench::grouped(baseline),
               bench::format("%.2f", ratio), "(limit)", "-");
    bench::row("1 socket ingest", bench::format("receive calls/message %.4f", calls), "-", "-", "<= 0.1",
               bench::yesNo(calls <= 0.1));
    bench::row("1 socket ingest", bench::format("messages lost %d", worstLoss), "-", "-", "0",
               bench::yesNo(worstLoss == 0 && faults == 0));
    return 0;
}

#include "bench_socket_ingest.moc"
