// The protocols as pure functions: classifying what the client gets from the server and from a
// chat partner, cutting the server's fields, framing the peer stream. The server's fields are cut
// between their own tags; the old cutting searched markers from fixed character positions and is
// kept below as an oracle: where it decodes right, the new cutting must agree with it.
#include "peerprotocol.h"
#include "serverprotocol.h"

#include <QRandomGenerator>
#include <QTest>

namespace SP = quillet::ServerProtocol;
namespace PP = quillet::PeerProtocol;
Q_DECLARE_METATYPE(SP::Kind)
Q_DECLARE_METATYPE(PP::Kind)

namespace {

// --- The old cutting: positions are 1-based; a search gives the first occurrence at or after p, or 0.
constexpr auto Exact = Qt::CaseSensitive;
int search(int p, const QString &s, const QString &marker, Qt::CaseSensitivity cs = Qt::CaseInsensitive)
{
    return p > s.size() ? 0 : int(s.indexOf(marker, p - 1, cs)) + 1;
}
// The b - a - k characters from position a + k; a negative length cannot be cut.
std::optional<QString> cutBetween(const QString &s, int a, int b, int k)
{
    return b - a - k < 0 ? std::nullopt : std::optional(s.mid(a + k - 1, b - a - k));
}
// Each gives the fields in order, or an empty list when it cannot cut them.
QStringList oldRoom(const QString &s)
{
    const auto text = cutBetween(s, search(3, s, ">"), search(4, s, "<", Exact), 1);
    const auto name = cutBetween(s, search(10, s, "r>"), search(22, s, "</user>", Exact), 2);
    const auto style = cutBetween(s, search(3, s, "<style>"), search(4, s, "<user>"), 7);
    return text && style && name ? QStringList{*text, *style, *name} : QStringList();
}
QStringList oldRequest(const QString &s)
{
    const auto message = cutBetween(s, search(4, s, ">"), search(6, s, "<", Exact), 1);
    const auto address = cutBetween(s, search(12, s, "r>"), search(24, s, "<port>", Exact), 2);
    const auto port = cutBetween(s, search(18, s, "<port>"), search(19, s, "<user>"), 6);
    const auto user = cutBetween(s, search(30, s, "r>"), search(35, s, "</rqst>", Exact), 2);
    return message && address && port && user ? QStringList{*message, *address, *port, *user} : QStringList();
}
QStringList oldUserList(const QString &s) // at most four names
{
    const auto list = cutBetween(s, search(3, s, ">"), search(4, s, "<", Exact), 1);
    int comma = list ? search(2, *list, ",") : 0;
    if (comma - 1 < 0)
        return {};
    QStringList names{list->left(comma - 1)};
    for (int next; names.size() < 4 && (next = search(comma + 1, *list, ",")) != 0; comma = next)
        names << list->mid(comma, next - comma - 1);
    return names;
}
enum Cut { Room, Request, List };
QStringList (*const newCut[])(const QString &) = {
    [](const QString &s) {
        const auto r = SP::cutRoomMessage(s);
        return r ? QStringList{r->text, r->style, r->name} : QStringList();
    },
    [](const QString &s) {
        const auto r = SP::cutRequest(s);
        return r ? QStringList{r->message, r->address, r->port, r->user} : QStringList();
    },
    [](const QString &s) { return SP::cutUserList(s).value_or(QStringList()); }};
QStringList (*const oldCut[])(const QString &) = {oldRoom, oldRequest, oldUserList};

// --- Random well-formed pieces.
// Free text of min to max characters without "<", and unless asked without "r>" (any case) and ",".
QString text(QRandomGenerator &rng, int min, int max, bool rAngle = false, bool comma = true)
{
    static const QString alphabet = QStringLiteral(
        "abcdefghijklmnopqrRstuvwxyzABCDEFGHIJ0123456789 .,;:!?'\"&/>=-_()[]{}\u00e9\u00fc\u00df\u00ff\t");
    QString s;
    for (const int length = int(rng.bounded(min, max + 1)); s.size() < length;) {
        const QChar c = alphabet.at(rng.bounded(int(alphabet.size())));
        if ((comma || c != u',') && (rAngle || c != u'>' || s.isEmpty() || s.back().toLower() != u'r'))
            s.append(c);
    }
    return s;
}
QString anyCase(QRandomGenerator &rng, QString tag)
{
    for (QChar &c : tag)
        c = rng.bounded(2) ? c.toUpper() : c;
    return tag;
}
// Inserts `count` pieces of tag-like junk at random places.
QString withJunk(QRandomGenerator &rng, QString s, const QStringList &junk, int count)
{
    for (; count > 0; --count)
        s.insert(rng.bounded(int(s.size()) + 1), junk.at(rng.bounded(int(junk.size()))));
    return s;
}

constexpr int Rounds = 20000;

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void classify_data()
    {
        QTest::addColumn<QString>("data");
        QTest::addColumn<SP::Kind>("kind");
        using K = SP::Kind;
        QTest::newRow("login successful") << "login successful" << K::LoginAccepted;
        QTest::newRow("login successful, other case") << "Login successful" << K::Room;
        QTest::newRow("login fail") << "login fail" << K::LoginRefused;
        QTest::newRow("login failed") << "login failed" << K::Room;
        QTest::newRow("add, anywhere") << "xx<add usrs>alice," << K::UserAdded;
        QTest::newRow("add in capitals is not an addition") << "<ADD USR>alice,</ADD USR>" << K::Room;
        QTest::newRow("remove, any case") << "<REM USR>alice,</REM USR>" << K::UserRemoved;
        QTest::newRow("busy, any case") << "<BsY uSr>alice</bsy usr>" << K::UserBusy;
        QTest::newRow("busy without >") << "<bsy usr" << K::Room;
        QTest::newRow("free, any case") << "<Fre Usr>" << K::UserFree;
        QTest::newRow("request, any case") << "<RQST>hi" << K::Request;
        QTest::newRow("room") << "<message>hi<style>N<user>bob</user></message>" << K::Room;
        QTest::newRow("add before remove") << "<rem usr>a,<add usr>b," << K::UserAdded;
        QTest::newRow("remove before busy") << "<bsy usr><rem usr>a," << K::UserRemoved;
        QTest::newRow("busy before free") << "<fre usr><bsy usr>" << K::UserBusy;
        QTest::newRow("free before request") << "<rqst><fre usr>" << K::UserFree;
        QTest::newRow("request before room") << "<message><rqst><style>N<user>bob</user></message>" << K::Request;
    }
    void classify()
    {
        QFETCH(QString, data);
        QFETCH(SP::Kind, kind);
        QCOMPARE(SP::classify(data), kind);
    }

