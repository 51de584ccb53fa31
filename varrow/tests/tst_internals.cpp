// The parts under Socket on their own: the receive framing and the connect with a bounded wait.
#include "framer.h"
#include "posix.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

using namespace Qt::StringLiterals;
using varrow::detail::Framer;
using Chunks = QList<QByteArray>;

namespace {

Chunks takeAll(Framer &f)
{
    Chunks out;
    while (f.hasMessage())
        out << f.takeMessage();
    return out;
}

} // namespace

class TestInternals : public QObject
{
    Q_OBJECT

private slots:
    void randomChunkingKeepsSequence()
    {
        // Random messages (bytes 1..255, empty ones among them), some over the limit, cut into
        // random chunks from 1 byte up: what comes out is every message within the limit (the
        // limit itself included), in order, while the tail held never exceeds the limit.
        QRandomGenerator rng(20240611);
        const qsizetype limit = 300;
        Framer f(limit);
        QByteArray stream;
        Chunks expected;
        for (int i = 0; i < 3000; ++i) {
            QByteArray m(rng.bounded(8) == 0 ? limit + rng.bounded(-1, 2) : rng.bounded(400), Qt::Uninitialized);
            for (char &c : m)
                c = char(1 + rng.bounded(255));
            stream += m + '\0';
            if (m.size() <= limit)
                expected << m;
        }
        Chunks got;
        for (qsizetype at = 0; at < stream.size();) {
            const qsizetype n = std::min<qsizetype>(1 + rng.bounded(rng.bounded(2) ? 8 : 700), stream.size() - at);
            f.feed(QByteArrayView(stream).sliced(at, n));
            QVERIFY(f.pendingSize() <= limit);
            at += n;
            got += takeAll(f);
        }
        QCOMPARE(got, expected);
        QCOMPARE(f.pendingSize(), 0);
        QVERIFY(got.contains(QByteArray()));
    }

    void clearStartsAfresh()
    {
        // After an overflow in Stop mode (the messages before it stay, nothing after it comes)
        // and while skipping in Skip mode, clear() starts a new stream with the same limit.
        Framer stopped(8, Framer::Overflow::Stop);
        stopped.feed("ok\0"_ba + QByteArray(9, 'y') + "\0late\0"_ba);
        QVERIFY(stopped.hasOverflowed());
        QCOMPARE(takeAll(stopped), Chunks{"ok"});
        Framer skipping(8);
        skipping.feed(QByteArray(20, 'z'));
        for (Framer *f : {&stopped, &skipping}) {
            f->clear();
            f->feed(QByteArray(8, 'n') + '\0');
            QCOMPARE(takeAll(*f), Chunks{QByteArray(8, 'n')});
        }
    }

    void unansweredConnectGivesUp()
    {
        // A listener that never accepts, with the smallest backlog: once its queue is full the
        // kernel drops further handshakes, so a connect gets no answer at all. The connect must
        // give up after its limit instead of waiting for the kernel's own time-out (minutes).
        const int l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        QVERIFY(::bind(l, reinterpret_cast<sockaddr *>(&a), len) == 0 && ::listen(l, 0) == 0);
        ::getsockname(l, reinterpret_cast<sockaddr *>(&a), &len);
        std::vector<int> clients{l};
        QElapsedTimer waited;
        bool gaveUp = false;
        while (!gaveUp && clients.size() <= 8) {
            clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            waited.start();
            gaveUp = !varrow::detail::connectWithin(clients.back(), a.sin_addr, ntohs(a.sin_port), 200);
        }
        const qint64 elapsed = waited.elapsed();
        const int reason = errno;
        for (int fd : clients)
            ::close(fd);
        if (!gaveUp)
            QSKIP("the kernel answered every handshake; no unanswered connect to try");
        QVERIFY2(elapsed >= 200, "gave up before its limit: it was refused, not unanswered");
        QCOMPARE(reason, ETIMEDOUT);
    }
};

QTEST_APPLESS_MAIN(TestInternals)
#include "tst_internals.moc"
