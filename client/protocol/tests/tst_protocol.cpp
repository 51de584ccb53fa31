// The protocols as pure functions: classifying what the client gets from the server and from a
// chat partner, cutting the server's fields, framing the peer stream. The server's fields are cut
// between their own tags, so free text may hold anything. (Messages built and cut back, and file
// messages read back as built: the fuzz targets, which replay their corpora in every test run.)
#include "filemessages.h"
#include "peerextensions.h"
#include "peerprotocol.h"
#include "serverprotocol.h"
#include "strokemessages.h"

#include <QTest>

namespace SP = quillet::ServerProtocol;
namespace PP = quillet::PeerProtocol;
namespace PE = quillet::PeerExtensions;
namespace SM = quillet::StrokeMessages;
namespace FM = quillet::FileMessages;
Q_DECLARE_METATYPE(SP::Kind)
Q_DECLARE_METATYPE(PP::Kind)

namespace {

// The fields of a message of that kind in order; none when it cannot be cut or has no fields.
QStringList fieldsOf(SP::Kind kind, const QString &s)
{
    if (kind == SP::Kind::Room) {
        const auto r = SP::cutRoomMessage(s);
        return r ? QStringList{r->text, r->style, r->name} : QStringList();
    }
    if (kind == SP::Kind::Request) {
        const auto r = SP::cutRequest(s);
        return r ? QStringList{r->message, r->address, r->port, r->user} : QStringList();
    }
    if (kind == SP::Kind::UserBusy || kind == SP::Kind::UserFree) {
        const auto name = SP::cutStatusUser(s);
        return name ? QStringList{*name} : QStringList();
    }
    const bool list = kind == SP::Kind::UserAdded || kind == SP::Kind::UserRemoved;
    return list ? SP::cutUserList(s).value_or(QStringList()) : QStringList();
}

// A file message as read, in one line ("" when it is none).
QString fileFields(const FM::Message &m)
{
    static const char *const types[] = {"", "offer", "accept", "refuse", "data", "end", "done", "cancel"};
    if (m.type == FM::Type::None)
        return {};
    QString s = QStringLiteral("%1 %2").arg(QLatin1StringView(types[int(m.type)])).arg(m.id);
    if (m.type == FM::Type::Offer)
        s += QStringLiteral(" %1 %2 %3").arg(m.size).arg(m.kind == FM::Kind::Picture ? "picture" : "file", m.name);
    if (m.type == FM::Type::Data || m.type == FM::Type::End)
        s += u' ' + QString::fromLatin1(m.bytes.toHex());
    if (m.type == FM::Type::Cancel)
        s += (m.role == FM::Role::Sender ? QStringLiteral(" sender ") : QStringLiteral(" receiver ")) + m.reason;
    return s;
}

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    // Each server message's kind, by markers, case rules and order, and its fields as that kind
    // (none: it cannot be cut).
    void serverMessages()
    {
        using K = SP::Kind;
        const struct { const char *tag, *data; K kind; QStringList fields = {}; } rows[] = {
            {"login successful", "login successful", K::LoginAccepted}, {"login fail", "login fail", K::LoginRefused},
            {"login failed", "login failed", K::Room}, {"add, anywhere", "xx<add usrs>alice,<", K::UserAdded, {"alice"}},
            {"add in capitals is not an addition", "<ADD USR>alice,</ADD USR>", K::Room},
            {"remove, any case", "<REM USR>alice,</REM USR>", K::UserRemoved, {"alice"}},
            {"busy, any case", "<BsY uSr>alice</bsy usr>", K::UserBusy, {"alice"}},
            {"free, anywhere, to the next <", "x<Fre Usr>bo b<b>", K::UserFree, {"bo b"}},
            {"free, no < after the name", "<fre usr>alice", K::UserFree},
            {"busy, empty name", "<bsy usr></bsy usr><fre usr>bob</fre usr>", K::UserBusy},
            {"request, any case", "<RQST>hi", K::Request},
            {"add before remove", "<add usr>b,<rem usr>a,", K::UserAdded, {"b"}}, {"remove before busy", "<bsy usr><rem usr>a,", K::UserRemoved},
            {"busy before free", "<fre usr><bsy usr>", K::UserBusy}, {"free before request", "<rqst><fre usr>", K::UserFree},
            {"request before room", "<message><rqst><style>N<user>bob</user></message>", K::Request},

            {"room text with < and r>", "<message>a<b for> you<style>B<user>bob</user></message>", K::Room, {"a<b for> you", "B", "bob"}},
            {"room text holding a room message", "<message>x<style>I<user>eve</user></message>y<style>BI<user>bob</user></message>", K::Room, {"x<style>I<user>eve</user></message>y", "BI", "bob"}},
            {"room, text after the end", "<message>hi<style>N<user>bob</user></message>\r\n", K::Room, {"hi", "N", "bob"}},
            {"room, style after user", "<message>hi<user>bob<style>N</user></message>", K::Room},

            {"request, 19-character message", "<rqst>nineteen characters<addr>10.0.0.2<port>5000<user>alice</rqst>", K::Request, {"nineteen characters", "10.0.0.2", "5000", "alice"}},
            {"request, empty message", "<rqst><addr>192.168.1.20<port>5000<user>alice</rqst>", K::Request, {"", "192.168.1.20", "5000", "alice"}},
            {"request, message holding tags", "<rqst>see <addr>6.6.6.6<port>1<user>x</rqst> ok<addr>10.0.0.2<port>5000<user>bob</rqst>", K::Request, {"see <addr>6.6.6.6<port>1<user>x</rqst> ok", "10.0.0.2", "5000", "bob"}},
            {"request, port before addr", "<rqst>hi<port>5000<addr>1.2.3.4<user>bob</rqst>", K::Request},

            {"list of five, all taken", "<add usr>a,b,c,d,e,</add usr>", K::UserAdded, {"a", "b", "c", "d", "e"}},
            {"list, empty names skipped", "<add usr>,alice,,bob,</add usr>", K::UserAdded, {"alice", "bob"}},
            {"list ends at the first <", "<add usr>alice,<b>bob,</b></add usr>", K::UserAdded, {"alice"}},
            {"list, no comma", "<add usr>alice</add usr>", K::UserAdded},
        };
        for (const auto &[tag, data, kind, fields] : rows)
            QVERIFY2(SP::classify(data) == kind && fieldsOf(kind, data) == fields, tag);
    }

