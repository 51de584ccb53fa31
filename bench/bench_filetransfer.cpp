// File transfer over a private chat's peer link, between two processes over loopback.
//
// This process offers a file of random bytes through FileTransfers on a PeerLink; a child process
// (this program with --receive DIR) listens, accepts every offer into DIR and echoes every
// keystroke message straight back. While the file goes, this process sends a keystroke every
// 10 ms and times its echo (the round trip bounds the one-way time from above). Both processes'
// resident memory is sampled every 50 ms.
//
// Baseline in the same run: a plain TCP copy of the same file over loopback (one thread reads the
// file and sends it in 256 KiB pieces, another receives and writes it to a file).
//
//   bench_filetransfer [--size MiB] [--memory-size MiB]
// --size (default 1024): the file timed against the baseline, with keystrokes;
// --memory-size (default 4096, 0 to skip): a second, larger file for the memory growth only.
#include "benchutil.h"

#include "filetransfers.h"
#include "peerlink.h"
#include "peerprotocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace quillet;
namespace FM = FileMessages;
namespace PP = PeerProtocol;

namespace {

constexpr qint64 MiB = 1024 * 1024;

// The pacing of ChatFileTransfers: file data waits in the link only while less than 64 KiB does.
struct Link : FileLink {
    PeerLink *link;
    explicit Link(PeerLink *l) : link(l) {}
    bool canSend() const override { return link->state() == PeerLink::State::Connected && link->bytesToWrite() < 64 * 1024; }
    void send(const QString &message) override { link->sendBulk(message); }
};

void makeFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    QByteArray block(MiB, Qt::Uninitialized);
    QRandomGenerator rng(7);
    for (qint64 done = 0; done < size; done += block.size()) {
        rng.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        file.write(block.constData(), qMin<qint64>(block.size(), size - done));
    }
}

// --- The receiving child -----------------------------------------------------------------------

int receive(const QString &dir)
{
    PeerLink link;
    Link adapter(&link);
    FileTransfers transfers(&adapter);
    QObject::connect(&link, &PeerLink::written, &transfers, &FileTransfers::drained);
    QObject::connect(&transfers, &FileTransfers::offered, [&](quint32 id, const QString &name) {
        transfers.accept(id, QDir(dir).filePath(name), true);
    });
    QObject::connect(&transfers, &FileTransfers::finished, [&](auto, auto, FileTransfers::Outcome outcome, bool, const QString &path) {
        std::printf("finished %d\n", int(outcome));
        std::fflush(stdout);
        QFile::remove(path);
    });
    QObject::connect(&link, &PeerLink::received, [&](const PP::Message &m) {
        if (m.kind == PP::Kind::Character)
            link.send(PP::keystroke(m.character.unicode())); // the echo
        else if (m.kind == PP::Kind::Extension)
            transfers.handle(m.extension, m.body);
    });
    QObject::connect(&link, &PeerLink::closed, qApp, &QCoreApplication::quit);
    QObject::connect(&link, &PeerLink::failed, qApp, &QCoreApplication::quit);
    if (!link.listen(0))
        return 1;
    std::printf("port %d\n", link.localPort());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// --- The plain copy ------------------------------------------------------------------------------

double plainCopy(const QString &from, const QString &to)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    const auto start = bench::Clock::now();
    std::thread receiver([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        QFile out(to);
        out.open(QIODevice::WriteOnly);
        QByteArray buffer(256 * 1024, Qt::Uninitialized);
        for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;)
            out.write(buffer.constData(), n);
        ::close(fd);
    });
    const int fd = bench::connectLoopback(ntohs(address.sin_port));
    QFile in(from);
    in.open(QIODevice::ReadOnly);
    QByteArray buffer(256 * 1024, Qt::Uninitialized);
    for (qint64 n; (n = in.read(buffer.data(), buffer.size())) > 0;)
        for (qint64 sent = 0; sent < n;)
            sent += std::max<ssize_t>(0, ::send(fd, buffer.constData() + sent, size_t(n - sent), 0));
    ::close(fd);
    receiver.join();
    ::close(listener);
    QFile::remove(to);
    return double(in.size()) / bench::secondsSince(start);
}

// --- One transfer through the peer link ------------------------------------------------------------

struct Result {
    double bytesPerSecond = 0;
    long senderGrowthKiB = 0, receiverGrowthKiB = 0;
    std::vector<double> keystrokeMs;
    bool completed = false;
};

