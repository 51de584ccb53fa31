// The receive framing on its own: message boundaries, the kept tail, the size limit.
#include "framer.h"

#include <QRandomGenerator>
#include <QTest>

using varrow::detail::Framer;

namespace {

QList<QByteArray> takeAll(Framer &f)
{
    QList<QByteArray> out;
    while (f.hasMessage())
        out << f.takeMessage();
    return out;
}

QByteArray bytes(const char *text, qsizetype size)
{
    return QByteArray(text, size);
}

} // namespace

class TestFramer : public QObject
{
    Q_OBJECT

private slots:
    void boundaries_data();
    void boundaries();
    void tailWaitsForItsTerminator();
    void messageFedByteByByte();
    void limitIsInclusive();
    void oversizedMessageIsSkippedToItsEnd();
    void discardingSpansManyFeeds();
    void memoryStaysBounded();
    void overflowCanEndTheStream();
    void clearForgetsTailAndQueue();
    void randomChunkingKeepsSequence();
};

void TestFramer::boundaries_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QList<QByteArray>>("expected");
    QTest::addColumn<qsizetype>("tail");

    QTest::newRow("one") << bytes("abc\0", 4) << QList<QByteArray>{"abc"} << qsizetype(0);
    QTest::newRow("coalesced") << bytes("one\0two\0three\0", 14) << QList<QByteArray>{"one", "two", "three"}
                               << qsizetype(0);
    QTest::newRow("empty messages") << bytes("\0\0x\0", 4) << QList<QByteArray>{"", "", "x"} << qsizetype(0);
    QTest::newRow("with tail") << bytes("a\0bc", 4) << QList<QByteArray>{"a"} << qsizetype(2);
    QTest::newRow("high bytes") << bytes("\xff\x80\x01\0", 4) << QList<QByteArray>{"\xff\x80\x01"} << qsizetype(0);
    QTest::newRow("nothing") << QByteArray() << QList<QByteArray>{} << qsizetype(0);
}

void TestFramer::boundaries()
{
    QFETCH(QByteArray, input);
    QFETCH(QList<QByteArray>, expected);
    QFETCH(qsizetype, tail);

    Framer f;
    f.feed(input);
    QCOMPARE(takeAll(f), expected);
    QCOMPARE(f.pendingSize(), tail);
}

void TestFramer::tailWaitsForItsTerminator()
{
    Framer f;
    f.feed("hel");
    QVERIFY(!f.hasMessage());
    QCOMPARE(f.pendingSize(), 3);
    f.feed("lo");
    QVERIFY(!f.hasMessage());
    f.feed(bytes("\0wor", 4));
    QCOMPARE(takeAll(f), QList<QByteArray>{"hello"});
    f.feed(bytes("ld\0", 3));
    QCOMPARE(takeAll(f), QList<QByteArray>{"world"});
    QCOMPARE(f.pendingSize(), 0);
}

void TestFramer::messageFedByteByByte()
{
    Framer f;
    const QByteArray stream = bytes("first\0\0second\0", 14);
    for (char c : stream)
        f.feed(QByteArrayView(&c, 1));
    QCOMPARE(takeAll(f), (QList<QByteArray>{"first", "", "second"}));
}

void TestFramer::limitIsInclusive()
{
    Framer f(8);
    f.feed(QByteArray(8, 'x') + '\0');
    QCOMPARE(takeAll(f), QList<QByteArray>{QByteArray(8, 'x')});
    QCOMPARE(f.discardedCount(), 0u);
}

void TestFramer::oversizedMessageIsSkippedToItsEnd()
{
    Framer f(8);
    f.feed(QByteArray(9, 'x') + '\0' + "ok" + '\0');
    QCOMPARE(takeAll(f), QList<QByteArray>{"ok"});
    QCOMPARE(f.discardedCount(), 1u);
    QVERIFY(!f.isDiscarding());
}

void TestFramer::discardingSpansManyFeeds()
{
    Framer f(8);
    f.feed("keep");
    f.feed("12345"); // 9 bytes held: over the limit
    QVERIFY(f.isDiscarding());
    QCOMPARE(f.pendingSize(), 0);
    f.feed("more and more, still no end");
    QVERIFY(!f.hasMessage());
    f.feed(bytes("tail\0next\0", 10));
    QCOMPARE(takeAll(f), QList<QByteArray>{"next"});
    QVERIFY(!f.isDiscarding());
    QCOMPARE(f.discardedCount(), 1u);
}

void TestFramer::memoryStaysBounded()
{
    Framer f(4096);
    const QByteArray block(1000, 'y');
    for (int i = 0; i < 1000; ++i) {
        f.feed(block);
        QVERIFY(f.pendingSize() <= 4096);
    }
    f.feed(bytes("\0fine\0", 6));
    QCOMPARE(takeAll(f), QList<QByteArray>{"fine"});
}

void TestFramer::overflowCanEndTheStream()
{
    // Stop mode: what was complete before the oversized message stays, nothing after it comes,
    // until clear() starts a new stream with the same limit.
    Framer f(8, Framer::Overflow::Stop);
    f.feed(bytes("ok\0", 3) + QByteArray(8, 'x') + '\0' + QByteArray(9, 'y') + '\0' + "late" + '\0');
    QVERIFY(f.hasOverflowed());
    QCOMPARE(takeAll(f), (QList<QByteArray>{"ok", QByteArray(8, 'x')}));
    f.feed(bytes("more\0", 5));
    QVERIFY(!f.hasMessage());
    f.clear();
    QVERIFY(!f.hasOverflowed());
    f.feed(QByteArray(8, 'n') + '\0');
    QCOMPARE(takeAll(f), QList<QByteArray>{QByteArray(8, 'n')});
}

void TestFramer::clearForgetsTailAndQueue()
{
    Framer f(8);
    f.feed(bytes("a\0b\0partial", 11));
    QCOMPARE(f.readyCount(), 2);
    f.clear();
    QVERIFY(!f.hasMessage());
    QCOMPARE(f.pendingSize(), 0);
    f.feed(QByteArray(20, 'z')); // discarding...
    f.clear();                   // ...ends with the connection
    f.feed(bytes("new\0", 4));
    QCOMPARE(takeAll(f), QList<QByteArray>{"new"});
}

void TestFramer::randomChunkingKeepsSequence()
{
    // Messages of random bytes (never 0), some over the limit, cut into random chunks: what
    // comes out is every message within the limit, in order.
    QRandomGenerator rng(20240611);
    const qsizetype limit = 300;
    Framer f(limit);
    QByteArray stream;
    QList<QByteArray> expected;
    for (int i = 0; i < 3000; ++i) {
        const qsizetype size = rng.bounded(400);
        QByteArray m(size, Qt::Uninitialized);
        for (char &c : m)
            c = char(1 + rng.bounded(255));
        stream += m;
        stream += '\0';
        if (size <= limit)
            expected << m;
    }
    QList<QByteArray> got;
    for (qsizetype at = 0; at < stream.size();) {
        const qsizetype n = std::min<qsizetype>(1 + rng.bounded(700), stream.size() - at);
        f.feed(QByteArrayView(stream).sliced(at, n));
        at += n;
        got += takeAll(f);
    }
    QCOMPARE(got.size(), expected.size());
    QCOMPARE(got, expected);
    QCOMPARE(f.pendingSize(), 0);
}

QTEST_APPLESS_MAIN(TestFramer)
#include "tst_framer.moc"
