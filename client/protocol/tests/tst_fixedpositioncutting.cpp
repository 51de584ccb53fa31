// The tag-anchored field cutting against the old fixed-position cutting.
//
// The old rules found each field by searching marker texts from fixed character positions. They
// are written out again below, only here, as an oracle. On every message that they decode right
// (random well-formed messages whose fields keep within their limits) the new cutting must give
// the very same fields; on the messages they get wrong, the new cutting must give the true fields.

#include "serverprotocol.h"

#include <QRandomGenerator>
#include <QTest>

using namespace quillet;
using SP_Request = ServerProtocol::Request;

namespace {

// ---------------------------------------------------------------------------------------------
// The oracle: positions are 1-based; a search gives the first occurrence at or after p, or 0.

int search(int p, const QString &s, const QString &marker, Qt::CaseSensitivity cs)
{
    if (p > s.size())
        return 0;
    const qsizetype i = s.indexOf(marker, p - 1, cs);
    return i < 0 ? 0 : int(i) + 1;
}

// The b - a - k characters from position a + k; a negative length cannot be cut.
std::optional<QString> cutBetween(const QString &s, int a, int b, int k)
{
    if (b - a - k < 0)
        return std::nullopt;
    return s.mid(a + k - 1, b - a - k);
}

constexpr auto Any = Qt::CaseInsensitive;
constexpr auto Exact = Qt::CaseSensitive;

struct Room {
    QString text, style, name;
    bool operator==(const Room &) const = default;
};

std::optional<Room> oracleRoom(const QString &s)
{
    const auto text = cutBetween(s, search(3, s, ">", Any), search(4, s, "<", Exact), 1);
    const auto name = cutBetween(s, search(10, s, "r>", Any), search(22, s, "</user>", Exact), 2);
    const auto style = cutBetween(s, search(3, s, "<style>", Any), search(4, s, "<user>", Any), 7);
    if (!text || !name || !style)
        return std::nullopt;
    return Room{*text, *style, *name};
}

// At most four names for an addition; a removal reads only the first one.
std::optional<QStringList> oracleUserList(const QString &s)
{
    const auto list = cutBetween(s, search(3, s, ">", Any), search(4, s, "<", Exact), 1);
    if (!list)
        return std::nullopt;
    int comma = search(2, *list, ",", Any);
    if (comma - 1 < 0)
        return std::nullopt;
    QStringList names{list->left(comma - 1)};
    for (int i = 0; i < 3; ++i) {
        const int next = search(comma + 1, *list, ",", Any);
        if (next == 0)
            break;
        names.append(list->mid(comma, next - comma - 1));
        comma = next;
    }
    return names;
}

struct Req {
    QString message, address, port, user;
    bool operator==(const Req &) const = default;
};

std::optional<Req> oracleRequest(const QString &s)
{
    const auto message = cutBetween(s, search(4, s, ">", Any), search(6, s, "<", Exact), 1);
    const auto address = cutBetween(s, search(12, s, "r>", Any), search(24, s, "<port>", Exact), 2);
    const auto port = cutBetween(s, search(18, s, "<port>", Any), search(19, s, "<user>", Any), 6);
    const auto user = cutBetween(s, search(30, s, "r>", Any), search(35, s, "</rqst>", Exact), 2);
    if (!message || !address || !port || !user)
        return std::nullopt;
    return Req{*message, *address, *port, *user};
}

// ---------------------------------------------------------------------------------------------
// The new cutting, in the same shapes.

std::optional<Room> newRoom(const QString &s)
{
    const auto r = ServerProtocol::cutRoomMessage(s);
    if (!r)
        return std::nullopt;
    return Room{r->text, r->style, r->name};
}

std::optional<Req> newRequest(const QString &s)
{
    const auto r = ServerProtocol::cutRequest(s);
    if (!r)
        return std::nullopt;
    return Req{r->message, r->address, r->port, r->user};
}

QString show(const std::optional<Room> &r)
{
    return r ? QStringLiteral("[%1|%2|%3]").arg(r->text, r->style, r->name) : QStringLiteral("none");
}

QString show(const std::optional<Req> &r)
{
    return r ? QStringLiteral("[%1|%2|%3|%4]").arg(r->message, r->address, r->port, r->user)
             : QStringLiteral("none");
}

// ---------------------------------------------------------------------------------------------
// Random well-formed messages.

class Gen
{
public:
    explicit Gen(quint32 seed) : m_rng(seed) {}

