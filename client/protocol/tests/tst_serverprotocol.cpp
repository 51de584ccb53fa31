// The server protocol: what the client sends, how it classifies what it gets, how it cuts fields.

#include "serverprotocol.h"

#include <QRandomGenerator>
#include <QTest>

using namespace quillet;
namespace SP = quillet::ServerProtocol;

Q_DECLARE_METATYPE(SP::Kind)
Q_DECLARE_METATYPE(SP::Style)

class TestServerProtocol : public QObject
{
    Q_OBJECT

private slots:
    void builders_data();
    void builders();
    void styleCodes();
    void styleFromCode_data();
    void styleFromCode();

    void classify_data();
    void classify();

    void roomMessage_data();
    void roomMessage();
    void roomMessageUndecodable_data();
    void roomMessageUndecodable();
    void roomMessageRoundTrip();

    void userList_data();
    void userList();

    void request_data();
    void request();
    void requestUndecodable_data();
    void requestUndecodable();
    void requestRoundTrip();

    void acceptableRequest_data();
    void acceptableRequest();
};

// --- Building ---

void TestServerProtocol::builders_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("wire");

    QTest::newRow("login") << SP::loginMessage("alice", "secret") << "alice///secret";
    QTest::newRow("login with /// in name and password, unescaped")
        << SP::loginMessage("a///b", "///") << "a///b//////";
    QTest::newRow("room") << SP::roomMessage("hello there", "BI", "alice")
                          << "<message>hello there<style>BI<user>alice</user></message>";
    QTest::newRow("room with empty text") << SP::roomMessage("", "N", "bob")
                                          << "<message><style>N<user>bob</user></message>";
    QTest::newRow("request")
        << SP::requestMessage("let's talk", "192.168.1.20", "5123", "bob")
        << "<rqst>let's talk<addr>192.168.1.20<port>5123<user>bob</rqst>";
    QTest::newRow("busy") << SP::busyNotice() << "<busy>";
    QTest::newRow("free") << SP::freeNotice() << "<free>";
}

void TestServerProtocol::builders()
{
    QFETCH(QString, built);
    QFETCH(QString, wire);
    QCOMPARE(built, wire);
}

void TestServerProtocol::styleCodes()
{
    QCOMPARE(SP::styleCode(true, true), "BI");
    QCOMPARE(SP::styleCode(true, false), "B");
    QCOMPARE(SP::styleCode(false, true), "I");
    QCOMPARE(SP::styleCode(false, false), "N");
}

void TestServerProtocol::styleFromCode_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<SP::Style>("style");

    QTest::newRow("BI") << "BI" << SP::Style::BoldItalic;
    QTest::newRow("B") << "B" << SP::Style::Bold;
    QTest::newRow("I") << "I" << SP::Style::Italic;
    QTest::newRow("N") << "N" << SP::Style::Plain;
    QTest::newRow("empty") << "" << SP::Style::Plain;
    QTest::newRow("small b") << "b" << SP::Style::Plain;
    QTest::newRow("small bi") << "bi" << SP::Style::Plain;
    QTest::newRow("IB") << "IB" << SP::Style::Plain;
    QTest::newRow("B with blank") << "B " << SP::Style::Plain;
    QTest::newRow("other") << "bold" << SP::Style::Plain;
}

void TestServerProtocol::styleFromCode()
{
    QFETCH(QString, code);
    QFETCH(SP::Style, style);
    QCOMPARE(SP::styleFromCode(code), style);
}

// --- Classifying ---

