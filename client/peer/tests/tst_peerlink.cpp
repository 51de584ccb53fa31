// PeerLink over 127.0.0.1: messages framed and classified once however the stream is split, and its
// bound on a message. (What it sends is PeerProtocol::frame's: the protocol table.) The partner's end is a raw QTcpSocket. (How a link ends, and that
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

// A message as classified, in one line.
QString shown(const PP::Message &m)
{
    return QStringLiteral("%1 %2 %3 %4 %5").arg(int(m.kind)).arg(m.character).arg(m.count).arg(m.reason, m.extension);
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
        QStringList got, expected;
        connect(&pair.link, &PeerLink::received, this, [&](const PP::Message &m) { got << shown(m); });
        QByteArray stream;
        for (const QString &m : {PP::keystroke(u'h'), PP::keystroke(0xE9), PP::acceptReply(), PP::refuseReply(u"nö"_qs),
                                 PP::deleteMessage(), u"<x>"_qs, QString(), PP::keystroke(u'z')}) {
            if (m.isEmpty()) { // a message over the bound, dropped whole
                stream += QByteArray(64 * 1024 + 1, 'a') + '\0';
                continue;
            }
            stream += PP::frame(m);
            expected << shown(PP::classify(m));
        }
        for (int round = 0; round < 5; ++round) {
            got.clear();
            for (qsizetype at = 0, n; at < stream.size(); at += n) { // random pieces, each its own write
                n = 1 + QRandomGenerator::global()->bounded(qsizetype(3000));
                pair.partner.write(stream.mid(at, n));
                pair.partner.flush();
                if (QRandomGenerator::global()->bounded(4) == 0)
                    QTest::qWait(1);
            }
            QTRY_COMPARE_WITH_TIMEOUT(got, expected, Wait);
        }
    }
};

QTEST_GUILESS_MAIN(PeerLinkTest)
#include "tst_peerlink.moc"
