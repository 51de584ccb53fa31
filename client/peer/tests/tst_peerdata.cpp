// PeerSocket data over 127.0.0.1: the exact bytes on the wire, Latin-1 both ways, large
// transfers, partial reads, and when sending is allowed.
#include "peertestsupport.h"

using namespace peertest;

namespace {

// A PeerSocket accepted from a plain QTcpSocket, so the test sees the raw bytes.
struct RawPartner
{
    PeerSocket peer;
    QTcpSocket raw;

    bool open()
    {
        const quint16 port = listenAndAcceptOne(peer);
        if (port == 0)
            return false;
        raw.connectToHost(QHostAddress::LocalHost, port);
        if (!raw.waitForConnected(kWaitMs))
            return false;
        return QTest::qWaitFor([&] { return peer.State() == State::Connected; }, kWaitMs);
    }

    QByteArray readRaw(qsizetype count)
    {
        QByteArray bytes;
        (void)QTest::qWaitFor([&] {
            bytes += raw.readAll();
            return bytes.size() >= count;
        }, kWaitMs);
        return bytes;
    }
};

QString latin1Text(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.constData(), bytes.size());
}

} // namespace

class TestPeerData : public QObject
{
    Q_OBJECT

private slots:
    void sendBothWaysExactBytes();
    void wireBytesAreLatin1_data();
    void wireBytesAreLatin1();
    void receivedBytesBecomeLatin1Text();
    void largeDataAddsUpExactly();
    void partialReadsKeepTheRest();
    void sendOnlyWhileConnected();
    void bytesSentJustBeforeCloseArrive();
};

void TestPeerData::sendBothWaysExactBytes()
{
    Pair pair;
    QVERIFY(pair.open());
    Collector atDialled(*pair.dialled);
    Collector atAccepted(*pair.accepted);

    // The caller's own terminator goes out as given; nothing is added or split off.
    const QString accept = QStringLiteral("<chat reply>accept</chat reply>") + QChar(0);
    const QString key = QStringLiteral("<a>h</a>") + QChar(0);
    QVERIFY(pair.accepted->SendData(key));
    QVERIFY(pair.dialled->SendData(accept));
    QVERIFY(pair.accepted->SendData(key));

    QTRY_COMPARE_WITH_TIMEOUT(atAccepted.bytes, accept.toLatin1(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(atDialled.bytes, (key + key).toLatin1(), kWaitMs);
    QCOMPARE(atDialled.announced, qint64(2 * key.size()));
    QCOMPARE(atAccepted.announced, qint64(accept.size()));
}

void TestPeerData::wireBytesAreLatin1_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("every byte 0-255") << latin1Text(allBytes()) << allBytes();
    QTest::newRow("above 255 becomes ?")
        << QString::fromUtf8("caf\u00e9 \u20ac5 \u0141") << QByteArray("caf\xe9 ?5 ?");
    QTest::newRow("surrogate pair is one character")
        << QString::fromUtf8("a\U0001F600b") << QByteArray("a?b");
    QTest::newRow("lone surrogate") << (QStringLiteral("x") + QChar(0xD800) + QStringLiteral("y"))
                                    << QByteArray("x?y");
}

void TestPeerData::wireBytesAreLatin1()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    RawPartner partner;
    QVERIFY(partner.open());
    QVERIFY(partner.peer.SendData(text));
    QCOMPARE(partner.readRaw(wire.size()), wire);
}

void TestPeerData::receivedBytesBecomeLatin1Text()
{
    RawPartner partner;
    QVERIFY(partner.open());
    QString text;
    connect(&partner.peer, &PeerSocket::DataArrival, &partner.peer, [&](qint64 total) {
        text += partner.peer.GetData(total);
        QCOMPARE(partner.peer.GetData(), QString());   // read means taken
    });
    const QByteArray twice = allBytes() + allBytes();
    partner.raw.write(twice);
    QTRY_COMPARE_WITH_TIMEOUT(text.size(), twice.size(), kWaitMs);

    // Byte b reads as the character of code b, 0 and 255 included.
    for (qsizetype i = 0; i < twice.size(); ++i)
        QCOMPARE(text.at(i).unicode(), ushort(uchar(twice.at(i))));
}