Result transfer(const QString &file, const QString &into, bool keystrokes)
{
    Result result;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {"--receive", into});
    if (!child.waitForStarted() || !child.waitForReadyRead(10000))
        return result;
    const quint16 port = quint16(QString::fromLatin1(child.readLine()).section(u' ', 1).trimmed().toUInt());

    PeerLink link;
    Link adapter(&link);
    FileTransfers transfers(&adapter);
    QObject::connect(&link, &PeerLink::written, &transfers, &FileTransfers::drained);
    QEventLoop loop;
    QObject::connect(&link, &PeerLink::connected, &loop, &QEventLoop::quit);
    link.connectTo(QStringLiteral("127.0.0.1"), port);
    loop.exec();

    bench::Clock::time_point keySent;
    bool keyOut = false;
    QObject::connect(&link, &PeerLink::received, [&](const PP::Message &m) {
        if (m.kind == PP::Kind::Character && keyOut) {
            result.keystrokeMs.push_back(bench::microsBetween(keySent, bench::Clock::now()) / 1000.0);
            keyOut = false;
        } else if (m.kind == PP::Kind::Extension) {
            transfers.handle(m.extension, m.body);
        }
    });
    QTimer keys;
    QObject::connect(&keys, &QTimer::timeout, [&] {
        if (keyOut)
            return; // still on its way: the next one waits
        keySent = bench::Clock::now();
        keyOut = link.send(PP::keystroke('k'));
    });
    const long senderBase = bench::statusKiB(0, "VmRSS");
    const long receiverBase = bench::statusKiB(int(child.processId()), "VmRSS");
    QTimer memory;
    QObject::connect(&memory, &QTimer::timeout, [&] {
        result.senderGrowthKiB = std::max(result.senderGrowthKiB, bench::statusKiB(0, "VmRSS") - senderBase);
        result.receiverGrowthKiB = std::max(result.receiverGrowthKiB,
                                            bench::statusKiB(int(child.processId()), "VmRSS") - receiverBase);
    });
    QObject::connect(&transfers, &FileTransfers::finished, [&](auto, auto, FileTransfers::Outcome outcome) {
        result.completed = outcome == FileTransfers::Outcome::Completed;
        loop.quit();
    });
    memory.start(50);
    if (keystrokes)
        keys.start(10);
    const auto start = bench::Clock::now();
    transfers.offer(file, FM::Kind::File);
    loop.exec();
    result.bytesPerSecond = double(QFileInfo(file).size()) / bench::secondsSince(start);
    link.close();
    child.waitForFinished(10000);
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == u"--receive")
        return receive(args.value(2));
    const auto option = [&](const char *name, qint64 fallback) {
        const qsizetype at = args.indexOf(QString::fromLatin1(name));
        return at > 0 ? args.value(at + 1).toLongLong() : fallback;
    };
    const qint64 size = option("--size", 1024) * MiB;
    const qint64 memorySize = option("--memory-size", 4096) * MiB;

    QTemporaryDir dir(QDir(QCoreApplication::applicationDirPath()).filePath("filetransfer-XXXXXX"));
    QDir(dir.path()).mkdir("in");
    const QString file = dir.filePath("file.bin");
    makeFile(file, size);
    const double plain = plainCopy(file, dir.filePath("plain.bin"));
    const Result timed = transfer(file, dir.filePath("in"), true);
    const double ratio = timed.bytesPerSecond / plain;
    bench::say("file transfer: %lld MiB, %s: %.0f MB/s over the peer link, plain TCP copy %.0f MB/s (%.2f)",
               size / MiB, timed.completed ? "completed" : "FAILED", timed.bytesPerSecond / 1e6, plain / 1e6, ratio);
    bench::row("8 file transfer", bench::format("1 GiB at %.0f MB/s", timed.bytesPerSecond / 1e6),
               bench::format("plain TCP copy %.0f MB/s", plain / 1e6), bench::format("%.2f", ratio),
               ">= 120 MB/s", bench::yesNo(timed.completed && timed.bytesPerSecond >= 120e6));
    const double p50 = bench::percentile(timed.keystrokeMs, 50), p99 = bench::percentile(timed.keystrokeMs, 99);
    bench::say("keystrokes during the transfer: %zu, round trip p50 %.2f ms, p99 %.2f ms", timed.keystrokeMs.size(), p50, p99);
    bench::row("8 file transfer", bench::format("keystroke round trip p99 %.2f ms (p50 %.2f)", p99, p50), "-", "-",
               "p99 <= 10 ms", bench::yesNo(!timed.keystrokeMs.empty() && p99 <= 10));
    QFile::remove(file);

    if (memorySize > 0) {
        makeFile(file, memorySize);
        const Result big = transfer(file, dir.filePath("in"), false);
        const double growthMiB = double(std::max(big.senderGrowthKiB, big.receiverGrowthKiB)) / 1024;
        bench::say("memory during a %lld MiB transfer (%s, %.0f MB/s): sender +%.1f MiB, receiver +%.1f MiB",
                   memorySize / MiB, big.completed ? "completed" : "FAILED", big.bytesPerSecond / 1e6,
                   big.senderGrowthKiB / 1024.0, big.receiverGrowthKiB / 1024.0);
        bench::row("8 file transfer", bench::format("memory +%.1f MiB (%lld MiB file)", growthMiB, memorySize / MiB), "-",
                   "-", "<= 64 MiB", bench::yesNo(big.completed && growthMiB <= 64));
        QFile::remove(file);
    }
    return 0;
}