void TestServerProtocol::classify_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<SP::Kind>("kind");

    using K = SP::Kind;
    QTest::newRow("login successful") << "login successful" << K::LoginAccepted;
    QTest::newRow("login successful, other case") << "Login successful" << K::Room;
    QTest::newRow("login successful, trailing blank") << "login successful " << K::Room;
    QTest::newRow("login fail") << "login fail" << K::LoginRefused;
    QTest::newRow("login failed") << "login failed" << K::Room;

    QTest::newRow("add") << "<add usr>alice,</add usr>" << K::UserAdded;
    QTest::newRow("add inside text") << "xx<add usrs>alice," << K::UserAdded;
    QTest::newRow("add in capitals is not an addition") << "<ADD USR>alice,</ADD USR>" << K::Room;
    QTest::newRow("remove") << "<rem usr>alice,</rem usr>" << K::UserRemoved;
    QTest::newRow("remove in capitals") << "<REM USR>alice,</REM USR>" << K::UserRemoved;
    QTest::newRow("busy") << "<bsy usr>alice</bsy usr>" << K::UserBusy;
    QTest::newRow("busy in capitals") << "<BSY USR>" << K::UserBusy;
    QTest::newRow("free") << "<fre usr>alice</fre usr>" << K::UserFree;
    QTest::newRow("free, mixed case") << "<Fre Usr>" << K::UserFree;
    QTest::newRow("request") << "<rqst>hi<addr>1.2.3.4<port>5000<user>bob</rqst>" << K::Request;
    QTest::newRow("request in capitals") << "<RQST>hi" << K::Request;
    QTest::newRow("room") << "<message>hi<style>N<user>bob</user></message>" << K::Room;
    QTest::newRow("empty") << "" << K::Room;
    QTest::newRow("busy without >") << "<bsy usr" << K::Room;

    QTest::newRow("add before remove") << "<rem usr>a,<add usr>b," << K::UserAdded;
    QTest::newRow("remove before busy") << "<bsy usr><rem usr>a," << K::UserRemoved;
    QTest::newRow("busy before free") << "<fre usr><bsy usr>" << K::UserBusy;
    QTest::newRow("free before request") << "<rqst><fre usr>" << K::UserFree;
    QTest::newRow("request before room") << "<message><rqst><style>N<user>bob</user></message>"
                                         << K::Request;
}

void TestServerProtocol::classify()
{
    QFETCH(QString, data);
    QFETCH(SP::Kind, kind);
    QCOMPARE(SP::classify(data), kind);
}

// --- Room messages ---

void TestServerProtocol::roomMessage_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("style");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("notice");

    QTest::newRow("plain") << "<message>hello<style>N<user>bob</user></message>"
                           << "hello" << "N" << "bob" << false;
    QTest::newRow("empty text") << "<message><style>B<user>bob</user></message>"
                                << "" << "B" << "bob" << false;
    QTest::newRow("empty style and name") << "<message>hi<style><user></user></message>"
                                          << "hi" << "" << "" << false;
    QTest::newRow("text with <") << "<message>a<b<style>N<user>bob</user></message>"
                                 << "a<b" << "N" << "bob" << false;
    QTest::newRow("text with r>") << "<message>over> there<style>I<user>bob</user></message>"
                                  << "over> there" << "I" << "bob" << false;
    QTest::newRow("text holding a whole room message")
        << "<message>x<style>I<user>eve</user></message>y<style>BI<user>bob</user></message>"
        << "x<style>I<user>eve</user></message>y" << "BI" << "bob" << false;
    QTest::newRow("markup is kept as text") << "<message><b>x</b><style>N<user><i>\u00e9</user></message>"
                                            << "<b>x</b>" << "N" << "<i>\u00e9" << false;
    QTest::newRow("tags in capitals") << "<MESSAGE>hi<STYLE>I<USER>bob</USER></MESSAGE>"
                                      << "hi" << "I" << "bob" << false;
    QTest::newRow("text after the closing tags") << "<message>hi<style>N<user>bob</user></message>\r\n"
                                                 << "hi" << "N" << "bob" << false;
    QTest::newRow("server notice") << "<message>restart at 5<style>I<user>Server</user></message>"
                                   << "restart at 5" << "I" << "Server" << true;
    QTest::newRow("server inside a longer name, any case")
        << "<message>hi<style>N<user>obSERVERs</user></message>" << "hi" << "N" << "obSERVERs" << true;
    QTest::newRow("server in the text only is a user's line")
        << "<message>the server is down<style>N<user>bob</user></message>"
        << "the server is down" << "N" << "bob" << false;
}

