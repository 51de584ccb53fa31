// Many clients at once on the real quillet-server program: every room line reaches every client
// exactly once, in the order its sender sent them. Prints what it saw; never judges the speed.
#include "serverprocess.h"
#include "testclient.h"

#include <serverprotocol.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <QFile>

#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace proto = quillet::ServerProtocol;

namespace {

constexpr int Clients = 300;
constexpr int LinesPerClient = 5;
constexpr int JoinBatch = 25;

// What one client has seen of everybody's lines.
struct Tally {
    std::vector<int> next = std::vector<int>(Clients, 0); // per sender, the next line expected
    int received = 0;
    int faults = 0;
    QString firstFault;
};

} // namespace

// CPU seconds (user and system) a process has used so far, from /proc; -1 when unknown.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which is in parentheses and may hold blanks.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// Counts clients that have got all they wait for; the event loop runs freely while it waits.
class Finish : public QObject
{
    Q_OBJECT

public:
    void reached()
    {
        ++count;
        emit advanced();
    }
    bool waitFor(int target, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (count < target) {
            if (deadline.hasExpired())
                return false;
            QSignalSpy spy(this, &Finish::advanced);
            spy.wait(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        return true;
    }
    int count = 0;

signals:
    void advanced();
};

class tst_ServerLoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Each client here is one descriptor in this process.
        rlimit limit{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
        const rlim_t wanted = Clients + 100;
        if (limit.rlim_cur < wanted) {
            if (limit.rlim_max < wanted)
                QSKIP("the descriptor limit is too low for this many clients");
            limit.rlim_cur = wanted;
            QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);
        }
    }

    void everyLineReachesEveryClientOnce()
    {
        ServerProcess server;
        QVERIFY2(server.start(), qPrintable(server.log()));

        std::vector<std::unique_ptr<TestClient>> clients;
        std::vector<Tally> tallies(Clients);
        for (int first = 0; first < Clients; first += JoinBatch) {
            for (int i = first; i < qMin(first + JoinBatch, Clients); ++i) {
                auto client = std::make_unique<TestClient>();
                client->name = QStringLiteral("load%1").arg(i);
                client->connectTo(server.port);
                client->send(proto::loginMessage(client->name, u"pw"_qs));
                clients.push_back(std::move(client));
            }
            for (int i = first; i < qMin(first + JoinBatch, Clients); ++i) {
                QVERIFY2(clients[i]->waitForCount(1), qPrintable(clients[i]->name));
                QCOMPARE(clients[i]->messages.first(), u"login successful");
            }
        }
        // Everyone has heard of the last one before the talking starts.
        const QString lastJoined = QStringLiteral("<add usr>load%1,</add usr>").arg(Clients - 1);
        for (int i = 0; i < Clients - 1; ++i) {
            TestClient *client = clients[i].get();
            QVERIFY(client->waitUntil([&] { return client->messages.contains(lastJoined); }, 30000));
        }

        const int expected = Clients * LinesPerClient;
        Finish finish;
        for (int i = 0; i < Clients; ++i) {
            TestClient *client = clients[i].get();
            client->keepMessages = false;
            client->messages.clear();
            Tally *tally = &tallies[i];
            connect(client, &TestClient::messageArrived, client, [tally, &finish, expected](const QString &message) {
                const auto room = proto::cutRoomMessage(message);
                if (proto::classify(message) != proto::Kind::Room || !room)
                    return;
                ++tally->received;
                const int sender = room->name.mid(4).toInt();
                const QStringList parts = room->text.split(u' ');
                const bool ok = room->name.startsWith(u"load") && sender >= 0 && sender < Clients
                             && parts.size() == 2 && parts.at(0) == room->name
                             && parts.at(1).toInt() == tally->next[sender];
                if (ok) {
                    ++tally->next[sender];
                } else if (tally->faults++ == 0) {
                    tally->firstFault = message;
                }
                if (tally->received == expected || tally->received == expected + 1)
                    finish.reached();
            });
        }

        const double serverCpuBefore = cpuSeconds(server.process.processId());
        QElapsedTimer timer;
        timer.start();
        for (int line = 0; line < LinesPerClient; ++line)
            for (auto &client : clients)
                client->send(proto::roomMessage(QStringLiteral("%1 %2").arg(client->name).arg(line),
                                                u"N"_qs, client->name));
        QVERIFY2(finish.waitFor(Clients, 120000),
                 qPrintable(QStringLiteral("%1 of %2 clients got every line").arg(finish.count).arg(Clients)));
        const qint64 elapsedMs = qMax<qint64>(timer.elapsed(), 1);
        const double serverCpu = cpuSeconds(server.process.processId()) - serverCpuBefore;

        for (int i = 0; i < Clients; ++i) {
            const Tally &tally = tallies[i];
            QVERIFY2(tally.faults == 0, qPrintable(clients[i]->name + u": "_qs + tally.firstFault));
            QCOMPARE(tally.received, expected);
            for (int sender = 0; sender < Clients; ++sender)
                QCOMPARE(tally.next[sender], LinesPerClient);
        }
        // Nothing more is on its way: a last line from the first client is the next thing all see.
        clients.front()->send(proto::roomMessage(u"load0 5"_qs, u"N"_qs, u"load0"_qs));
        QVERIFY(finish.waitFor(2 * Clients, 30000));
        for (const Tally &tally : tallies) {
            QCOMPARE(tally.received, expected + 1);
            QCOMPARE(tally.faults, 0);
        }

        const double seconds = elapsedMs / 1000.0;
        qInfo("%d clients online; %d room lines relayed to each of them (%lld deliveries) in %.2f s:"
              " %.0f lines/s, %.0f deliveries/s",
              Clients, expected, qint64(expected) * Clients, seconds, expected / seconds,
              double(expected) * Clients / seconds);
        qInfo("the server used %.2f s of CPU for that; the %d test clients run in one thread of the test", serverCpu, Clients);

        QVERIFY(server.terminate());
        QCOMPARE(server.process.exitCode(), 0);
        qInfo("%s", qPrintable(server.log().section(u'\n', -2, -2)));
    }
};

QTEST_GUILESS_MAIN(tst_ServerLoad)
#include "tst_serverload.moc"
