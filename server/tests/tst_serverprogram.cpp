// The quillet-server program: its command line, its log and how it ends.
#include "serverprocess.h"
#include "testclient.h"

#include <serverprotocol.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

#include <memory>
#include <vector>

namespace proto = quillet::ServerProtocol;

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run runServer(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(QUILLET_SERVER_PATH), arguments);
    Run run;
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        run.err = u"(still running)"_qs;
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

} // namespace

class tst_ServerProgram : public QObject
{
    Q_OBJECT

private slots:
    void helpDescribesOptions()
    {
        const Run run = runServer({u"--help"_qs});
        QCOMPARE(run.exitCode, 0);
        for (const char *option : {"--listen <ADDR>", "--port <N>", "--users <FILE>", "2727", "127.0.0.1"})
            QVERIFY2(run.out.contains(QLatin1String(option)), option);
    }

    void badArgumentsAreRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("says");
        QTest::newRow("unknown option") << QStringList{u"--bogus"_qs} << u"bogus"_qs;
        QTest::newRow("port not a number") << QStringList{u"--port"_qs, u"abc"_qs} << u"--port"_qs;
        QTest::newRow("port too large") << QStringList{u"--port"_qs, u"65536"_qs} << u"--port"_qs;
        QTest::newRow("port missing") << QStringList{u"--port"_qs} << u"port"_qs;
        QTest::newRow("host name") << QStringList{u"--listen"_qs, u"example.org"_qs} << u"--listen"_qs;
        QTest::newRow("address out of range") << QStringList{u"--listen"_qs, u"1.2.3.256"_qs} << u"--listen"_qs;
        QTest::newRow("stray argument") << QStringList{u"2727"_qs} << u"unexpected argument"_qs;
        QTest::newRow("missing users file") << QStringList{u"--users"_qs, u"/nonexistent/users"_qs}
                                            << u"users file /nonexistent/users"_qs;
    }
    void badArgumentsAreRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, says);
        // A free port first, so that nothing but the bad argument can stop the server.
        const Run run = runServer(QStringList{u"--port"_qs, u"0"_qs} + arguments);
        QVERIFY(run.exitCode > 0);
        QVERIFY2(run.err.contains(says), qPrintable(run.err));
        QVERIFY2(!run.err.contains(u"listening on"), qPrintable(run.err));
    }

    void takenPortIsReported()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        const QString port = QString::number(holder.serverPort());
        const Run run = runServer({u"--listen"_qs, u"127.0.0.1"_qs, u"--port"_qs, port});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(u"cannot listen on 127.0.0.1:"_qs + port + u": Address already in use"_qs),
                 qPrintable(run.err));
    }

    void listensOnTheGivenAddressOnly()
    {
        ServerProcess server; // --listen 127.0.0.1
        QVERIFY2(server.start(), qPrintable(server.log()));
        // Listening sockets (state 0A) in the kernel's table, by local address:port in hex.
        QFile table(u"/proc/net/tcp"_qs);
        QVERIFY(table.open(QIODevice::ReadOnly));
        const QString port = QString::number(server.port, 16).rightJustified(4, u'0').toUpper();
        QStringList listening;
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QStringList fields = QString::fromLatin1(line).simplified().split(u' ');
            if (fields.size() > 3 && fields.at(1).section(u':', 1) == port && fields.at(3) == u"0A")
                listening << fields.at(1);
        }
        QCOMPARE(listening, QStringList{u"0100007F:"_qs + port}); // 127.0.0.1, not 0.0.0.0
    }

    void logsEventsAndEndsOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void logsEventsAndEndsOnSignal()
    {
        QFETCH(int, signal);
        ServerProcess server;
        QVERIFY2(server.start(), qPrintable(server.log()));
        {
            TestClient alice;
            QVERIFY(alice.join(server.port, u"alice"_qs));
            TestClient refused;
            QVERIFY(refused.connectTo(server.port));
            refused.send(u"Server///x"_qs);
            QVERIFY(refused.waitForDisconnected());
            TestClient flood; // over 64 KiB without a terminator
            QVERIFY(flood.connectTo(server.port));
            flood.sendRaw(QByteArray(64 * 1024 + 1, 'x'));
            QVERIFY(flood.waitForDisconnected());
            QTRY_VERIFY(server.log().contains(u"dropped"));
            alice.socket.disconnectFromHost();
            QTRY_VERIFY(server.log().contains(u"logout"));
        }
        TestClient stays;
        QVERIFY(stays.join(server.port, u"bob"_qs));

        QVERIFY(server.terminate(signal));
        QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process.exitCode(), 0);
        QVERIFY(stays.waitForDisconnected());

        // One timestamped line per event, in order.
        const QStringList lines = server.log().split(u'\n', Qt::SkipEmptyParts);
        static const QRegularExpression stamp(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "_qs);
        QStringList events;
        for (const QString &line : lines) {
            QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
            events << line.mid(24).section(u' ', 0, 1);
        }
        const QString name = signal == SIGTERM ? u"SIGTERM"_qs : u"SIGINT"_qs;
        QCOMPARE(events, (QStringList{u"listening on"_qs, u"no users"_qs, u"login alice"_qs,
                                      u"refused login"_qs, u"dropped #3"_qs, u"logout alice"_qs,
                                      u"login bob"_qs, u"stopping on"_qs}));
        QVERIFY(lines.last().contains(name));
        // Each client is named with its address.
        QVERIFY2(lines.at(2).endsWith(u"login alice (#1, 127.0.0.1), 1 online"), qPrintable(lines.at(2)));
        QVERIFY2(lines.at(3).contains(u"refused login #2 (127.0.0.1) \"Server\""), qPrintable(lines.at(3)));
        QVERIFY2(lines.at(4).endsWith(u"dropped #3 (127.0.0.1): message over 65536 bytes"), qPrintable(lines.at(4)));
        QVERIFY2(lines.at(5).endsWith(u"logout alice (#1, 127.0.0.1): connection closed, 0 online"),
                 qPrintable(lines.at(5)));
    }

    void outOfDescriptorsTurnsConnectionsAway()
    {
        ServerProcess server;
        server.process.setChildProcessModifier([] {
            const rlimit few{40, 40};
            ::setrlimit(RLIMIT_NOFILE, &few);
        });
        QVERIFY2(server.start(), qPrintable(server.log()));

        // Join until the server has no descriptor left for one more.
        std::vector<std::unique_ptr<TestClient>> joined;
        std::unique_ptr<TestClient> turnedAway;
        while (!turnedAway && joined.size() < 40) {
            auto client = std::make_unique<TestClient>();
            QVERIFY(client->connectTo(server.port));
            client->send(proto::loginMessage(QStringLiteral("user%1").arg(joined.size()), u"pw"_qs));
            QVERIFY(client->waitUntil([&] { return !client->messages.isEmpty() || !client->isConnected(); }));
            if (client->isConnected())
                joined.push_back(std::move(client));
            else
                turnedAway = std::move(client);
        }
        QVERIFY(turnedAway);
        QCOMPARE(turnedAway->messages, QStringList());
        QVERIFY(joined.size() > 10);
        QTRY_VERIFY(server.log().contains(u"out of file descriptors: turning new connections away"));

        // The server still serves those it holds, and takes a new client once one has left.
        joined.front()->socket.disconnectFromHost();
        QVERIFY(joined.back()->waitUntil([&] {
            return joined.back()->messages.contains(u"<rem usr>user0,</rem usr>"_qs);
        }));
        TestClient late;
        QVERIFY(late.join(server.port, u"late"_qs));
        QTRY_VERIFY(server.log().contains(u"accepting connections again, 1 turned away"));
    }

    void usersFileIsEnforced()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath(u"users"_qs));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("# demo accounts\nalice:wonder land\n");
        file.close();

        ServerProcess server;
        QVERIFY2(server.start({u"--users"_qs, file.fileName()}), qPrintable(server.log()));
        TestClient wrong;
        QVERIFY(wrong.connectTo(server.port));
        wrong.send(proto::loginMessage(u"alice"_qs, u"wonderland"_qs));
        QVERIFY(wrong.waitForDisconnected());
        QCOMPARE(wrong.messages, QStringList{u"login fail"_qs});
        TestClient right;
        QVERIFY(right.join(server.port, u"alice"_qs, u"wonder land"_qs));
        QTRY_VERIFY(server.log().contains(u"refused login #1 (127.0.0.1) \"alice\": wrong password"));
    }
};

QTEST_GUILESS_MAIN(tst_ServerProgram)
#include "tst_serverprogram.moc"