    int between(int lo, int hi) { return int(m_rng.bounded(lo, hi + 1)); }
    bool coin() { return m_rng.bounded(2) == 0; }

    // Free text of `length` characters, with no "<" and, if `noRAngle`, no "r>" in any case.
    QString text(int length, bool noRAngle = true, bool noComma = false)
    {
        static const QString alphabet = QStringLiteral(
            "abcdefghijklmnopqrRstuvwxyzABCDEFGHIJ0123456789 .,;:!?'\"&/>=-_()[]{}\u00e9\u00fc\u00df\u00ff\t");
        QString s;
        while (s.size() < length) {
            const QChar c = alphabet.at(m_rng.bounded(int(alphabet.size())));
            if (noComma && c == u',')
                continue;
            if (noRAngle && c == u'>' && !s.isEmpty() && s.back().toLower() == u'r')
                continue;
            s.append(c);
        }
        return s;
    }

    // The tag in a random mixture of letter cases.
    QString anyCase(const QString &tag)
    {
        QString s = tag;
        for (QChar &c : s)
            if (coin())
                c = c.toUpper();
        return s;
    }

    QString ipv4()
    {
        return QStringLiteral("%1.%2.%3.%4").arg(between(0, 255)).arg(between(0, 255))
            .arg(between(0, 255)).arg(between(0, 255));
    }

private:
    QRandomGenerator m_rng;
};

constexpr quint32 Seed = 0x51a7e;
constexpr int Rounds = 20000;

} // namespace

class TestFixedPositionCutting : public QObject
{
    Q_OBJECT

private slots:
    void roomMessagesAgree();
    void requestsAgree();
    void userListsAgree();
    void oracleWrongRoom_data();
    void oracleWrongRoom();
    void oracleWrongRequest_data();
    void oracleWrongRequest();
    void oracleWrongUserList();
};

// TEXT without "<" and "r>", STYLE without "<" and "r>", NAME without "<": the old rules decode
// these right, and the new ones must give the same fields; a message cut short gives nothing.
void TestFixedPositionCutting::roomMessagesAgree()
{
    Gen gen(Seed);
    const QStringList styles{"B", "I", "BI", "N", "", "b", "x"};
    for (int i = 0; i < Rounds; ++i) {
        const Room want{gen.text(gen.between(0, 40)),
                        gen.coin() ? styles.at(gen.between(0, int(styles.size()) - 1))
                                   : gen.text(gen.between(0, 3)),
                        gen.text(gen.between(0, 16), false)};
        const QString wire = gen.anyCase("<message>") + want.text + gen.anyCase("<style>")
            + want.style + gen.anyCase("<user>") + want.name + "</user></message>";

        const auto old = oracleRoom(wire);
        const auto now = newRoom(wire);
        if (old != want || now != want)
            QFAIL(qPrintable(QStringLiteral("%1: old %2, new %3").arg(wire, show(old), show(now))));

        const QString cut = wire.left(gen.between(0, int(wire.size()) - 1));
        if (ServerProtocol::cutRoomMessage(cut))
            QFAIL(qPrintable("a truncated room message was cut: " + cut));
    }
}

// 1 <= L <= 18, L + A >= 11, no "<" or "r>" in MESSAGE, ADDRESS and PORT, no "<" in USER.
void TestFixedPositionCutting::requestsAgree()
{
    Gen gen(Seed + 1);
    for (int i = 0; i < Rounds; ++i) {
        Req want;
        if (gen.coin()) {
            want.address = gen.ipv4();
            want.message = gen.text(gen.between(qMax(1, 11 - int(want.address.size())), 18));
        } else {
            want.message = gen.text(gen.between(1, 18));
            want.address = gen.text(gen.between(qMax(0, 11 - int(want.message.size())), 20));
        }
        want.port = gen.coin() ? QString::number(gen.between(0, 70000)) : gen.text(gen.between(0, 6));
        want.user = gen.text(gen.between(0, 16), false);
        const QString wire = gen.anyCase("<rqst>") + want.message + gen.anyCase("<addr>")
            + want.address + "<port>" + want.port + gen.anyCase("<user>") + want.user + "</rqst>";

        const auto old = oracleRequest(wire);
        const auto now = newRequest(wire);
        if (old != want || now != want)
            QFAIL(qPrintable(QStringLiteral("%1: old %2, new %3").arg(wire, show(old), show(now))));

        const QString cut = wire.left(gen.between(0, int(wire.size()) - 1));
        if (ServerProtocol::cutRequest(cut))
            QFAIL(qPrintable("a truncated request was cut: " + cut));
    }
}