    void acceptableRequest()
    {
        const struct { const char *tag, *address, *port; bool acceptable; } rows[] = {
            {"lowest port, smallest parts", "0.0.0.0", "5000", true},
            {"highest port, largest parts", "255.255.255.255", "6000", true},
            {"port with a leading zero", "10.0.0.1", "05000", true}, {"port below", "10.0.0.1", "4999", false},
            {"port above", "10.0.0.1", "6001", false}, {"port huge", "10.0.0.1", "99999999999999999999", false},
            {"port signed", "10.0.0.1", "+5000", false},
            {"port in other digits", "10.0.0.1", "\u0665\u0660\u0660\u0660", false},
            {"three parts", "10.0.1", "5000", false}, {"part above 255", "10.0.0.256", "5000", false},
            {"leading zero", "10.0.0.01", "5000", false},
        };
        for (const auto &[tag, address, port, acceptable] : rows) {
            QVERIFY2(SP::isAcceptableRequest({"hi", address, port, "bob"}) == acceptable, tag);
            if (acceptable)
                QCOMPARE(SP::requestPort(QString::fromUtf8(port)), std::optional<quint16>(QString(port).toUShort()));
        }
    }

    void peerClassify()
    {
        using K = PP::Kind;
        const struct { const char *tag; QString text; K kind; QString detail = {}; int count = 0; } rows[] = {
            {"close", "<close>", K::Close}, {"accept", "<chat reply>accept</chat reply>", K::Accept},
            {"accept with more", "<chat reply>accept</chat reply>x", K::Ignored},
            {"refuse, any case, with reason", "<CHAT REPLY>REFUSE</CHAT REPLY>in a meeting", K::Refuse, "in a meeting"},
            {"reason holding the closing tag", "<chat reply>refuse</chat reply>a</chat reply>b", K::Refuse, "a</chat reply>b"},
            {"closing tag only before the marker", "</chat reply><chat reply>refuse", K::Refuse},
            {"refuse before character", "<a><chat reply>refuse", K::Refuse},
            {"character", "<a>h</a>", K::Character, "h"},
            {"character, closing tag unread", "xaxy", K::Character, "y"}, {"character, too short", "<a>", K::Ignored},
            {"capital A", "<A>h</A>", K::Ignored}, {"delete", "<d>1 </d>", K::Delete, {}, 1},
            {"delete, count not a digit", "<d>x </d>", K::Delete, {}, 0},
            {"delete, other digit script", "<d>\u0663</d>", K::Delete, {}, 0}, {"capital D", "<D>1 </D>", K::Ignored},
            {"empty", "", K::Ignored}, {"extension, by name", PE::hello(), K::Extension, "hello"},
            {"extension, malformed", "<xhello>canvas", K::Ignored},
            {"extension: strokes", SM::drawMessages({{1, QLine(1, 2, 3, 4)}}).value(0), K::Extension, "draw"},
        };
        for (const auto &[tag, text, kind, detail, count] : rows) {
            const PP::Message m = PP::classify(text);
            const QString got = kind == PP::Kind::Character ? QString(m.character) : kind == PP::Kind::Extension ? m.extension : m.reason;
            QVERIFY2(m.kind == kind && got == detail && m.count == count, tag);
        }
    }