    void cut_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QStringList>("fields"); // none: not decodable
        QTest::addColumn<bool>("mend");          // the old cutting got these fields wrong
        const auto row = [](const char *tag, Cut kind, const char *data, const QStringList &fields, bool mend = false) {
            QTest::newRow(tag) << int(kind) << QString::fromLatin1(data) << fields << mend;
        };
        row("room", Room, "<message>hello<style>N<user>bob</user></message>", {"hello", "N", "bob"});
        row("room, empty fields", Room, "<message><style><user></user></message>", {"", "", ""});
        row("room text with <", Room, "<message>a<b<style>N<user>bob</user></message>", {"a<b", "N", "bob"}, true);
        row("room text with r>", Room, "<message>for> you<style>B<user>bob</user></message>", {"for> you", "B", "bob"}, true);
        row("room text holding a room message", Room,
            "<message>x<style>I<user>eve</user></message>y<style>BI<user>bob</user></message>",
            {"x<style>I<user>eve</user></message>y", "BI", "bob"}, true);
        row("room tags in capitals", Room, "<MESSAGE>hi<STYLE>I<USER>bob</USER></MESSAGE>", {"hi", "I", "bob"});
        row("room, text after the end", Room, "<message>hi<style>N<user>bob</user></message>\r\n", {"hi", "N", "bob"});
        row("room, no <style>", Room, "<message>hi<user>bob</user></message>", {});
        row("room, style after user", Room, "<message>hi<user>bob<style>N</user></message>", {});

        row("request", Request, "<rqst>hello there<addr>192.168.1.20<port>5123<user>alice</rqst>",
            {"hello there", "192.168.1.20", "5123", "alice"});
        row("request, 19-character message", Request, "<rqst>nineteen characters<addr>10.0.0.2<port>5000<user>alice</rqst>",
            {"nineteen characters", "10.0.0.2", "5000", "alice"}, true);
        row("request, empty message", Request, "<rqst><addr>192.168.1.20<port>5000<user>alice</rqst>",
            {"", "192.168.1.20", "5000", "alice"}, true);
        row("request, message holding tags", Request,
            "<rqst>see <addr>6.6.6.6<port>1<user>x</rqst> ok<addr>10.0.0.2<port>5000<user>bob</rqst>",
            {"see <addr>6.6.6.6<port>1<user>x</rqst> ok", "10.0.0.2", "5000", "bob"}, true);
        row("request tags in capitals", Request, "<RQST>hi<ADDR>10.0.0.2<PORT>5000<USER>bob</RQST>", {"hi", "10.0.0.2", "5000", "bob"});
        row("request, text after the end", Request, "<rqst>hi<addr>1.2.3.4<port>5000<user>bob</rqst>\n", {"hi", "1.2.3.4", "5000", "bob"});
        row("request, no <port>", Request, "<rqst>hi<addr>1.2.3.4<user>bob</rqst>", {});
        row("request, port before addr", Request, "<rqst>hi<port>5000<addr>1.2.3.4<user>bob</rqst>", {});

