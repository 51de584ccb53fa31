// The chat server end to end over loopback: ChatServer in this process, clients on real sockets.
// (Clients that flood it or never log in: the program suite.)
#include "chatprotocol.h"
#include "chatserver.h"
#include "testclient.h"
#include "userfile.h"

#include <serverprotocol.h>

#include <QLoggingCategory>
#include <QTest>

#include <memory>

using namespace quillet::server;
namespace proto = quillet::ServerProtocol;

class tst_ChatServer : public QObject
{
    Q_OBJECT

    std::unique_ptr<ChatServer> server;
    std::vector<std::unique_ptr<TestClient>> clients;
    int syncCount = 0;

    TestClient *join(const QString &name)
    {
        clients.push_back(std::make_unique<TestClient>());
        return clients.back()->join(server->port(), name) ? clients.back().get() : nullptr;
    }

    // Everyone in `names` joined, with their welcomes and the later joins consumed.
    QList<TestClient *> room(const QStringList &names = {u"alice"_qs, u"bob"_qs, u"carol"_qs})
    {
        QList<TestClient *> joined;
        for (const QString &name : names)
            joined << join(name);
        if (joined.contains(nullptr))
            qFatal("could not join");
        syncFrom(joined.first(), joined);
        return joined;
    }

    // `from` sends a marker line; returns, per client, what it received before the marker. The
    // server handles one connection's messages in order, so anything `from` caused earlier has
    // reached everyone by then.
    QList<QStringList> syncFrom(TestClient *from, const QList<TestClient *> &all)
    {
        const QString marker = QStringLiteral("sync %1").arg(++syncCount);
        from->send(proto::roomMessage(marker, u"N"_qs, from->name));
        QList<QStringList> before;
        for (TestClient *client : all)
            before << client->takeUntilRoomText(marker).value_or(QStringList{u"<no sync>"_qs});
        return before;
    }

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(u"quillet.server.info=false"_qs); }

    void init()
    {
        syncCount = 0;
        server = std::make_unique<ChatServer>();
        QVERIFY2(server->listen(u"127.0.0.1"_qs, 0), qPrintable(server->errorString()));
    }

    void cleanup()
    {
        clients.clear();
        server.reset();
    }

    // The welcome with the whole list four names a message, then who is busy, one addition for
    // each of the others, and a removal however a user leaves.
    void joinAndLeave()
    {
        QList<TestClient *> all;
        for (int i = 1; i <= 10; ++i) {
            if (i == 10) { // user3 busy, user5 busy and free again: the newcomer hears of user3
                QVERIFY(!all.contains(nullptr));
                all[4]->send(u"<busy>"_qs);
                all[4]->send(u"<free>"_qs);
                all[2]->send(u"<busy>"_qs);
                syncFrom(all[4], {all[4]});
                syncFrom(all[2], {all[2]});
            }
            all << join(QStringLiteral("user%1").arg(i));
        }
        QVERIFY(!all.contains(nullptr));
        const QStringList welcome = all.last()->messages;
        QCOMPARE(welcome.first(5), (QStringList{u"login successful"_qs, u"<add usr>user1,user2,user3,user4,</add usr>"_qs,
                                                u"<add usr>user5,user6,user7,user8,</add usr>"_qs,
                                                u"<add usr>user9,user10,</add usr>"_qs, u"<bsy usr>user3</bsy usr>"_qs}));
        QCOMPARE(welcome.size(), 6);
        const auto greeting = proto::cutRoomMessage(welcome.last());
        QVERIFY(greeting && greeting->serverNotice);
        QCOMPARE(greeting->name, u"Server");
        QCOMPARE(greeting->style, u"I");
        for (const QStringList &got : syncFrom(all.last(), all).first(9))
            QCOMPARE(got.last(), u"<add usr>user10,</add usr>");

        // Leaving: an orderly close, a reset in mid-message, and a message one byte over the
        // largest (the program's test sends one without its terminator).
        all[1]->socket.disconnectFromHost();
        all[2]->sendRaw("<message>never fin");
        all[2]->reset();
        all[3]->send(roomMessage(QString(64 * 1024 + 1 - roomMessage({}, u"N"_qs, u"user4"_qs).size(), u'x'),
                                 u"N"_qs, u"user4"_qs));
        QVERIFY(all[3]->waitForDisconnected());
        QTRY_COMPARE(server->onlineUsers(), (QStringList{u"user1"_qs, u"user5"_qs, u"user6"_qs, u"user7"_qs,
                                                         u"user8"_qs, u"user9"_qs, u"user10"_qs}));
        for (QStringList got : syncFrom(all.last(), all.mid(4))) {
            got.sort();
            QCOMPARE(got, (QStringList{u"<rem usr>user2,</rem usr>"_qs, u"<rem usr>user3,</rem usr>"_qs,
                                       u"<rem usr>user4,</rem usr>"_qs}));
        }
        QTRY_COMPARE(server->connectionCount(), 7);
        QVERIFY(join(u"user2"_qs)); // the name is free again
    }

    void relay_data()
    {
        QTest::addColumn<QString>("sent");    // by alice
        QTest::addColumn<QStringList>("got"); // by alice, bob and carol ("": nothing, "notice": a notice)
        const QString odd = u"I <3 it: a<b, x > y, <style>, </user></message> & r>"_qs;
        const QStringList none(3, QString());
        QTest::newRow("room line, to all") << proto::roomMessage(odd, u"BI"_qs, u"alice"_qs) << QStringList(3, roomMessage(odd, u"BI"_qs, u"alice"_qs));
        const QString largest = roomMessage(QString(64 * 1024 - roomMessage({}, u"N"_qs, u"alice"_qs).size(), u'x'), u"N"_qs, u"alice"_qs);
        QTest::newRow("largest message") << largest << QStringList(3, largest);
        QTest::newRow("claims the server") << u"<message>hi<style>N<user>Server</user></message>"_qs << QStringList(3, u"<message>hi<style>N<user>alice</user></message>"_qs);
        const QStringList refused{u"notice"_qs, {}, {}};
        QTest::newRow("request, to its target only") << proto::requestMessage(u"let's talk <now>"_qs, u"127.0.0.1"_qs, u"5123"_qs, u"bob"_qs)
            << QStringList{{}, u"<rqst>let's talk <now><addr>127.0.0.1<port>5123<user>alice</rqst>"_qs, {}};
        QTest::newRow("busy, to the others") << u"<busy>"_qs << QStringList{{}, u"<bsy usr>alice</bsy usr>"_qs, u"<bsy usr>alice</bsy usr>"_qs};

        QTest::newRow("junk") << u"hello there"_qs << none;
        QTest::newRow("second login") << u"alice///pw"_qs << none;
        QTest::newRow("unknown style") << u"<message>t<style>b<user>alice</user></message>"_qs << none;
        QTest::newRow("text after closing tag") << u"<message>t<style>N<user>a</user></message>x"_qs << none;
        QTest::newRow("fake user list") << u"<message><add usr>mallory,</add usr><style>N<user>a</user></message>"_qs << none;
        QTest::newRow("request host name") << u"<rqst>m<addr>host<port>5000<user>bob</rqst>"_qs << refused;
        QTest::newRow("request to nobody online") << u"<rqst>m<addr>127.0.0.1<port>5000<user>dave</rqst>"_qs << refused;
        QTest::newRow("control bytes") << QString::fromLatin1("\x01\x02\xff\x7f<\x1b[2J") << none;
    }
    void relay()
    {
        QFETCH(QString, sent);
        QFETCH(QStringList, got);
        const QList<TestClient *> all = room();
        all.at(0)->send(sent);
        const QList<QStringList> before = syncFrom(all.at(0), all);
        for (int i = 0; i < 3; ++i) {
            if (got.at(i) == u"notice") { // told at once, in the room, by the server
                QCOMPARE(before.at(i).size(), 1);
                const auto notice = proto::cutRoomMessage(before.at(i).first());
                QVERIFY(notice && notice->serverNotice && notice->name == u"Server" && notice->style == u"I");
            } else {
                QCOMPARE(before.at(i), got.at(i).isEmpty() ? QStringList() : QStringList{got.at(i)});
            }
        }
        QCOMPARE(server->onlineUsers().size(), 3);
    }

    void login_data()
    {
        QTest::addColumn<QString>("users"); // the text of a users file; none when empty
        QTest::addColumn<QString>("login");
        QTest::addColumn<bool>("accepted");
        const QString none, file = u"# accounts\r\nalice:pw\nbob:pw\n\ncarol:secret\r\ndave:a:b///c\n"_qs;
        QTest::newRow("any password") << none << u"carol///x"_qs << true;
        QTest::newRow("empty name") << none << u"///pw"_qs << false;
        QTest::newRow("name online") << none << u"alice///other"_qs << false;
        QTest::newRow("less than") << none << u"a<b///pw"_qs << false;
        QTest::newRow("greater than") << none << u"a>b///pw"_qs << false;
        QTest::newRow("control character") << none << u"a\tb///pw"_qs << false;
        QTest::newRow("server, any case") << none << u"mySeRvEr1///pw"_qs << false;
        QTest::newRow("room line first") << none << proto::roomMessage(u"hi"_qs, u"N"_qs, u"carol"_qs) << false;
        QTest::newRow("listed user") << file << u"carol///secret"_qs << true;
        QTest::newRow("password holding : and ///") << file << u"dave///a:b///c"_qs << true;
        QTest::newRow("wrong password") << file << u"carol///Secret"_qs << false;
        QTest::newRow("unknown name") << file << u"erin///secret"_qs << false;
    }
    void login()
    {
        QFETCH(QString, users);
        QFETCH(QString, login);
        QFETCH(bool, accepted);
        if (!users.isEmpty()) {
            const UserTable table = parseUsers(users);
            QVERIFY2(table.error.isEmpty(), qPrintable(table.error));
            server->setUsers(table.passwords);
        }
        const QList<TestClient *> all = room({u"alice"_qs, u"bob"_qs});
        TestClient newcomer;
        QVERIFY(newcomer.connectTo(server->port()));
        newcomer.send(login);
        QTRY_VERIFY(!newcomer.messages.isEmpty());
        QCOMPARE(newcomer.messages.first(), accepted ? u"login successful" : u"login fail");
        const QStringList addition{u"<add usr>"_qs + login.section(u"///"_qs, 0, 0) + u",</add usr>"_qs};
        for (const QStringList &got : syncFrom(all.at(0), all))
            QCOMPARE(got, accepted ? addition : QStringList());
        QCOMPARE(server->onlineUsers().size(), accepted ? 3 : 2);
        if (!accepted) {
            QVERIFY(newcomer.waitForDisconnected());
            QTRY_COMPARE(server->connectionCount(), 2);
        }
    }
};

QTEST_GUILESS_MAIN(tst_ChatServer)
#include "tst_chatserver.moc"
