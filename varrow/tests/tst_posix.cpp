// The POSIX helpers under Socket: text to bytes, host resolution, and the bounded connect.
#include "posix.h"

#include <QTest>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

using namespace varrow::detail;

namespace {

QString dotted(in_addr a)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return QString::fromLatin1(text);
}

in_addr loopback()
{
    in_addr a{};
    a.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int nonBlockingSocket()
{
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// A listener on 127.0.0.1 with the given backlog that never accepts; its port through *port.
int listener(int backlog, quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = loopback();
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

} // namespace

class TestPosix : public QObject
{
    Q_OBJECT

private slots:
    void latin1_data();
    void latin1();
    void resolvesAddressesAndNames_data();
    void resolvesAddressesAndNames();
    void rejectsUnusableHosts();
    void connectsAndRefuses();
    void unansweredConnectGivesUp();
};

void TestPosix::latin1_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ascii") << QStringLiteral("abc") << QByteArray("abc");
    QTest::newRow("high latin-1") << QStringLiteral("\u00e9\u00ff") << QByteArray("\xe9\xff");
    QTest::newRow("bmp above 255") << QStringLiteral("\u0100\u20ac") << QByteArray("??");
    QTest::newRow("surrogate pair") << QString::fromUtf8("\xF0\x9F\x98\x80!") << QByteArray("?!");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + u'x' << QByteArray("?x");
    QTest::newRow("nul kept") << QString::fromLatin1("a\0b", 3) << QByteArray("a\0b", 3);
}

void TestPosix::latin1()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(toLatin1(text), bytes);
}

void TestPosix::resolvesAddressesAndNames_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("address");
    QTest::newRow("dotted") << QStringLiteral("127.0.0.1") << QStringLiteral("127.0.0.1");
    QTest::newRow("dotted other") << QStringLiteral("10.1.2.3") << QStringLiteral("10.1.2.3");
    QTest::newRow("short numeric form") << QStringLiteral("127.1") << QStringLiteral("127.0.0.1");
    QTest::newRow("localhost") << QStringLiteral("localhost") << QStringLiteral("127.0.0.1");
}

void TestPosix::resolvesAddressesAndNames()
{
    QFETCH(QString, host);
    QFETCH(QString, address);
    const auto resolved = resolveHost(host);
    QVERIFY(resolved);
    QCOMPARE(dotted(*resolved), address);
}

void TestPosix::rejectsUnusableHosts()
{
    QVERIFY(!resolveHost(QString()));
    QVERIFY(!resolveHost(QString::fromLatin1("127.0.0.1\0evil", 14)));
}

void TestPosix::connectsAndRefuses()
{
    quint16 port = 0;
    const int l = listener(4, &port);
    QVERIFY(l >= 0);
    const int ok = nonBlockingSocket();
    QVERIFY(connectWithin(ok, loopback(), port, 5000));
    ::close(ok);
    ::close(l); // nobody listens there now

    const int refused = nonBlockingSocket();
    QVERIFY(!connectWithin(refused, loopback(), port, 5000));
    ::close(refused);
}

void TestPosix::unansweredConnectGivesUp()
{
    // A listener that never accepts, with the smallest backlog: once its queue is full the kernel
    // drops further handshakes, so a connect gets no answer at all. The connect must give up
    // after its limit instead of waiting for the kernel's own time-out (minutes).
    using namespace std::chrono;
    constexpr int limitMs = 200;
    quint16 port = 0;
    const int l = listener(0, &port);
    QVERIFY(l >= 0);

    std::vector<int> clients;
    bool gaveUp = false;
    milliseconds waited{};
    for (int i = 0; i < 8 && !gaveUp; ++i) {
        const int c = nonBlockingSocket();
        clients.push_back(c);
        const auto start = steady_clock::now();
        gaveUp = !connectWithin(c, loopback(), port, limitMs);
        waited = duration_cast<milliseconds>(steady_clock::now() - start);
    }
    for (int c : clients)
        ::close(c);
    ::close(l);
    if (!gaveUp)
        QSKIP("the kernel answered every handshake; no unanswered connect to try");
    QVERIFY2(waited >= milliseconds(limitMs), "gave up before its limit: the attempt was refused, not unanswered");
}

QTEST_APPLESS_MAIN(TestPosix)
#include "tst_posix.moc"