void TestServerProtocol::roomMessage()
{
    QFETCH(QString, data);
    QFETCH(QString, text);
    QFETCH(QString, style);
    QFETCH(QString, name);
    QFETCH(bool, notice);

    const auto room = SP::cutRoomMessage(data);
    QVERIFY(room);
    QCOMPARE(room->text, text);
    QCOMPARE(room->style, style);
    QCOMPARE(room->name, name);
    QCOMPARE(room->serverNotice, notice);
}

void TestServerProtocol::roomMessageUndecodable_data()
{
    QTest::addColumn<QString>("data");

    QTest::newRow("empty") << "";
    QTest::newRow("no tags") << "hello";
    QTest::newRow("no </user>") << "<message>hi<style>N<user>bob</message>";
    QTest::newRow("no <user>") << "<message>hi<style>N bob</user></message>";
    QTest::newRow("no <style>") << "<message>hi<user>bob</user></message>";
    QTest::newRow("no <message>") << "hi<style>N<user>bob</user></message>";
    QTest::newRow("style after user") << "<message>hi<user>bob<style>N</user></message>";
    QTest::newRow("message after style") << "<style>N<message>hi<user>bob</user></message>";
    QTest::newRow("end first") << "</user></message><message>hi<style>N<user>bob";
    QTest::newRow("split over two reads") << "<message>hi<style>N<user>bob</us";
    QTest::newRow("tags overlapping") << "<message<style>>x<user></user></message>";
}

void TestServerProtocol::roomMessageUndecodable()
{
    QFETCH(QString, data);
    QVERIFY(!SP::cutRoomMessage(data));
}

// Whatever TEXT holds, the builder's message cuts back into the same fields.
void TestServerProtocol::roomMessageRoundTrip()
{
    const QStringList pieces{"<", ">", "r>", "R>", "<style>", "<user>", "</user>", "</user></message>",
                             "<message>", "<STYLE>", "a", " ", "server", "\u00e9", ","};
    QRandomGenerator rng(7);
    for (int i = 0; i < 5000; ++i) {
        QString text;
        for (int n = int(rng.bounded(12)); n > 0; --n)
            text += pieces.at(rng.bounded(int(pieces.size())));
        const QString name = i % 2 ? QStringLiteral("bob") : QStringLiteral("r>r");
        const auto room = SP::cutRoomMessage(SP::roomMessage(text, "BI", name));
        QVERIFY2(room, qPrintable(text));
        QCOMPARE(room->text, text);
        QCOMPARE(room->style, "BI");
        QCOMPARE(room->name, name);
        QVERIFY(!room->serverNotice);
    }
}

// --- User lists ---

void TestServerProtocol::userList_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QStringList>("names"); // empty: not decodable

    QTest::newRow("two names") << "<add usr>alice,bob,</add usr>" << QStringList{"alice", "bob"};
    QTest::newRow("five names, all taken") << "<add usr>a,b,c,d,e,</add usr>"
                                           << QStringList{"a", "b", "c", "d", "e"};
    QTest::newRow("text after the last comma is no name") << "<add usr>alice,bob</add usr>"
                                                           << QStringList{"alice"};
    QTest::newRow("removal") << "<rem usr>carol,</rem usr>" << QStringList{"carol"};
    QTest::newRow("removal in capitals") << "<REM USR>carol,</REM USR>" << QStringList{"carol"};
    QTest::newRow("longer tag") << "<add usrs>alice,</add usrs>" << QStringList{"alice"};
    QTest::newRow("blanks and > kept") << "<add usr>a>b,c d,</add usr>" << QStringList{"a>b", "c d"};
    QTest::newRow("empty names skipped") << "<add usr>,alice,,bob,</add usr>"
                                         << QStringList{"alice", "bob"};
    QTest::newRow("list ends at the first <") << "<add usr>alice,<b>bob,</b></add usr>"
                                              << QStringList{"alice"};

    QTest::newRow("no comma") << "<add usr>alice</add usr>" << QStringList{};
    QTest::newRow("only commas") << "<add usr>,,</add usr>" << QStringList{};
    QTest::newRow("empty list") << "<add usr></add usr>" << QStringList{};
    QTest::newRow("no < after the list") << "<add usr>alice," << QStringList{};
    QTest::newRow("tag never closed") << "<add usr" << QStringList{};
    QTest::newRow("addition in capitals") << "<ADD USR>alice,</ADD USR>" << QStringList{};
    QTest::newRow("no tag") << "alice,bob," << QStringList{};
    QTest::newRow("empty") << "" << QStringList{};
}

