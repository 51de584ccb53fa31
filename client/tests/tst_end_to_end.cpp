// End to end: quillet-server and real clients in processes of their own (privatechat_driver, each
// the client code driven by commands on stdin), all on loopback: a room, and a whole private chat
// (the request through the server, the answer and the typing over the direct peer connection, find
// and save in it, the canvas both ways, a file and a picture, the close) with a third user seeing
// both busy meanwhile. (A request after a chat the partner ended: the private chat table.)
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QtTest>

class EndToEndTest : public QObject
{
    Q_OBJECT

    QProcess server, ann, bob, carl;
    QString port;

    // Sends one command to a client and returns its answer line.
    static QString ask(QProcess &client, const QString &command)
    {
        client.write(command.toUtf8() + '\n');
        if (!QTest::qWaitFor([&] { return client.canReadLine(); }, 30000))
            return "no answer to " + command;
        return QString::fromUtf8(client.readLine()).trimmed();
    }

private slots:
    void init()
    {
        server.start(QUILLET_SERVER_PATH, {"--listen", "127.0.0.1", "--port", "0"});
        const QRegularExpression listening("listening on 127\\.0\\.0\\.1:(\\d+)");
        QByteArray log;
        QRegularExpressionMatch found;
        QTRY_VERIFY((log += server.readAllStandardError(),
                     found = listening.match(QString::fromLocal8Bit(log))).hasMatch());
        port = found.captured(1);
        for (QProcess *client : {&ann, &bob, &carl}) {
            client->setProcessChannelMode(QProcess::ForwardedErrorChannel);
            client->start(PRIVATECHAT_DRIVER_PATH, {});
            QVERIFY(client->waitForStarted());
        }
    }
    void cleanup()
    {
        for (QProcess *client : {&ann, &bob, &carl}) {
            client->closeWriteChannel(); // the driver ends at the end of its input
            if (!client->waitForFinished(10000))
                client->kill();
        }
        server.terminate();
        server.waitForFinished();
    }

    void twoClientsInTheRoomAndInAPrivateChat()
    {
        QCOMPARE(ask(ann, "login ann " + port), QString("ok"));
        QCOMPARE(ask(bob, "login bob " + port), QString("ok"));
        QCOMPARE(ask(ann, "wait-room bob joined the room."), QString("ok"));
        QCOMPARE(ask(ann, "say N hello bob"), QString("ok"));
        QCOMPARE(ask(bob, "wait-room ann : hello bob"), QString("ok"));
        QCOMPARE(ask(bob, "say B hi ann"), QString("ok"));
        QCOMPARE(ask(ann, "wait-room bob : hi ann"), QString("ok"));

        QCOMPARE(ask(ann, "request bob shall we talk?"), QString("ok"));
        QCOMPARE(ask(bob, "accept"), QString("ok ann|shall we talk?"));
        QCOMPARE(ask(bob, "wait-shown"), QString("ok ann"));
        QCOMPARE(ask(ann, "wait-shown"), QString("ok bob"));
        QCOMPARE(ask(carl, "login carl " + port), QString("ok")); // sees who is busy from the start
        QCOMPARE(ask(carl, "wait-busy ann,bob"), QString("ok"));
        QCOMPARE(ask(ann, "type hi\\bo\\n"), QString("ok"));
        QCOMPARE(ask(bob, "wait-recv ho\\n"), QString("ok"));
        QCOMPARE(ask(bob, "type hey ann"), QString("ok"));
        QCOMPARE(ask(ann, "wait-recv hey ann"), QString("ok"));
        QTemporaryDir dir; // find and save from the keyboard
        QCOMPARE(ask(ann, "find AN"), QString("ok 1 of 1"));
        QCOMPARE(ask(ann, "save " + dir.filePath("chat.txt")), QString("ok"));
        QFile saved(dir.filePath("chat.txt"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), QByteArray("hey ann\n"));
        QCOMPARE(ask(ann, "type !"), QString("ok"));
        QCOMPARE(ask(bob, "wait-recv ho\\n!"), QString("ok"));
        // The canvas: bob draws while ann's is closed; ann is told, opens hers and sees it, and
        // what ann then draws appears on bob's, pixel for pixel.
        QCOMPARE(ask(bob, "canvas"), QString("ok"));
        QCOMPARE(ask(bob, "draw navy 40,140 40,60 150,60 150,140"), QString("ok"));
        QCOMPARE(ask(ann, "wait-status"), QString("ok bob is drawing: Canvas > Open Canvas shows it."));
        const QString bobs = ask(bob, "drawing own");
        QCOMPARE(ask(ann, "canvas"), QString("ok"));
        QCOMPARE(ask(ann, "drawing partner " + bobs.mid(3)), bobs);
        QCOMPARE(ask(ann, "draw red 300,40 350,60 -10,100"), QString("ok"));
        const QString anns = ask(ann, "drawing own");
        QVERIFY(anns != bobs);
        QCOMPARE(ask(bob, "drawing partner " + anns.mid(3)), anns);
        // A file of a few MiB and a picture, from ann to bob over the same connection.
        QTemporaryDir from, to;
        QFile file(from.filePath("notes.bin"));
        QByteArray bytes(3 * 1024 * 1024 + 5, Qt::Uninitialized);
        QRandomGenerator(16).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        QCOMPARE(ask(ann, "send-file " + file.fileName()), QString("ok"));
        QCOMPARE(ask(bob, "take-file " + to.path()), "ok " + to.filePath("notes.bin"));
        QFile received(to.filePath("notes.bin"));
        QVERIFY(received.open(QIODevice::ReadOnly) && received.readAll() == bytes);
        QFile picture(from.filePath("dot.png")); // a PNG of one red pixel
        QVERIFY(picture.open(QIODevice::WriteOnly) && picture.write(QByteArray::fromBase64(
            "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAIAAACQd1PeAAAADElEQVR4nGP4z8AAAAMBAQDJ/pLvAAAAAElFTkSuQmCC")) > 0);
        picture.close();
        QCOMPARE(ask(ann, "send-picture " + picture.fileName()), QString("ok"));
        QCOMPARE(ask(bob, "take-picture"), QString("ok 1x1"));
        QCOMPARE(ask(ann, "close"), QString("ok"));
        QCOMPARE(ask(bob, "wait-status"), QString("ok ann closed the connection."));
        QCOMPARE(ask(carl, "wait-busy -"), QString("ok"));
        QCOMPARE(ask(ann, "state"), QString("ok active=0 boxes=0"));
        QCOMPARE(ask(bob, "state"), QString("ok active=0 boxes=0"));
    }
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_end_to_end.moc"