void TestPeerData::largeDataAddsUpExactly()
{
    Pair pair;
    QVERIFY(pair.open());
    PeerSocket &receiver = *pair.dialled;
    QByteArray received;
    int events = 0;
    qint64 announced = 0;
    bool readWhatWasAnnounced = true;
    connect(&receiver, &PeerSocket::DataArrival, &receiver, [&](qint64 total) {
        ++events;
        announced += total;
        const QString chunk = receiver.GetData(total);
        readWhatWasAnnounced &= chunk.size() == total;
        received += chunk.toLatin1();
    });

    // 8 MiB of a pattern that runs through every byte value and does not repeat every 256.
    QByteArray sent(8 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < sent.size(); ++i)
        sent[i] = char((i * 7 + i / 251) & 0xFF);
    QVERIFY(pair.accepted->SendData(QString::fromLatin1(sent)));

    QTRY_COMPARE_WITH_TIMEOUT(received.size(), sent.size(), 60000);
    QVERIFY(received == sent);
    QCOMPARE(announced, qint64(sent.size()));
    QVERIFY(readWhatWasAnnounced);
    // Far more than the system buffers hold at once, so it cannot arrive in one piece.
    QVERIFY2(events > 1, qPrintable(QString::number(events)));
}

void TestPeerData::partialReadsKeepTheRest()
{
    Pair pair;
    QVERIFY(pair.open());
    PeerSocket &receiver = *pair.dialled;
    QList<qint64> totals;
    QStringList reads;
    connect(&receiver, &PeerSocket::DataArrival, &receiver, [&](qint64 total) {
        totals << total;
        QString part;
        receiver.GetData(part, 2);   // the by-reference form, reading less than is there
        reads << part;
    });

    QVERIFY(pair.accepted->SendData(QStringLiteral("abcde")));
    QTRY_COMPARE_WITH_TIMEOUT(totals.size(), 1, kWaitMs);
    QCOMPARE(totals.at(0), qint64(5));
    QCOMPARE(reads.at(0), QStringLiteral("ab"));

    // Unread bytes are counted again when more arrive.
    QVERIFY(pair.accepted->SendData(QStringLiteral("fg")));
    QTRY_COMPARE_WITH_TIMEOUT(totals.size(), 2, kWaitMs);
    QCOMPARE(totals.at(1), qint64(5));
    QCOMPARE(reads.at(1), QStringLiteral("cd"));

    QCOMPARE(receiver.GetData(0), QString());
    QCOMPARE(receiver.GetData(100), QStringLiteral("efg"));
    QCOMPARE(receiver.GetData(), QString());
}

void TestPeerData::sendOnlyWhileConnected()
{
    PeerSocket idle;
    QVERIFY(!idle.SendData(QStringLiteral("x")));

    PeerSocket listener;
    const quint16 port = listenAndAcceptOne(listener);
    QVERIFY(port != 0);
    QVERIFY(!listener.SendData(QStringLiteral("x")));   // listening

    // Connecting: an answer given now is refused, and can be sent once Connected fires.
    PeerSocket client;
    aimAt(client, port);
    bool sentOnConnected = false;
    connect(&client, &PeerSocket::Connected, &client, [&] {
        sentOnConnected = client.SendData(QStringLiteral("<chat reply>accept</chat reply>"));
    });
    QVERIFY(client.Connect());
    QVERIFY(!client.SendData(QStringLiteral("too early")));
    Collector atListener(listener);
    QTRY_VERIFY_WITH_TIMEOUT(sentOnConnected, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(atListener.bytes, QByteArray("<chat reply>accept</chat reply>"),
                              kWaitMs);
    QVERIFY(client.SendData(QString()));   // nothing to send is not a failure

    QSignalSpy closed(&client, &PeerSocket::Closed);
    listener.Close();
    QVERIFY(!listener.SendData(QStringLiteral("x")));
    QVERIFY(closed.wait(kWaitMs));
    QVERIFY(!client.SendData(QStringLiteral("x")));   // the partner has gone
    client.Close();
    QVERIFY(!client.SendData(QStringLiteral("x")));
}

void TestPeerData::bytesSentJustBeforeCloseArrive()
{
    // A last message sent right before Close() still reaches the partner, whole.
    Pair pair;
    QVERIFY(pair.open());
    Collector collected(*pair.dialled);
    QSignalSpy closed(pair.dialled.get(), &PeerSocket::Closed);
    QByteArray last(20000, 'z');
    last.append("<close>");
    QVERIFY(pair.accepted->SendData(QString::fromLatin1(last)));
    pair.accepted->Close();
    QVERIFY(closed.wait(kWaitMs));
    QCOMPARE(collected.bytes, last);
}

QTEST_GUILESS_MAIN(TestPeerData)
#include "tst_peerdata.moc"