// Up to four non-empty names without "," and "<" agree in full; beyond four the old rules stop,
// and the first four still agree. A removal's first name agrees.
void TestFixedPositionCutting::userListsAgree()
{
    Gen gen(Seed + 2);
    for (int i = 0; i < Rounds; ++i) {
        QStringList names;
        const int count = gen.between(1, 8);
        for (int n = 0; n < count; ++n)
            names.append(gen.text(gen.between(1, 12), false, true));
        const bool addition = gen.coin();
        const QString tag = addition ? QStringLiteral("<add usr") + (gen.coin() ? ">" : "s>")
                                     : gen.anyCase("<rem usr>");
        const QString wire = tag + names.join(u',') + u',' + gen.text(gen.between(0, 5), false, true)
            + (addition ? "</add usr>" : "</rem usr>");

        const auto old = oracleUserList(wire);
        const auto now = ServerProtocol::cutUserList(wire);
        QVERIFY2(old && now, qPrintable(wire));
        QCOMPARE(*now, names);
        if (addition)
            QCOMPARE(*old, names.first(qMin(count, 4)));
        else
            QCOMPARE(old->first(), now->first());

        const QString cut = wire.left(gen.between(0, int(wire.size()) - 1));
        const auto partial = ServerProtocol::cutUserList(cut);
        if (partial && *partial != names)
            QFAIL(qPrintable("a truncated user list gave other names: " + cut));
    }
}

// Room messages that the old rules get wrong.
void TestFixedPositionCutting::oracleWrongRoom_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("style");
    QTest::addColumn<QString>("name");

    QTest::newRow("\"<\" in the middle") << "a<b" << "N" << "bob";
    QTest::newRow("word ending in r before \">\"") << "for> you" << "B" << "bob";
    QTest::newRow("a style tag") << "try <style>BI here" << "I" << "bob";
    QTest::newRow("a whole room message") << "<message>x<style>B<user>eve</user></message>"
                                          << "BI" << "bob";
    QTest::newRow("html") << "<b>bold</b> <img src=x>" << "N" << "bob";
}

void TestFixedPositionCutting::oracleWrongRoom()
{
    QFETCH(QString, text);
    QFETCH(QString, style);
    QFETCH(QString, name);
    const QString wire = ServerProtocol::roomMessage(text, style, name);
    const Room want{text, style, name};
    QVERIFY2(oracleRoom(wire) != want, qPrintable(show(oracleRoom(wire))));
    QCOMPARE(show(newRoom(wire)), show(want));
}

// Requests that the old rules get wrong.
void TestFixedPositionCutting::oracleWrongRequest_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("address");

    QTest::newRow("19 characters") << "nineteen characters" << "192.168.1.20";
    QTest::newRow("200 characters") << QString(200, u'm') << "192.168.1.20";
    QTest::newRow("empty") << "" << "192.168.1.20";
    QTest::newRow("one letter, short address") << "x" << "10.0.0.2";
    QTest::newRow("\"<\" in it") << "a<b" << "192.168.1.20";
    QTest::newRow("\"r>\" in it") << "a longer> text" << "192.168.1.20";
    QTest::newRow("tags in it") << "<addr>6.6.6.6<port>1<user>mallory</rqst>" << "192.168.1.20";
}

void TestFixedPositionCutting::oracleWrongRequest()
{
    QFETCH(QString, message);
    QFETCH(QString, address);
    const QString wire = ServerProtocol::requestMessage(message, address, "5123", "alice");
    const Req want{message, address, "5123", "alice"};
    QVERIFY2(oracleRequest(wire) != want, qPrintable(show(oracleRequest(wire))));
    QCOMPARE(show(newRequest(wire)), show(want));
}

// The old rules stop after four names; every name is taken now.
void TestFixedPositionCutting::oracleWrongUserList()
{
    const QString wire = "<add usr>ann,bob,cid,dan,eve,</add usr>";
    const QStringList all{"ann", "bob", "cid", "dan", "eve"};
    QCOMPARE(*oracleUserList(wire), all.first(4));
    QCOMPARE(*ServerProtocol::cutUserList(wire), all);
}

QTEST_APPLESS_MAIN(TestFixedPositionCutting)
#include "tst_fixedpositioncutting.moc"