void TestServerProtocol::userList()
{
    QFETCH(QString, data);
    QFETCH(QStringList, names);
    const auto list = SP::cutUserList(data);
    if (names.isEmpty()) {
        QVERIFY2(!list, qPrintable(list ? list->join('|') : QString()));
    } else {
        QVERIFY(list);
        QCOMPARE(*list, names);
    }
}

// --- Relayed requests ---

void TestServerProtocol::request_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("user");

    const QString msg18 = "eighteen character";
    const QString msg19 = "nineteen characters";
    QCOMPARE(msg18.size(), 18);
    QCOMPARE(msg19.size(), 19);

    QTest::newRow("plain") << "<rqst>hello there<addr>192.168.1.20<port>5123<user>alice</rqst>"
                           << "hello there" << "192.168.1.20" << "5123" << "alice";
    QTest::newRow("18-character message")
        << "<rqst>" + msg18 + "<addr>10.0.0.2<port>5000<user>alice</rqst>"
        << msg18 << "10.0.0.2" << "5000" << "alice";
    QTest::newRow("19-character message")
        << "<rqst>" + msg19 + "<addr>10.0.0.2<port>5000<user>alice</rqst>"
        << msg19 << "10.0.0.2" << "5000" << "alice";
    QTest::newRow("empty message") << "<rqst><addr>10.0.0.2<port>5000<user>alice</rqst>"
                                   << "" << "10.0.0.2" << "5000" << "alice";
    QTest::newRow("message holding tags")
        << "<rqst>see <addr>6.6.6.6<port>1<user>x</rqst> ok<addr>10.0.0.2<port>5000<user>bob</rqst>"
        << "see <addr>6.6.6.6<port>1<user>x</rqst> ok" << "10.0.0.2" << "5000" << "bob";
    QTest::newRow("tags in capitals") << "<RQST>hi<ADDR>10.0.0.2<PORT>5000<USER>bob</RQST>"
                                      << "hi" << "10.0.0.2" << "5000" << "bob";
    QTest::newRow("empty fields") << "<rqst><addr><port><user></rqst>" << "" << "" << "" << "";
    QTest::newRow("text after </rqst>") << "<rqst>hi<addr>1.2.3.4<port>5000<user>bob</rqst>\n"
                                        << "hi" << "1.2.3.4" << "5000" << "bob";
}

void TestServerProtocol::request()
{
    QFETCH(QString, data);
    QFETCH(QString, message);
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(QString, user);

    const auto request = SP::cutRequest(data);
    QVERIFY(request);
    QCOMPARE(request->message, message);
    QCOMPARE(request->address, address);
    QCOMPARE(request->port, port);
    QCOMPARE(request->user, user);
}

void TestServerProtocol::requestUndecodable_data()
{
    QTest::addColumn<QString>("data");

    QTest::newRow("empty") << "";
    QTest::newRow("tag only") << "<rqst>";
    QTest::newRow("no </rqst>") << "<rqst>hi<addr>1.2.3.4<port>5000<user>bob";
    QTest::newRow("no <user>") << "<rqst>hi<addr>1.2.3.4<port>5000 bob</rqst>";
    QTest::newRow("no <port>") << "<rqst>hi<addr>1.2.3.4<user>bob</rqst>";
    QTest::newRow("no <addr>") << "<rqst>hi<port>5000<user>bob</rqst>";
    QTest::newRow("no <rqst>") << "hi<addr>1.2.3.4<port>5000<user>bob</rqst>";
    QTest::newRow("port before addr") << "<rqst>hi<port>5000<addr>1.2.3.4<user>bob</rqst>";
    QTest::newRow("rqst after addr") << "<addr>1.2.3.4<rqst>hi<port>5000<user>bob</rqst>";
    QTest::newRow("closing tag first") << "</rqst><rqst>hi<addr>1.2.3.4<port>5000<user>bob";
}

