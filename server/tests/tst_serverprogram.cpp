// The quillet-server program: its log, how it ends on a signal, and the limits per address.
#include "testclient.h"

#include <serverprotocol.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace proto = quillet::ServerProtocol;

namespace {

struct ServerProcess {
    QProcess process;
    quint16 port = 0;
    QString stderrText;

    ~ServerProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    // Starts it on 127.0.0.1 at a port of its own choosing; false unless it says where it listens.
    bool start(const QStringList &extra = {})
    {
        process.start(QStringLiteral(QUILLET_SERVER_PATH),
                      QStringList{u"--listen"_qs, u"127.0.0.1"_qs, u"--port"_qs, u"0"_qs} + extra);
        static const QRegularExpression listening(u"listening on 127\\.0\\.0\\.1:(\\d+)\\n"_qs);
        return QTest::qWaitFor([&] {
            port = quint16(listening.match(log()).captured(1).toUInt());
            return port != 0 || process.state() == QProcess::NotRunning;
        }, 10000) && port != 0;
    }
    QString log() { return stderrText += QString::fromLocal8Bit(process.readAllStandardError()); }
    bool terminate(int signal)
    {
        ::kill(pid_t(process.processId()), signal);
        return process.waitForFinished(10000);
    }
};

} // namespace

class tst_ServerProgram : public QObject
{
    Q_OBJECT

private slots:
    void listensLogsAndEndsOnSignal()
    {
        QTemporaryDir dir;
        QFile users(dir.filePath(u"users"_qs));
        QVERIFY(users.open(QIODevice::WriteOnly));
        users.write("# demo accounts\nalice:wonder land\nbob:pw\nren\xc3\xa9:pw\n"); // UTF-8
        users.close();
        ServerProcess server;
        QVERIFY2(server.start({u"--users"_qs, users.fileName()}), qPrintable(server.log()));
        {
            TestClient alice, refused, flood;
            QVERIFY(alice.join(server.port, u"alice"_qs, u"wonder land"_qs));
            QVERIFY(!refused.join(server.port, u"Ser\x1bver"_qs));
            QVERIFY(flood.connectTo(server.port)); // over 64 KiB without a terminator
            flood.sendRaw(QByteArray(64 * 1024 + 1, 'x'));
            QVERIFY(flood.waitForDisconnected());
            QTRY_VERIFY(server.log().contains(u"): message over 65536 bytes"));
            alice.socket.disconnectFromHost();
            QTRY_VERIFY(server.log().contains(u"logout"));
        }
        TestClient stays;
        QVERIFY(stays.join(server.port, u"ren\u00e9"_qs));
        QVERIFY(server.terminate(SIGINT));
        QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process.exitCode(), 0);
        QVERIFY(stays.waitForDisconnected());

        // One timestamped line per event, in order, each client named with its address, and
        // nothing a client sent reaches the log raw.
        const QStringList lines = server.log().split(u'\n', Qt::SkipEmptyParts);
        static const QRegularExpression stamp(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "_qs);
        QStringList events;
        for (const QString &line : lines) {
            QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
            events << line.mid(24).section(u' ', 0, 1);
        }
        QCOMPARE(events, (QStringList{u"listening on"_qs, u"users from"_qs, u"at most"_qs, u"login alice"_qs, u"refused login"_qs,
                                      u"dropped #3"_qs, u"logout alice"_qs,
                                      u"login ren\u00e9"_qs, u"stopping on"_qs}));
        QVERIFY(lines.last().contains(u"SIGINT"));
        QVERIFY2(lines.at(4).contains(u"refused login #2 (127.0.0.1) \"Ser\\x1bver\""), qPrintable(lines.at(4)));
    }

    // One host cannot lock the others out, and a private chat request can only name its sender's
    // own address: the clients connect to it before anyone answers.
    void limitsPerHost()
    {
        rlimit limit{}; // started with a low soft limit, the server raises it to the hard one
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
        const rlimit low{std::min<rlim_t>(limit.rlim_max, 256), limit.rlim_max};
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
        ServerProcess server;
        const bool started = server.start({u"--max-per-address"_qs, u"2"_qs, u"--login-timeout"_qs, u"1"_qs});
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);
        QVERIFY2(started, qPrintable(server.log()));
        TestClient idle[2], over[2], alice, carol;
        for (TestClient &client : idle)
            QVERIFY(client.connectTo(server.port));
        for (TestClient &client : over) // closed at once, counted in one log line
            QVERIFY(client.connectTo(server.port) && client.waitForDisconnected());
        QVERIFY(carol.socket.bind(QHostAddress(u"127.0.0.2"_qs)));
        QVERIFY(carol.join(server.port, u"carol"_qs));
        QVERIFY(idle[0].isConnected() && idle[1].isConnected());
        for (TestClient &client : idle) // closed when the time-out ends, which frees their places
            QVERIFY(client.waitForDisconnected());
        QVERIFY(alice.join(server.port, u"alice"_qs));
        QTest::qWait(1200); // past the time-out: logged-in clients stay

        alice.send(proto::requestMessage(u"hi"_qs, u"127.0.0.2"_qs, u"5001"_qs, u"carol"_qs));
        alice.send(proto::requestMessage(u"hi"_qs, u"127.0.0.1"_qs, u"5002"_qs, u"carol"_qs));
        QVERIFY(carol.waitUntil([&] { return carol.messages.last().startsWith(u"<rqst>"); }));
        QCOMPARE(carol.messages.filter(u"<rqst>"_qs),
                 QStringList{u"<rqst>hi<addr>127.0.0.1<port>5002<user>alice</rqst>"_qs});
        const auto told =
            alice.takeUntilRoomText(u"Private chat request refused: address 127.0.0.2 is not yours (127.0.0.1)."_qs);
        QVERIFY(told && alice.isConnected() && carol.isConnected());

        for (int i = 0; i < 11; ++i) { // ten refused logins a minute from one address are logged
            TestClient again;
            QVERIFY(again.socket.bind(QHostAddress(u"127.0.0.2"_qs)));
            QVERIFY(!again.join(server.port, u"carol"_qs));
        }
        QVERIFY(server.terminate(SIGTERM)); // and writes what it counted

        const QString log = server.log();
        const QString descriptors = limit.rlim_max == RLIM_INFINITY ? u"no descriptor limit"_qs
                                                                     : QString::number(limit.rlim_max) + u" open descriptors"_qs;
        QVERIFY2(log.contains(u"at most 2 connections per address, 1 s to log in, "_qs + descriptors + u'\n'),
                 qPrintable(log));
        QCOMPARE(log.count(u"(127.0.0.1): no login within 1 s\n"_qs), 2);
        QCOMPARE(log.count(u"refused request from alice (#"_qs), 1);
        QCOMPARE(log.count(u"refused a connection from 127.0.0.1: it has 2 open"_qs), 1);
        QCOMPARE(log.count(u"refused login #"_qs), 10);
        const QString counted = u" in the last \\d+ s, counted, not logged one by one: "_qs;
        for (const QString &line : {u"127.0.0.1"_qs + counted + u"1 connections refused over the limit of 2\n"_qs,
                                    u"127.0.0.2"_qs + counted + u"1 more refused logins and drops before a login\n"_qs})
            QVERIFY2(log.contains(QRegularExpression(u"from "_qs + line)), qPrintable(log));
    }

};

QTEST_GUILESS_MAIN(tst_ServerProgram)
#include "tst_serverprogram.moc"