    // Extension messages: the name is read only from a well-formed message; a hello lists features.
    void peerExtensions()
    {
        const struct { const char *text; const char *name; } rows[] = {
            {"<xhello>canvas,file</xhello>", "hello"}, {"<xs></xs>", "s"},
            {"<xhello>canvas</xhellp>", ""}, {"<xhello>a<b</xhello>", ""}, {"<xHello>a</xHello>", ""},
            {"<x>a</x>", ""}, {"<xhello>canvas", ""}, {"xhello>a</xhello>", ""}, {"<xs></xs", ""},
        };
        for (const auto &row : rows)
            QCOMPARE(PE::name(QString::fromLatin1(row.text)), QString::fromLatin1(row.name));
        QCOMPARE(PE::name(PE::build(u"s", QString(100, u'1')), 50), QString());
        QCOMPARE(PE::parseHello(PE::hello()), PE::ownFeatures());
        QCOMPARE(PE::parseHello("<xhello>canvas,,smell</xhello>"), QStringList({"canvas", "smell"}));
        QVERIFY(!PE::parseHello("<xs>canvas</xs>"));
        QVERIFY(!PE::parseHello(PE::hello(QStringList(33, "a"))));
    }

    // Received stroke messages: segments cut to the drawing area grown by 2 pixels (0..376 x
    // 0..168, so -2..379 x -2..171 in QRectF terms), malformed or out-of-palette ones ignored whole.
    void strokeMessages()
    {
        const struct { const char *tag, *text, *parsed; } rows[] = { // parsed: "-" ignored, "clear", else the segments
            {"dot", "<xdraw>1,10,20,10,20</xdraw>", "1,10,20,10,20"},
            {"segments in order, corners", "<xdraw>15,0,0,376,168;0,-2,171,379,-2</xdraw>", "15,0,0,376,168;0,-2,171,379,-2"},
            {"far end cut", "<xdraw>1,100,100,99999,100</xdraw>", "1,100,100,379,100"},
            {"both ends cut", "<xdraw>2,-500,50,900,50;3,-99999,-99999,99999,99999</xdraw>", "2,-2,50,379,50;3,-2,-2,171,171"},
            {"wholly outside: dropped", "<xdraw>1,-50,-50,-40,-60;4,400,10,400,10;5,1,1,2,2</xdraw>", "5,1,1,2,2"},
            {"leading zeros", "<xdraw>01,-0,007,1,1</xdraw>", "1,0,7,1,1"}, {"clear", "<xclear></xclear>", "clear"},
            {"clear with a body", "<xclear>1</xclear>", "-"}, {"colour 16", "<xdraw>16,0,0,1,1</xdraw>", "-"},
            {"colour of 3 digits", "<xdraw>001,0,0,1,1</xdraw>", "-"},
            {"6 digits", "<xdraw>1,100000,0,0,0</xdraw>", "-"}, {"a field short", "<xdraw>1,0,0,1</xdraw>", "-"},
            {"one bad segment spoils all", "<xdraw>1,0,0,1,1;1,0,0,1,x</xdraw>", "-"},
            {"empty", "<xdraw></xdraw>", "-"}, {"empty segment", "<xdraw>1,0,0,1,1;;1,0,0,1,1</xdraw>", "-"},
            {"plus sign", "<xdraw>1,+1,0,1,1</xdraw>", "-"}, {"other name", "<xDRAW>1,0,0,1,1</xDRAW>", "-"},
        };
        for (const auto &[tag, text, parsed] : rows) {
            const std::optional<SM::Strokes> strokes = SM::parse(QString::fromLatin1(text));
            QStringList segments;
            for (const SM::Segment &s : strokes ? strokes->segments : QList<SM::Segment>())
                segments << QStringLiteral("%1,%2,%3,%4,%5").arg(s.colour).arg(s.line.x1()).arg(s.line.y1()).arg(s.line.x2()).arg(s.line.y2());
            QVERIFY2((!strokes ? "-" : strokes->clear ? "clear" : segments.join(u';')) == QLatin1StringView(parsed), tag);
        }
    }

