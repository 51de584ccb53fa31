// The peer protocol: building, classifying, framing and encoding peer messages.

#include "peerprotocol.h"

#include <QRandomGenerator>
#include <QTest>

namespace PP = quillet::PeerProtocol;

Q_DECLARE_METATYPE(PP::Kind)

class TestPeerProtocol : public QObject
{
    Q_OBJECT

private slots:
    void builders_data();
    void builders();

    void classify_data();
    void classify();
    void everyKeystrokeArrives();

    void framerRandomChunks();
    void framerKeepsTail();
    void framerDropsOversizedMessages_data();
    void framerDropsOversizedMessages();

    void encoding_data();
    void encoding();
    void latin1RoundTrip();
};

// --- Building ---

void TestPeerProtocol::builders_data()
{
    QTest::addColumn<QString>("built");
    QTest::addColumn<QString>("wire");

    QTest::newRow("accept") << PP::acceptReply() << "<chat reply>accept</chat reply>";
    QTest::newRow("refuse") << PP::refuseReply() << "<chat reply>refuse</chat reply>";
    QTest::newRow("refuse with reason") << PP::refuseReply("in a meeting")
                                        << "<chat reply>refuse</chat reply>in a meeting";
    QTest::newRow("refuse, 0 characters removed from the reason")
        << PP::refuseReply(QString("busy") + QChar(0) + "now") << "<chat reply>refuse</chat reply>busynow";
    QTest::newRow("close") << PP::closeNotice() << "<close>";
    QTest::newRow("delete") << PP::deleteMessage() << "<d>1 </d>";
    QTest::newRow("Enter is a line feed") << PP::keystroke(13) << "<a>\n</a>";
    QTest::newRow("line feed") << PP::keystroke(10) << "<a>\n</a>";
    QTest::newRow("Backspace is the delete message") << PP::keystroke(8) << "<d>1 </d>";
    QTest::newRow("letter") << PP::keystroke('h') << "<a>h</a>";
    QTest::newRow("control character") << PP::keystroke(1) << QString("<a>") + QChar(1) + "</a>";
    QTest::newRow("tab") << PP::keystroke(9) << "<a>\t</a>";
    QTest::newRow("code 255") << PP::keystroke(255) << "<a>\u00ff</a>";
    QTest::newRow("code 0: nothing") << PP::keystroke(0) << "";
    QTest::newRow("negative: nothing") << PP::keystroke(-3) << "";
}

void TestPeerProtocol::builders()
{
    QFETCH(QString, built);
    QFETCH(QString, wire);
    QCOMPARE(built, wire);
}

// --- Classifying ---

