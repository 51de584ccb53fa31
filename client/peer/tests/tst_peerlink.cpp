// PeerLink over 127.0.0.1: messages framed and classified once however the stream is split, and
// the ways a link ends. The partner's end is a raw QTcpSocket.
#include "peerlink.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <sys/socket.h>

using namespace quillet;
namespace PP = PeerProtocol;

namespace {

constexpr int Wait = 10000;

// A link listening on a free port, and the partner's socket connected to it.
struct Pair {
    PeerLink link;
    QTcpSocket partner;
    bool open()
    {
        if (!link.listen(0))
            return false;
        QSignalSpy up(&link, &PeerLink::connected);
        partner.connectToHost(QHostAddress::LocalHost, link.localPort());
        return QTest::qWaitFor([&] { return up.count() == 1; }, Wait);
    }
};

QString shown(const PP::Message &m)
{
    switch (m.kind) {
    case PP::Kind::Character: return QStringLiteral("char ") + m.character;
    case PP::Kind::Delete: return QStringLiteral("delete %1").arg(m.count);
    case PP::Kind::Refuse: return "refuse " + m.reason;
    case PP::Kind::Accept: return QStringLiteral("accept");
    case PP::Kind::Close: return QStringLiteral("close");
    case PP::Kind::Extension: return "extension " + m.extension;
    case PP::Kind::Ignored: return QStringLiteral("ignored");
    }
    return {};
}

} // namespace

class PeerLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void messagesSurviveAnySplitOfTheStream()
    {
        Pair pair;
        QVERIFY(pair.open());
        QStringList got;
        connect(&pair.link, &PeerLink::received, this, [&](const PP::Message &m) { got << shown(m); });
        const QStringList sent{PP::keystroke(u'h'), PP::keystroke(0xE9), PP::acceptReply(),
                               PP::refuseReply(u"nö"_qs), PP::deleteMessage(), "<x>"};
        const QStringList expected{"char h", u"char é"_qs, "accept", u"refuse nö"_qs, "delete 1", "ignored"};
        QByteArray stream;
        for (const QString &m : sent)
            stream += PP::frame(m);
        stream += QByteArray(70 * 1024, 'a') + '\0' + PP::frame(PP::keystroke(u'z')); // dropped whole
        for (int round = 0; round < 20; ++round) {
            got.clear();
            for (qsizetype at = 0; at < stream.size();) { // random pieces, each its own write
                const qsizetype n = 1 + QRandomGenerator::global()->bounded(qsizetype(3000));
                pair.partner.write(stream.mid(at, n));
                pair.partner.flush();
                at += n;
                if (QRandomGenerator::global()->bounded(4) == 0)
                    QTest::qWait(1);
            }
            QVERIFY(QTest::qWaitFor([&] { return got.size() == expected.size() + 1; }, Wait));
            QCOMPARE(got, expected + QStringList{"char z"});
        }
        // The other way: Latin-1 bytes, "?" for a character Latin-1 lacks, a 0 byte per message.
        QVERIFY(pair.link.send(u"<a>é</a>"_qs) && pair.link.send(u"<a>\u20ac</a>"_qs));
        QByteArray bytes;
        QVERIFY(QTest::qWaitFor([&] { return (bytes += pair.partner.readAll()).count('\0') == 2; }, Wait));
        QCOMPARE(bytes, QByteArray("<a>\xe9</a>\0<a>?</a>\0", 18));
    }

    void howALinkEnds_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QStringList>("expected"); // what the link reports
        QTest::newRow("partner closes") << "close" << QStringList{"char x", "char y", "closed"};
        QTest::newRow("partner resets") << "reset" << QStringList{"failed " + qt_error_string(ECONNRESET)};
        QTest::newRow("own close in a handler") << "own" << QStringList{"char x"};
    }
    void howALinkEnds()
    {
        QFETCH(QString, how);
        QFETCH(QStringList, expected);
        Pair pair;
        QVERIFY(pair.open());
        QStringList got;
        connect(&pair.link, &PeerLink::received, this, [&](const PP::Message &m) {
            got << shown(m);
            if (how == "own")
                pair.link.close();
        });
        connect(&pair.link, &PeerLink::closed, this, [&] { got << "closed"; });
        connect(&pair.link, &PeerLink::failed, this, [&](const QString &e) { got << "failed " + e; });
        if (how == "reset") {
            const linger hard{1, 0};
            ::setsockopt(int(pair.partner.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            pair.partner.abort();
        } else {
            pair.partner.write(PP::frame("<a>x</a>") + PP::frame("<a>y</a>"));
            pair.partner.flush();
            if (how == "close")
                pair.partner.disconnectFromHost();
        }
        QVERIFY(QTest::qWaitFor([&] { return got.size() >= expected.size(); }, Wait));
        QTest::qWait(50); // nothing more follows
        QCOMPARE(got, expected);
        QCOMPARE(pair.link.state(), PeerLink::State::Closed);
    }

    void listeningEndsWithThePartnerAndAFailedConnectIsReported()
    {
        Pair pair;
        QVERIFY(pair.open());
        const quint16 port = pair.link.localPort();
        QTcpSocket late; // the listening ended with the first connection
        late.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!late.waitForConnected(Wait));

        PeerLink dialler;
        QSignalSpy failed(&dialler, &PeerLink::failed);
        dialler.connectTo(QStringLiteral("127.0.0.1"), port);
        QVERIFY(failed.wait(Wait));
        QVERIFY(!failed.first().first().toString().isEmpty() && !dialler.send("<a>x</a>"));
    }
};

QTEST_GUILESS_MAIN(PeerLinkTest)
#include "tst_peerlink.moc"
