// PeerLink over 127.0.0.1: messages framed and classified once however the stream is split, its
// bound on a message, Latin-1 out. The partner's end is a raw QTcpSocket. (How a link ends, and that
// it listens for one partner only: the private chat and untrusted-input suites.)
#include "peerlink.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

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

};

QTEST_GUILESS_MAIN(PeerLinkTest)
#include "tst_peerlink.moc"