void TestPeerProtocol::classify_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<PP::Kind>("kind");
    QTest::addColumn<QString>("detail"); // Character: the character; Refuse: the reason
    QTest::addColumn<int>("count");

    using K = PP::Kind;
    QTest::newRow("close") << "<close>" << K::Close << "" << 0;
    QTest::newRow("close in capitals") << "<CLOSE>" << K::Ignored << "" << 0;
    QTest::newRow("close with more") << "<close>x" << K::Ignored << "" << 0;

    QTest::newRow("accept") << "<chat reply>accept</chat reply>" << K::Accept << "" << 0;
    QTest::newRow("accept in capitals") << "<chat reply>ACCEPT</chat reply>" << K::Ignored << "" << 0;
    QTest::newRow("accept with more") << "<chat reply>accept</chat reply>x" << K::Ignored << "" << 0;

    QTest::newRow("refuse") << "<chat reply>refuse</chat reply>" << K::Refuse << "" << 0;
    QTest::newRow("refuse with reason") << "<chat reply>refuse</chat reply>in a meeting"
                                        << K::Refuse << "in a meeting" << 0;
    QTest::newRow("refuse in capitals") << "<CHAT REPLY>REFUSE</CHAT REPLY>later"
                                        << K::Refuse << "later" << 0;
    QTest::newRow("refuse anywhere") << "xx<chat reply>refuse" << K::Refuse << "" << 0;
    QTest::newRow("refuse, reason holding the closing tag")
        << "<chat reply>refuse</chat reply>a</chat reply>b" << K::Refuse << "a</chat reply>b" << 0;
    QTest::newRow("closing tag only before the marker")
        << "</chat reply><chat reply>refuse" << K::Refuse << "" << 0;
    QTest::newRow("refuse wins over character") << "<a><chat reply>refuse" << K::Refuse << "" << 0;

    QTest::newRow("character") << "<a>h</a>" << K::Character << "h" << 0;
    QTest::newRow("line feed") << "<a>\n</a>" << K::Character << "\n" << 0;
    QTest::newRow("character, closing tag unread") << "xaxy" << K::Character << "y" << 0;
    QTest::newRow("character, too short") << "<a>" << K::Ignored << "" << 0;
    QTest::newRow("capital A") << "<A>h</A>" << K::Ignored << "" << 0;
    QTest::newRow("two characters in one text show the first") << "<a>h</a><a>i</a>"
                                                               << K::Character << "h" << 0;

    QTest::newRow("delete") << "<d>1 </d>" << K::Delete << "" << 1;
    QTest::newRow("delete three") << "<d>3 </d>" << K::Delete << "" << 3;
    QTest::newRow("delete nine") << "<d>9</d>" << K::Delete << "" << 9;
    QTest::newRow("delete, count not a digit") << "<d>x </d>" << K::Delete << "" << 0;
    QTest::newRow("delete, other digit script") << "<d>\u0663</d>" << K::Delete << "" << 0;
    QTest::newRow("delete, too short") << "<d>" << K::Delete << "" << 0;
    QTest::newRow("capital D") << "<D>1 </D>" << K::Ignored << "" << 0;

    QTest::newRow("empty") << "" << K::Ignored << "" << 0;
    QTest::newRow("one character") << "a" << K::Ignored << "" << 0;
    QTest::newRow("other") << "<b>x</b>" << K::Ignored << "" << 0;
}

void TestPeerProtocol::classify()
{
    QFETCH(QString, text);
    QFETCH(PP::Kind, kind);
    QFETCH(QString, detail);
    QFETCH(int, count);

    const PP::Message message = PP::classify(text);
    QCOMPARE(message.kind, kind);
    if (kind == PP::Kind::Character)
        QCOMPARE(QString(message.character), detail);
    QCOMPARE(message.reason, detail.isEmpty() || kind != PP::Kind::Refuse ? QString() : detail);
    QCOMPARE(message.count, count);
}

// Every key code 1..255 goes through the wire bytes and the framer and comes out as what was typed.
void TestPeerProtocol::everyKeystrokeArrives()
{
    PP::Framer framer;
    QByteArray stream;
    for (int code = 1; code <= 255; ++code)
        stream += PP::frame(PP::keystroke(code));
    const QList<QByteArray> messages = framer.feed(stream);
    QCOMPARE(messages.size(), 255);

    for (int code = 1; code <= 255; ++code) {
        const PP::Message m = PP::classify(PP::decode(messages.at(code - 1)));
        if (code == 8) {
            QCOMPARE(m.kind, PP::Kind::Delete);
            QCOMPARE(m.count, 1);
        } else {
            QCOMPARE(m.kind, PP::Kind::Character);
            QCOMPARE(m.character.unicode(), code == 13 ? 10 : code);
        }
    }
}

// --- Framing ---