void TestServerProtocol::requestUndecodable()
{
    QFETCH(QString, data);
    QVERIFY(!SP::cutRequest(data));
}

// Whatever MESSAGE holds, however long, the builder's request cuts back into the same fields.
void TestServerProtocol::requestRoundTrip()
{
    const QStringList pieces{"<", ">", "r>", "<rqst>", "<addr>", "<port>", "<user>", "</rqst>",
                             "<ADDR>", "m", " ", "\u00fc"};
    QRandomGenerator rng(11);
    for (int i = 0; i < 5000; ++i) {
        QString message;
        for (int n = int(rng.bounded(40)); n > 0; --n)
            message += pieces.at(rng.bounded(int(pieces.size())));
        const auto request = SP::cutRequest(SP::requestMessage(message, "10.1.2.3", "5999", "r>x"));
        QVERIFY2(request, qPrintable(message));
        QCOMPARE(request->message, message);
        QCOMPARE(request->address, "10.1.2.3");
        QCOMPARE(request->port, "5999");
        QCOMPARE(request->user, "r>x");
    }
}

void TestServerProtocol::acceptableRequest_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("acceptable");

    QTest::newRow("ordinary") << "192.168.1.20" << "5123" << true;
    QTest::newRow("lowest port") << "10.0.0.1" << "5000" << true;
    QTest::newRow("highest port") << "10.0.0.1" << "6000" << true;
    QTest::newRow("bounds of parts") << "0.0.0.0" << "5500" << true;
    QTest::newRow("255s") << "255.255.255.255" << "5500" << true;
    QTest::newRow("port with a leading zero") << "10.0.0.1" << "05000" << true;

    QTest::newRow("port below") << "10.0.0.1" << "4999" << false;
    QTest::newRow("port above") << "10.0.0.1" << "6001" << false;
    QTest::newRow("port above 32767") << "10.0.0.1" << "40000" << false;
    QTest::newRow("port huge") << "10.0.0.1" << "99999999999999999999" << false;
    QTest::newRow("port empty") << "10.0.0.1" << "" << false;
    QTest::newRow("port signed") << "10.0.0.1" << "+5000" << false;
    QTest::newRow("port blank") << "10.0.0.1" << " 5000" << false;
    QTest::newRow("port hex") << "10.0.0.1" << "0x1388" << false;
    QTest::newRow("port fraction") << "10.0.0.1" << "5000.5" << false;
    QTest::newRow("port arabic-indic digits") << "10.0.0.1" << "\u0665\u0660\u0660\u0660" << false;

    QTest::newRow("three parts") << "10.0.1" << "5000" << false;
    QTest::newRow("five parts") << "10.0.0.1.2" << "5000" << false;
    QTest::newRow("part above 255") << "10.0.0.256" << "5000" << false;
    QTest::newRow("empty part") << "10..0.1" << "5000" << false;
    QTest::newRow("trailing dot") << "10.0.0.1." << "5000" << false;
    QTest::newRow("leading zero") << "10.0.0.01" << "5000" << false;
    QTest::newRow("blank") << " 10.0.0.1" << "5000" << false;
    QTest::newRow("host name") << "example.org" << "5000" << false;
    QTest::newRow("localhost") << "localhost" << "5000" << false;
    QTest::newRow("ipv6") << "::1" << "5000" << false;
    QTest::newRow("negative part") << "10.0.-1.1" << "5000" << false;
    QTest::newRow("fullwidth digit") << "\uff11.0.0.1" << "5000" << false;
    QTest::newRow("empty") << "" << "5000" << false;
    QTest::newRow("with port") << "10.0.0.1:5000" << "5000" << false;
}

void TestServerProtocol::acceptableRequest()
{
    QFETCH(QString, address);
    QFETCH(QString, port);
    QFETCH(bool, acceptable);

    const SP::Request request{"hi", address, port, "bob"};
    QCOMPARE(SP::isAcceptableRequest(request), acceptable);
    if (acceptable)
        QCOMPARE(SP::requestPort(port), std::optional<quint16>(port.toUShort()));
}

QTEST_APPLESS_MAIN(TestServerProtocol)
#include "tst_serverprotocol.moc"
