// The chat server end to end over loopback: ChatServer in this process, clients on real sockets.
#include "chatprotocol.h"
#include "chatserver.h"
#include "testclient.h"

#include <serverprotocol.h>

#include <QLoggingCategory>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

using quillet::server::ChatServer;
namespace proto = quillet::ServerProtocol;

class tst_ChatServer : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ChatServer> server;
    std::vector<std::unique_ptr<TestClient>> clients;
    int syncCount = 0;

    TestClient *join(const QString &name)
    {
        clients.push_back(std::make_unique<TestClient>());
        TestClient *client = clients.back().get();
        if (!client->join(server->port(), name))
            return nullptr;
        return client;
    }

    // Every client in `room`, fully joined and with its welcome and later joins consumed.
    QList<TestClient *> room(const QStringList &names)
    {
        QList<TestClient *> joined;
        for (const QString &name : names) {
            TestClient *client = join(name);
            if (!client)
                qFatal("%s could not join", qPrintable(name));
            joined << client;
        }
        syncFrom(joined.first(), joined);
        return joined;
    }

    // `from` sends a marker line; returns, per client, what it received before the marker.
    // The server handles one connection's messages in order, so anything `from` caused earlier
    // has reached everyone by then.
    QList<QStringList> syncFrom(TestClient *from, const QList<TestClient *> &all)
    {
        const QString marker = QStringLiteral("sync %1").arg(++syncCount);
        from->send(proto::roomMessage(marker, QStringLiteral("N"), from->name));
        QList<QStringList> before;
        for (TestClient *client : all) {
            const auto got = client->takeUntilRoomText(marker);
            if (!got)
                qWarning("%s did not get %s", qPrintable(client->name), qPrintable(marker));
            before << got.value_or(QStringList{QStringLiteral("<no sync>")});
        }
        return before;
    }

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("quillet.server.info=false"));
    }

    void init()
    {
        syncCount = 0;
        server = std::make_unique<ChatServer>();
        QVERIFY2(server->listen(QStringLiteral("127.0.0.1"), 0), qPrintable(server->errorString()));
        QVERIFY(server->port() != 0);
    }

    void cleanup()
    {
        clients.clear();
        server.reset();
    }

    void loginAnnouncesUsers()
    {
        TestClient *alice = join(QStringLiteral("alice"));
        QVERIFY(alice);
        QCOMPARE(alice->messages.size(), 3);
        QCOMPARE(alice->messages.at(0), u"login successful");
        QCOMPARE(alice->messages.at(1), u"<add usr>alice,</add usr>");
        const auto greeting = proto::cutRoomMessage(alice->messages.at(2));
        QVERIFY(greeting && greeting->serverNotice);
        QCOMPARE(greeting->name, u"Server");
        QCOMPARE(greeting->style, u"I");
        alice->messages.clear();

        TestClient *bob = join(QStringLiteral("bob"));
        QVERIFY(bob);
        QCOMPARE(bob->messages.at(0), u"login successful");
        QCOMPARE(bob->messages.at(1), u"<add usr>alice,bob,</add usr>");
        QTRY_COMPARE(alice->messages, QStringList{u"<add usr>bob,</add usr>"_qs});
        QCOMPARE(server->onlineUsers(), (QStringList{u"alice"_qs, u"bob"_qs}));
    }

    void onlineListComesFourNamesPerMessage()
    {
        QStringList names;
        for (int i = 1; i <= 9; ++i)
            names << QStringLiteral("user%1").arg(i);
        const QList<TestClient *> all = room(names);
        // The last one to join got the whole list; clients read at most four names a message.
        QStringList listed;
        int additions = 0;
        TestClient *last = join(QStringLiteral("user10"));
        QVERIFY(last);
        for (const QString &message : std::as_const(last->messages)) {
            if (proto::classify(message) != proto::Kind::UserAdded)
                continue;
            const auto cut = proto::cutUserList(message);
            QVERIFY(cut);
            QVERIFY(cut->size() <= 4);
            listed += *cut;
            ++additions;
        }
        QCOMPARE(additions, 3);
        QCOMPARE(listed, names + QStringList{u"user10"_qs});
        for (TestClient *client : all)
            QTRY_COMPARE(client->messages, QStringList{u"<add usr>user10,</add usr>"_qs});
    }

    void leavingUserIsRemoved_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("orderly close") << 0;
        QTest::newRow("reset") << 1;
        QTest::newRow("reset with half a message sent") << 2;
    }
    void leavingUserIsRemoved()
    {
        QFETCH(int, how);
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs, u"carol"_qs});
        TestClient *bob = all.at(1);
        if (how == 2)
            bob->sendRaw("<message>never fin");
        if (how == 0)
            bob->socket.disconnectFromHost();
        else
            bob->reset();

        for (TestClient *other : {all.at(0), all.at(2)})
            QTRY_COMPARE(other->messages, QStringList{u"<rem usr>bob,</rem usr>"_qs});
        QCOMPARE(server->onlineUsers(), (QStringList{u"alice"_qs, u"carol"_qs}));
        QTRY_COMPARE(server->connectionCount(), 2);
        // The name is free again.
        QVERIFY(join(QStringLiteral("bob")));
    }

    void roomMessageReachesEveryoneOnce()
    {
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs, u"carol"_qs});
        // Texts that look odd but are harmless to every client are relayed unchanged.
        const QString text = QStringLiteral("I <3 it: a<b, x > y, <style>, </user></message> & r>");
        all.at(1)->send(proto::roomMessage(text, QStringLiteral("BI"), u"bob"_qs));
        const QList<QStringList> before = syncFrom(all.at(1), all);
        for (const QStringList &got : before) {
            QCOMPARE(got.size(), 1);
            QCOMPARE(got.first(), quillet::server::roomMessage(text, u"BI"_qs, u"bob"_qs));
            const auto cut = proto::cutRoomMessage(got.first());
            QVERIFY(cut);
            QCOMPARE(cut->text, text);
            QCOMPARE(cut->name, u"bob");
            QVERIFY(!cut->serverNotice);
        }
        QCOMPARE(server->statistics().roomMessages, quint64(1 + syncCount));
    }

    void userFieldIsTheSendersName_data()
    {
        QTest::addColumn<QString>("claimed");
        QTest::newRow("another user") << u"carol"_qs;
        QTest::newRow("the server") << u"Server"_qs;
        QTest::newRow("empty") << QString();
        QTest::newRow("with tags") << u"x</user></message><message>y<style>N<user>carol"_qs;
    }
    void userFieldIsTheSendersName()
    {
        QFETCH(QString, claimed);
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs, u"carol"_qs});
        all.at(0)->send(u"<message>hi<style>N<user>"_qs + claimed + u"</user></message>"_qs);
        for (const QStringList &got : syncFrom(all.at(0), all)) {
            QCOMPARE(got.size(), 1);
            QVERIFY(got.first().startsWith(u"<message>hi<style>"));
            const auto cut = proto::cutRoomMessage(got.first());
            QVERIFY(cut);
            QCOMPARE(cut->name, u"alice");
            QVERIFY(!cut->serverNotice);
        }
    }

    void malformedMessagesAreDropped_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << QString();
        QTest::newRow("junk") << u"hello there"_qs;
        QTest::newRow("second login") << u"alice///pw"_qs;
        QTest::newRow("unknown style") << u"<message>t<style>X<user>alice</user></message>"_qs;
        QTest::newRow("small style") << u"<message>t<style>b<user>alice</user></message>"_qs;
        QTest::newRow("empty style") << u"<message>t<style><user>alice</user></message>"_qs;
        QTest::newRow("no closing tag") << u"<message>t<style>N<user>alice"_qs;
        QTest::newRow("text after closing tag") << u"<message>t<style>N<user>alice</user></message>x"_qs;
        QTest::newRow("no style tag") << u"<message>t<user>alice</user></message>"_qs;
        QTest::newRow("tags swapped") << u"<message>t<user>alice<style>N</user></message>"_qs;
        QTest::newRow("fake user list") << u"<message><add usr>mallory,</add usr><style>N<user>a</user></message>"_qs;
        QTest::newRow("fake removal") << u"<message><REM USR>bob,<style>N<user>a</user></message>"_qs;
        QTest::newRow("fake busy") << u"<message><bsy usr>bob<style>N<user>a</user></message>"_qs;
        QTest::newRow("fake request") << u"<message><rqst>x<style>N<user>a</user></message>"_qs;
        QTest::newRow("busy with extra") << u"<busy> "_qs;
        QTest::newRow("free in capitals") << u"<FREE>"_qs;
        QTest::newRow("request no end") << u"<rqst>m<addr>10.0.0.1<port>5000<user>bob"_qs;
        QTest::newRow("request bad address") << u"<rqst>m<addr>host<port>5000<user>bob</rqst>"_qs;
        QTest::newRow("request bad port") << u"<rqst>m<addr>10.0.0.1<port>70000<user>bob</rqst>"_qs;
        QTest::newRow("request port not digits") << u"<rqst>m<addr>10.0.0.1<port>-5<user>bob</rqst>"_qs;
        QTest::newRow("request with marker") << u"<rqst><fre usr><addr>10.0.0.1<port>5000<user>bob</rqst>"_qs;
        QTest::newRow("request unknown target") << u"<rqst>m<addr>10.0.0.1<port>5000<user>dave</rqst>"_qs;
        QTest::newRow("control bytes") << QString::fromLatin1("\x01\x02\xff\x7f<\x1b[2J");
    }
    void malformedMessagesAreDropped()
    {
        QFETCH(QString, message);
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs, u"carol"_qs});
        all.at(0)->send(message);
        for (const QStringList &got : syncFrom(all.at(0), all))
            QCOMPARE(got, QStringList());
        QCOMPARE(server->onlineUsers().size(), 3);
    }

    void requestGoesToItsTargetOnly()
    {
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs, u"carol"_qs});
        all.at(0)->send(proto::requestMessage(u"let's talk <now>"_qs, u"192.168.1.20"_qs,
                                              u"5123"_qs, u"bob"_qs));
        const QList<QStringList> before = syncFrom(all.at(0), all);
        QCOMPARE(before.at(0), QStringList());
        QCOMPARE(before.at(2), QStringList());
        QCOMPARE(before.at(1),
                 QStringList{u"<rqst>let's talk <now><addr>192.168.1.20<port>5123<user>alice</rqst>"_qs});
        const auto cut = proto::cutRequest(before.at(1).first());
        QVERIFY(cut);
        QCOMPARE(cut->user, u"alice");
        QCOMPARE(cut->message, u"let's talk <now>");
        QVERIFY(proto::isAcceptableRequest(*cut));

        // A target that has left gets nothing, and nobody else does either.
        all.at(1)->socket.disconnectFromHost();
        QTRY_COMPARE(server->onlineUsers().size(), 2);
        all.at(0)->send(proto::requestMessage(u"m"_qs, u"10.0.0.1"_qs, u"5000"_qs, u"bob"_qs));
        for (const QStringList &got : syncFrom(all.at(0), {all.at(0), all.at(2)}))
            QCOMPARE(got, QStringList{u"<rem usr>bob,</rem usr>"_qs});
    }

    void busyAndFreeGoToTheOthers()
    {
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs, u"carol"_qs});
        all.at(1)->send(proto::busyNotice());
        all.at(1)->send(proto::freeNotice());
        const QList<QStringList> before = syncFrom(all.at(1), all);
        const QStringList expected{u"<bsy usr>bob</bsy usr>"_qs, u"<fre usr>bob</fre usr>"_qs};
        QCOMPARE(before.at(0), expected);
        QCOMPARE(before.at(1), QStringList());
        QCOMPARE(before.at(2), expected);
        QCOMPARE(proto::classify(expected.at(0)), proto::Kind::UserBusy);
        QCOMPARE(proto::classify(expected.at(1)), proto::Kind::UserFree);
    }

    void loginIsRefused_data()
    {
        QTest::addColumn<QString>("login");
        QTest::newRow("no separator") << u"alice"_qs;
        QTest::newRow("empty name") << u"///pw"_qs;
        QTest::newRow("empty message") << QString();
        QTest::newRow("name online") << u"alice///other"_qs;
        QTest::newRow("comma") << u"a,b///pw"_qs;
        QTest::newRow("less than") << u"a<b///pw"_qs;
        QTest::newRow("greater than") << u"a>b///pw"_qs;
        QTest::newRow("control character") << u"a\x01z///pw"_qs;
        QTest::newRow("tab") << u"a\tb///pw"_qs;
        QTest::newRow("delete") << u"a\x7f///pw"_qs;
        QTest::newRow("C1 control") << u"a"_qs + QChar(0x85) + u"///pw"_qs;
        QTest::newRow("Server") << u"Server///pw"_qs;
        QTest::newRow("server inside") << u"myserver1///pw"_qs;
        QTest::newRow("SERVER") << u"THE SERVER///pw"_qs;
        QTest::newRow("mixed case") << u"sErVeR///pw"_qs;
        QTest::newRow("room message first") << proto::roomMessage(u"hi"_qs, u"N"_qs, u"mallory"_qs);
    }
    void loginIsRefused()
    {
        QFETCH(QString, login);
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs});
        TestClient refused;
        QVERIFY(refused.connectTo(server->port()));
        refused.send(login);
        QVERIFY(refused.waitForDisconnected());
        QCOMPARE(refused.messages, QStringList{u"login fail"_qs});
        for (const QStringList &got : syncFrom(all.at(0), all))
            QCOMPARE(got, QStringList());
        QCOMPARE(server->onlineUsers(), (QStringList{u"alice"_qs, u"bob"_qs}));
        QTRY_COMPARE(server->connectionCount(), 2);
    }

    void usersTableDecidesWhoLogsIn_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right password") << u"alice///secret"_qs << true;
        QTest::newRow("wrong password") << u"alice///Secret"_qs << false;
        QTest::newRow("empty password") << u"alice///"_qs << false;
        QTest::newRow("unknown name") << u"carol///secret"_qs << false;
        QTest::newRow("name in other case") << u"Alice///secret"_qs << false;
        QTest::newRow("password holding ///") << u"bob///a:b///c"_qs << true;
    }
    void usersTableDecidesWhoLogsIn()
    {
        QFETCH(QString, login);
        QFETCH(bool, accepted);
        server->setUsers({{u"alice"_qs, u"secret"_qs}, {u"bob"_qs, u"a:b///c"_qs}});
        TestClient client;
        QVERIFY(client.connectTo(server->port()));
        client.send(login);
        QVERIFY(client.waitForCount(1));
        QCOMPARE(client.messages.first(), accepted ? u"login successful" : u"login fail");
        if (!accepted)
            QVERIFY(client.waitForDisconnected());
        QCOMPARE(server->onlineUsers().size(), accepted ? 1 : 0);
    }

    void framingAcrossWrites()
    {
        TestClient *alice = join(QStringLiteral("alice"));
        QVERIFY(alice);
        alice->messages.clear();
        // A login that trickles in byte by byte, then a login and a room line in one write.
        TestClient slow;
        QVERIFY(slow.connectTo(server->port()));
        for (char c : QByteArray("slow///pw"))
            slow.sendRaw(QByteArray(1, c));
        slow.sendRaw(QByteArray(1, '\0'));
        QVERIFY(slow.waitForCount(1));
        QCOMPARE(slow.messages.first(), u"login successful");

        TestClient quick;
        QVERIFY(quick.connectTo(server->port()));
        quick.name = u"quick"_qs;
        quick.sendRaw(QByteArray("quick///pw\0", 11) + proto::roomMessage(u"first"_qs, u"N"_qs, u"q"_qs).toLatin1() + '\0');
        const auto before = alice->takeUntilRoomText(u"first"_qs);
        QVERIFY(before);
        QCOMPARE(*before, (QStringList{u"<add usr>slow,</add usr>"_qs, u"<add usr>quick,</add usr>"_qs}));
    }

    void oversizedMessageDropsItsSender()
    {
        using quillet::server::MaxMessageBytes;
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs, u"carol"_qs});
        const QString frame = proto::roomMessage(QString(), u"N"_qs, u"alice"_qs);
        // The largest message accepted is relayed...
        const QString largest = QString(MaxMessageBytes - frame.size(), u'x');
        all.at(0)->send(proto::roomMessage(largest, u"N"_qs, u"alice"_qs));
        for (const QStringList &got : syncFrom(all.at(0), all)) {
            QCOMPARE(got.size(), 1);
            QCOMPARE(proto::cutRoomMessage(got.first())->text, largest);
        }
        // ...one byte more drops the sender...
        all.at(1)->send(proto::roomMessage(largest + u'x', u"N"_qs, u"alice"_qs));
        QVERIFY(all.at(1)->waitForDisconnected());
        const QList<QStringList> after = syncFrom(all.at(0), {all.at(0), all.at(2)});
        for (const QStringList &got : after)
            QCOMPARE(got, QStringList{u"<rem usr>bob,</rem usr>"_qs});

        // ...and so does one byte more without its terminator: the server does not wait for it.
        all.at(2)->messages.clear();
        all.at(2)->sendRaw(QByteArray(MaxMessageBytes + 1, 'z'));
        QVERIFY(all.at(2)->waitForDisconnected());
        QCOMPARE(all.at(2)->messages, QStringList());
        QCOMPARE(syncFrom(all.at(0), {all.at(0)}).first(), QStringList{u"<rem usr>carol,</rem usr>"_qs});

        // Before a login, too: no answer, just the close.
        TestClient stranger;
        QVERIFY(stranger.connectTo(server->port()));
        stranger.sendRaw(QByteArray(MaxMessageBytes + 1, 'y'));
        QVERIFY(stranger.waitForDisconnected());
        QCOMPARE(stranger.messages, QStringList());
        QCOMPARE(server->onlineUsers(), QStringList{u"alice"_qs});
    }

    void clientThatStopsReadingIsDropped()
    {
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs});
        // A raw client with a tiny receive buffer that logs in and never reads again.
        const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(stalled >= 0);
        const int small = 4096;
        ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server->port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(stalled, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        QCOMPARE(::send(stalled, "stalled///pw", 13, 0), ssize_t(13));
        QTRY_COMPARE(server->onlineUsers().size(), 3);
        for (const QStringList &got : syncFrom(all.at(0), all))
            QCOMPARE(got, QStringList{u"<add usr>stalled,</add usr>"_qs});

        // Alice talks in big lines until the server gives up on the stalled client; she and bob
        // get every line, so the others are never held back.
        const QString big(60 * 1024, u'b');
        int sent = 0;
        bool dropped = false;
        while (!dropped && sent < 2000) {
            const QString line = QStringLiteral("%1 %2").arg(++sent).arg(big);
            all.at(0)->send(proto::roomMessage(line, u"N"_qs, u"alice"_qs));
            for (TestClient *client : all) {
                const auto before = client->takeUntilRoomText(line);
                QVERIFY(before);
                for (const QString &message : *before) {
                    QCOMPARE(message, u"<rem usr>stalled,</rem usr>");
                    dropped = true;
                }
            }
        }
        ::close(stalled);
        QVERIFY2(dropped, "the stalled client was never dropped");
        QCOMPARE(server->onlineUsers(), (QStringList{u"alice"_qs, u"bob"_qs}));
        qInfo("stalled client dropped after %d lines of 60 KiB", sent);
    }

    void closeDisconnectsEveryone()
    {
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs});
        TestClient silent;
        QVERIFY(silent.connectTo(server->port()));
        QTRY_COMPARE(server->connectionCount(), 3);
        const quint16 port = server->port();
        server->close();
        QVERIFY(!server->isListening());
        for (TestClient *client : all) {
            QVERIFY(client->waitForDisconnected());
            QCOMPARE(client->messages, QStringList()); // no removal notices on the way out
        }
        QVERIFY(silent.waitForDisconnected());
        QCOMPARE(server->connectionCount(), 0);
        TestClient late;
        QVERIFY(!late.connectTo(port));
    }
};

QTEST_GUILESS_MAIN(tst_ChatServer)
#include "tst_chatserver.moc"