        row("list", List, "<add usr>alice,bob,</add usr>", {"alice", "bob"});
        row("list of five, all taken", List, "<add usr>a,b,c,d,e,</add usr>", {"a", "b", "c", "d", "e"}, true);
        row("list, text after the last comma", List, "<add usr>alice,bob</add usr>", {"alice"});
        row("list removal, any case", List, "<REM USR>carol,</REM USR>", {"carol"});
        row("list, blanks and > kept", List, "<add usr>a>b,c d,</add usr>", {"a>b", "c d"});
        row("list, empty names skipped", List, "<add usr>,alice,,bob,</add usr>", {"alice", "bob"});
        row("list ends at the first <", List, "<add usr>alice,<b>bob,</b></add usr>", {"alice"});
        row("list, no comma", List, "<add usr>alice</add usr>", {});
        row("list, no < after it", List, "<add usr>alice,", {});
        row("list, tag never closed", List, "<add usr", {});
        row("list, addition in capitals", List, "<ADD USR>alice,</ADD USR>", {});
    }
    void cut()
    {
        QFETCH(int, kind);
        QFETCH(QString, data);
        QFETCH(QStringList, fields);
        QFETCH(bool, mend);
        QCOMPARE(newCut[kind](data), fields);
        if (mend)
            QVERIFY(oldCut[kind](data) != fields);
    }

    void acceptableRequest_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("acceptable");
        QTest::newRow("ordinary") << "192.168.1.20" << "5123" << true;
        QTest::newRow("lowest port, smallest parts") << "0.0.0.0" << "5000" << true;
        QTest::newRow("highest port, largest parts") << "255.255.255.255" << "6000" << true;
        QTest::newRow("port with a leading zero") << "10.0.0.1" << "05000" << true;
        QTest::newRow("port below") << "10.0.0.1" << "4999" << false;
        QTest::newRow("port above") << "10.0.0.1" << "6001" << false;
        QTest::newRow("port above 32767") << "10.0.0.1" << "40000" << false;
        QTest::newRow("port huge") << "10.0.0.1" << "99999999999999999999" << false;
        QTest::newRow("port signed") << "10.0.0.1" << "+5000" << false;
        QTest::newRow("port blank") << "10.0.0.1" << " 5000" << false;
        QTest::newRow("port in other digits") << "10.0.0.1" << "\u0665\u0660\u0660\u0660" << false;
        QTest::newRow("three parts") << "10.0.1" << "5000" << false;
        QTest::newRow("part above 255") << "10.0.0.256" << "5000" << false;
        QTest::newRow("leading zero") << "10.0.0.01" << "5000" << false;
        QTest::newRow("host name") << "example.org" << "5000" << false;
        QTest::newRow("other digits") << "\uff11.0.0.1" << "5000" << false;
    }
    void acceptableRequest()
    {
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(bool, acceptable);
        QCOMPARE(SP::isAcceptableRequest({"hi", address, port, "bob"}), acceptable);
        if (acceptable)
            QCOMPARE(SP::requestPort(port), std::optional<quint16>(port.toUShort()));
    }

    // Random room messages that the old cutting decodes right (TEXT and STYLE without "<" and
    // "r>", NAME without "<") cut the same; cut short they cannot be cut; and whatever TEXT
    // holds, a built message cuts back into its fields.
    void roomMessagesAgree()
    {
        QRandomGenerator rng(1);
        const QStringList styles{"B", "I", "BI", "N", "", "b", "x"};
        const QStringList junk{"<", ">", "r>", "R>", "<style>", "<user>", "</user></message>", "<message>", "<STYLE>"};
        for (int i = 0; i < Rounds; ++i) {
            const QStringList want{text(rng, 0, 40),
                                   rng.bounded(2) ? styles.at(rng.bounded(int(styles.size()))) : text(rng, 0, 3),
                                   text(rng, 0, 16, true)};
            const QString wire = anyCase(rng, "<message>") + want[0] + anyCase(rng, "<style>") + want[1]
                               + anyCase(rng, "<user>") + want[2] + "</user></message>";
            QVERIFY2(oldRoom(wire) == want && newCut[Room](wire) == want, qPrintable(wire + " -> " + newCut[Room](wire).join('|')));
            QVERIFY2(!SP::cutRoomMessage(wire.left(rng.bounded(int(wire.size())))), qPrintable(wire));
            const QString odd = withJunk(rng, want[0], junk, rng.bounded(6));
            QCOMPARE(newCut[Room](SP::roomMessage(odd, "BI", want[2])), (QStringList{odd, "BI", want[2]}));
        }
    }

    // Requests with 1 to 18 characters of MESSAGE, 11 or more of MESSAGE and ADDRESS together, no
    // "<" or "r>" in them or PORT and no "<" in USER: the old cutting decodes them right.
    void requestsAgree()
    {
        QRandomGenerator rng(2);
        const QStringList junk{"<", ">", "r>", "<rqst>", "<addr>", "<port>", "<user>", "</rqst>", "<ADDR>"};
        for (int i = 0; i < Rounds; ++i) {
            QStringList want(4);
            if (rng.bounded(2)) {
                want[1] = QStringLiteral("%1.%2.%3.%4").arg(rng.bounded(256)).arg(rng.bounded(256)).arg(rng.bounded(256)).arg(rng.bounded(256));
                want[0] = text(rng, qMax(1, 11 - int(want[1].size())), 18);
            } else {
                want[0] = text(rng, 1, 18);
                want[1] = text(rng, qMax(0, 11 - int(want[0].size())), 20);
            }
            want[2] = rng.bounded(2) ? QString::number(rng.bounded(70001)) : text(rng, 0, 6);
            want[3] = text(rng, 0, 16, true);
            const QString wire = anyCase(rng, "<rqst>") + want[0] + anyCase(rng, "<addr>") + want[1] + "<port>"
                               + want[2] + anyCase(rng, "<user>") + want[3] + "</rqst>";
            QVERIFY2(oldRequest(wire) == want && newCut[Request](wire) == want, qPrintable(wire + " -> " + newCut[Request](wire).join('|')));
            QVERIFY2(!SP::cutRequest(wire.left(rng.bounded(int(wire.size())))), qPrintable(wire));
            const QString odd = withJunk(rng, want[0], junk, rng.bounded(40));
            QCOMPARE(newCut[Request](SP::requestMessage(odd, want[1], "5999", want[3])), (QStringList{odd, want[1], "5999", want[3]}));
        }
    }

    // Up to four names agree in full; beyond four the old cutting stops, and a removal's first
    // name agrees. Cut short, a list gives all its names or none.
    void userListsAgree()
    {
        QRandomGenerator rng(3);
        for (int i = 0; i < Rounds; ++i) {
            QStringList names;
            for (int n = rng.bounded(1, 9); n > 0; --n)
                names << text(rng, 1, 12, true, false);
            const bool addition = rng.bounded(2);
            const QString wire = (addition ? (rng.bounded(2) ? "<add usr>" : "<add usrs>") : anyCase(rng, "<rem usr>"))
                               + names.join(',') + ',' + text(rng, 0, 5, true, false) + (addition ? "</add usr>" : "</rem usr>");
            QCOMPARE(SP::cutUserList(wire).value_or(QStringList()), names);
            const qsizetype read = addition ? qMin<qsizetype>(names.size(), 4) : 1;
            QCOMPARE(oldUserList(wire).mid(0, read), names.first(read));
            const auto partial = SP::cutUserList(wire.left(rng.bounded(int(wire.size()))));
            QVERIFY2(!partial || *partial == names, qPrintable(wire));
        }
    }

    void peerClassify_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<PP::Kind>("kind");
        QTest::addColumn<QString>("detail"); // Character: the character; otherwise the reason
        QTest::addColumn<int>("count");
        using K = PP::Kind;
        const auto row = [](const char *tag, const QString &text, K kind, const QString &detail = {}, int count = 0) {
            QTest::newRow(tag) << text << kind << detail << count;
        };
        row("close", "<close>", K::Close);
        row("close, other case", "<CLOSE>", K::Ignored);
        row("accept", "<chat reply>accept</chat reply>", K::Accept);
        row("accept with more", "<chat reply>accept</chat reply>x", K::Ignored);
        row("refuse", "<chat reply>refuse</chat reply>", K::Refuse);
        row("refuse, any case, with reason", "<CHAT REPLY>REFUSE</CHAT REPLY>in a meeting", K::Refuse, "in a meeting");
        row("refuse anywhere", "xx<chat reply>refuse", K::Refuse);
        row("reason holding the closing tag", "<chat reply>refuse</chat reply>a</chat reply>b", K::Refuse, "a</chat reply>b");
        row("closing tag only before the marker", "</chat reply><chat reply>refuse", K::Refuse);
        row("refuse before character", "<a><chat reply>refuse", K::Refuse);
        row("character", "<a>h</a>", K::Character, "h");
        row("character, closing tag unread", "xaxy", K::Character, "y");
        row("character, too short", "<a>", K::Ignored);
        row("capital A", "<A>h</A>", K::Ignored);
        row("delete", "<d>1 </d>", K::Delete, {}, 1);
        row("delete, count not a digit", "<d>x </d>", K::Delete, {}, 0);
        row("delete, other digit script", "<d>\u0663</d>", K::Delete, {}, 0);
        row("delete, too short", "<d>", K::Delete, {}, 0);
        row("capital D", "<D>1 </D>", K::Ignored);
        row("empty", "", K::Ignored);
    }
    void peerClassify()
    {
        QFETCH(QString, text);
        QFETCH(PP::Kind, kind);
        QFETCH(QString, detail);
        QFETCH(int, count);
        const PP::Message message = PP::classify(text);
        QCOMPARE(message.kind, kind);
        QCOMPARE(kind == PP::Kind::Character ? QString(message.character) : message.reason, detail);
        QCOMPARE(message.count, count);
    }

    // Every key code 1..255 goes through keystroke, frame, Framer, decode and classify and comes
    // out as typed (Enter as a line feed, Backspace as one deletion), Latin-1 both ways; so does a
    // refusal's reason.
    void peerMessagesSurviveTheWire()
    {
        QByteArray stream;
        for (int code = 1; code <= 255; ++code)
            stream += PP::frame(PP::keystroke(code));
        stream += PP::frame(PP::refuseReply(QStringLiteral("busy") + QChar(0) + QStringLiteral("now")));
        const QList<QByteArray> messages = PP::Framer().feed(stream);
        QCOMPARE(messages.size(), 256);
        for (int code = 1; code <= 255; ++code) {
            const PP::Message m = PP::classify(PP::decode(messages.at(code - 1)));
            QCOMPARE(m.kind, code == 8 ? PP::Kind::Delete : PP::Kind::Character);
            QCOMPARE(code == 8 ? m.count : int(m.character.unicode()), code == 8 ? 1 : code == 13 ? 10 : code);
        }
        QCOMPARE(PP::classify(PP::decode(messages.last())).reason, u"busynow");
        QCOMPARE(PP::keystroke(0), QString()); // nothing to send
        // Latin-1 has no character above 255: one "?" for each (a surrogate pair is one), and "?"
        // for a 0 character, which would end the message early.
        QCOMPARE(PP::frame(QStringLiteral("a") + QChar(0) + QString::fromUtf8("\u20ac\xF0\x9F\x98\x80") + QChar(0xD800)),
                 QByteArray("a????\0", 6));
    }

    // Any split of a stream into reads gives back its messages in order, none lost, none merged,
    // but a message over the limit is dropped whole, so the buffer never holds more than that.
    void framerRandomChunks()
    {
        QRandomGenerator rng(4);
        for (int round = 0; round < 500; ++round) {
            QList<QByteArray> kept;
            QByteArray stream;
            for (int n = rng.bounded(1, 30); n > 0; --n) {
                QByteArray message;
                for (int length = rng.bounded(rng.bounded(4) == 0 ? 200 : 12); length > 0; --length)
                    message.append(char(rng.bounded(1, 256)));
                if (message.size() <= 100)
                    kept << message;
                stream += message + '\0';
            }
            PP::Framer framer(100);
            QList<QByteArray> received;
            for (qsizetype pos = 0, length; pos < stream.size(); pos += length) {
                received += framer.feed(stream.mid(pos, length = rng.bounded(1, 40)));
                QVERIFY(framer.pending() <= 100);
            }
            QCOMPARE(received, kept);
            QCOMPARE(framer.pending(), 0);
        }
        PP::Framer framer(8); // clear() also forgets a message being dropped
        framer.feed("123456789");
        framer.clear();
        QCOMPARE(framer.feed(QByteArray("y\0", 2)), QList<QByteArray>{"y"});
    }
};

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