// Any split of a stream into reads gives back the messages in order, none lost, none merged.
void TestPeerProtocol::framerRandomChunks()
{
    QRandomGenerator rng(3);
    for (int round = 0; round < 500; ++round) {
        QList<QByteArray> sent;
        QByteArray stream;
        for (int n = int(rng.bounded(1, 30)); n > 0; --n) {
            QByteArray message;
            for (int len = int(rng.bounded(rng.bounded(4) == 0 ? 200 : 12)); len > 0; --len)
                message.append(char(rng.bounded(1, 256)));
            sent.append(message);
            stream += message + '\0';
        }

        PP::Framer framer;
        QList<QByteArray> received;
        for (qsizetype pos = 0; pos < stream.size();) {
            const qsizetype len = qMin(stream.size() - pos, qsizetype(rng.bounded(1, 40)));
            received += framer.feed(stream.mid(pos, len));
            pos += len;
        }
        QCOMPARE(received, sent);
        QCOMPARE(framer.pending(), 0);
    }
}

void TestPeerProtocol::framerKeepsTail()
{
    PP::Framer framer;
    QCOMPARE(framer.feed("<a>h</a>"), QList<QByteArray>{});
    QCOMPARE(framer.pending(), 8);
    QCOMPARE(framer.feed(QByteArray("\0<a>i", 5)), QList<QByteArray>{"<a>h</a>"});
    QCOMPARE(framer.pending(), 4);
    QCOMPARE(framer.feed(QByteArray("</a>\0\0", 6)), (QList<QByteArray>{"<a>i</a>", ""}));

    framer.feed("<a>x");
    framer.clear();
    QCOMPARE(framer.pending(), 0);
    QCOMPARE(framer.feed(QByteArray("y\0", 2)), QList<QByteArray>{"y"});
}

// With a limit of 8 bytes, a 9-byte message is dropped whole however it arrives, the buffer never
// holds more than 8 bytes, and the messages around it come through.
void TestPeerProtocol::framerDropsOversizedMessages_data()
{
    QTest::addColumn<int>("chunk");
    for (int chunk : {1, 2, 3, 5, 8, 9, 13, 100})
        QTest::addRow("reads of %d", chunk) << chunk;
}

void TestPeerProtocol::framerDropsOversizedMessages()
{
    QFETCH(int, chunk);
    const QByteArray stream("12345678\0" "123456789\0" "ok\0" "abcdefghijklmnop\0" "\0" "end\0",
                            9 + 10 + 3 + 17 + 1 + 4);
    PP::Framer framer(8);
    QList<QByteArray> received;
    for (qsizetype pos = 0; pos < stream.size(); pos += chunk) {
        received += framer.feed(stream.mid(pos, chunk));
        QVERIFY(framer.pending() <= 8);
    }
    QCOMPARE(received, (QList<QByteArray>{"12345678", "ok", "", "end"}));
}

// --- Encoding ---

void TestPeerProtocol::encoding_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("ascii") << "<a>h</a>" << QByteArray("<a>h</a>");
    QTest::newRow("latin-1") << "\u00e9\u00ff" << QByteArray("\xe9\xff");
    QTest::newRow("euro sign") << "a\u20acb" << QByteArray("a?b");
    QTest::newRow("surrogate pair is one character") << QString::fromUtf8("x\xF0\x9F\x98\x80y")
                                                     << QByteArray("x?y");
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + "z" << QByteArray("?z");
    QTest::newRow("0 character") << QString(QChar(0)) << QByteArray(1, '\0');
}

void TestPeerProtocol::encoding()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(PP::encode(text), bytes);
    // frame() never lets a 0 character end the message early.
    QByteArray framed = bytes;
    framed.replace('\0', '?');
    QCOMPARE(PP::frame(text), framed + '\0');
}

void TestPeerProtocol::latin1RoundTrip()
{
    QString all;
    for (int c = 0; c < 256; ++c)
        all.append(QChar(c));
    const QByteArray bytes = PP::encode(all);
    QCOMPARE(bytes.size(), 256);
    for (int c = 0; c < 256; ++c)
        QCOMPARE(quint8(bytes.at(c)), quint8(c));
    QCOMPARE(PP::decode(bytes), all);
}

QTEST_APPLESS_MAIN(TestPeerProtocol)
#include "tst_peerprotocol.moc"