    // Built stroke messages: cut like received ones, invisible and out-of-palette segments left
    // out, at most MaxSegments a message (one more is refused), and they read back as sent.
    void strokeMessagesBuilt()
    {
        QCOMPARE(SM::drawMessages({{1, QLine(10, 20, 10, 20)}, {16, QLine(1, 1, 2, 2)}, {-1, QLine(1, 1, 2, 2)},
                                   {3, QLine(-50, -50, -40, -60)}, {15, QLine(-1000, 84, 1000, 84)}}),
                 QStringList{"<xdraw>1,10,20,10,20;15,-2,84,379,84</xdraw>"});
        QCOMPARE(SM::drawMessages({{3, QLine(-50, -50, -40, -60)}}), QStringList());
        QCOMPARE(SM::clearMessage(), u"<xclear></xclear>");
        QList<SM::Segment> many;
        for (int i = 0; i < 2 * SM::MaxSegments + 1; ++i)
            many.append({i % SM::ColourCount, QLine(i % 377, -99999, 376 - i % 377, 99999)});
        const QStringList messages = SM::drawMessages(many);
        QCOMPARE(messages.size(), 3);
        QList<SM::Segment> back;
        for (const QString &m : messages)
            back += SM::parse(m).value_or(SM::Strokes{}).segments;
        QCOMPARE(back.size(), many.size());
        for (qsizetype i = 0; i < many.size(); ++i)
            QCOMPARE(back[i], (SM::Segment{many[i].colour, SM::clip(many[i].line).value()}));
        QString tooMany = messages.first();
        tooMany.insert(tooMany.indexOf(u'>') + 1, QStringLiteral("1,0,0,0,0;"));
        QVERIFY(!SM::parse(tooMany));
    }

