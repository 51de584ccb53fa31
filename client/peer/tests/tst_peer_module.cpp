// PeerLink in a program that does not link its TCP side, as the client program: QtNetwork is not
// loaded until the first listen, which loads the module; then two links talk through it.
#include "peerlink.h"

#include <QFile>
#include <QTest>

using namespace quillet;

class tst_peer_module : public QObject
{
    Q_OBJECT

    static bool networkLoaded()
    {
        QFile maps(QStringLiteral("/proc/self/maps"));
        return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libQt6Network");
    }

private slots:
    void theModuleIsLoadedAtTheFirstListen()
    {
        PeerLink server, client;
        client.close();
        QVERIFY(server.state() == PeerLink::State::Closed && !networkLoaded());
        QVERIFY(server.listen(0) && networkLoaded());
        QList<PeerProtocol::Kind> got;
        connect(&server, &PeerLink::received, this, [&got](const PeerProtocol::Message &m) { got << m.kind; });
        connect(&client, &PeerLink::connected, this, [&client] { client.send(PeerProtocol::acceptReply()); });
        client.connectTo(QStringLiteral("127.0.0.1"), server.localPort());
        QTRY_COMPARE_WITH_TIMEOUT(got, QList<PeerProtocol::Kind>{PeerProtocol::Kind::Accept}, 10000);
    }
};

QTEST_GUILESS_MAIN(tst_peer_module)
#include "tst_peer_module.moc"