    // File messages read field by field; anything off the grammar is no file message at all.
    void fileMessages()
    {
        const struct { const char *tag; QString body; const char *name; QString fields = {}; } rows[] = {
            {"offer", "7,1024,picture,a%20b.txt", "fileoffer", "offer 7 1024 picture a b.txt"},
            {"offer, largest size and ID, UTF-8 name", "999999999,9223372036854775807,file,%E2%82%AC%2F..", "fileoffer", "offer 999999999 9223372036854775807 file \u20ac/.."},
            {"offer, empty file", "1,0,file,x", "fileoffer", "offer 1 0 file x"},
            {"size beyond 63 bits", "1,9223372036854775808,file,x", "fileoffer"},
            {"negative size", "1,-1,file,x", "fileoffer"}, {"ID zero", "0,1,file,x", "fileoffer"},
            {"ID of ten digits", "1000000000,1,file,x", "fileoffer"}, {"unknown kind", "1,1,movie,x", "fileoffer"},
            {"name, bare comma", "1,1,file,a,b", "fileoffer"}, {"name, cut escape", "1,1,file,a%4", "fileoffer"},
            {"name, no UTF-8", "1,1,file,%FF", "fileoffer"},
            {"name too long", "1,1,file," + QString(FM::MaxNameBytes + 1, u'a'), "fileoffer"},
            {"accept", "5", "fileaccept", "accept 5"}, {"accept with more", "5,", "fileaccept"},
            {"done", "5", "filedone", "done 5"},
            {"data, escapes and plain bytes", QString::fromLatin1("3,\x01" "@A\x01" "|\x01" "A\xff"), "filedata", "data 3 80c1bc817f"},
            {"data, unknown escape", "3,\x01" "B", "filedata"}, {"data empty", "3,", "filedata"},
            {"data, a byte too many", "3," + QString(FM::MaxChunk + 1, u'a'), "filedata"},
            {"end", "2," + QString(64, u'a'), "fileend", "end 2 " + QString(64, u'a')},
            {"end, capital hex", "2," + QString(64, u'A'), "fileend"},
            {"cancel", "4,receiver,size", "filecancel", "cancel 4 receiver size"},
            {"cancel, reason not a word", "4,sender,Size", "filecancel"}, {"unknown file message", "1", "filefoo"},
        };
        for (const auto &[tag, body, name, fields] : rows) {
            const QString text = PE::build(QString::fromLatin1(name), body);
            const PP::Message m = PP::classify(text);
            QVERIFY2(fileFields(FM::parse(text)) == fields && fileFields(FM::parse(m.extension, m.body)) == fields, tag);
        }
    }

    // Every key code 1..255 goes through keystroke, frame, the framer, Latin-1 and classify and comes
    // out as typed (Enter as a line feed, Backspace as one deletion), Latin-1 both ways; so does a
    // refusal's reason.
    void peerMessagesSurviveTheWire()
    {
        QByteArray stream;
        for (int code = 1; code <= 255; ++code)
            stream += PP::frame(PP::keystroke(code));
        stream += PP::frame(PP::refuseReply(QStringLiteral("busy") + QChar(0) + QStringLiteral("now")));
        quillet::wire::Framer framer;
        framer.feed(stream);
        QList<QByteArray> messages;
        while (framer.hasMessage())
            messages << framer.takeMessage();
        QCOMPARE(messages.size(), 256);
        for (int code = 1; code <= 255; ++code) {
            const PP::Message m = PP::classify(quillet::wire::fromLatin1(messages.at(code - 1)));
            QCOMPARE(m.kind, code == 8 ? PP::Kind::Delete : PP::Kind::Character);
            QCOMPARE(code == 8 ? m.count : int(m.character.unicode()), code == 8 ? 1 : code == 13 ? 10 : code);
        }
        QCOMPARE(PP::classify(quillet::wire::fromLatin1(messages.last())).reason, u"busynow");
        // The exact texts another client reads, and nothing to send for a 0 code.
        QCOMPARE(PP::keystroke('h') + PP::keystroke(13) + PP::keystroke(8), u"<a>h</a><a>\n</a><d>1 </d>");
        QCOMPARE(PP::keystroke(0), QString());
        // Latin-1 has no character above 255: one "?" for each (a surrogate pair is one), and "?"
        // for a 0 character, which would end the message early.
        QCOMPARE(PP::frame(QStringLiteral("a") + QChar(0) + QString::fromUtf8("\u20ac\xF0\x9F\x98\x80") + QChar(0xD800)),
                 QByteArray("a????\0", 6));
    }
};

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
