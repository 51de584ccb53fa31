// File transfers without sockets: the receiving rules as steps against the engine (nothing left
// behind on any way out), offered names made safe, and the bounded picture decoding. (Sending, a
// file of a few MiB and a picture: the end-to-end walk.)
#include "filetransfers.h"
#include "picturewindow.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace quillet;
namespace FM = FileMessages;
using Direction = FileTransfers::Direction;
using Outcome = FileTransfers::Outcome;

namespace {

// A link that keeps what is sent.
struct Link : FileLink {
    QStringList queue;
    bool canSend() const override { return true; }
    void send(const QString &message) override { queue << message; }
};

// A file received through steps; afterwards, how the transfer ended ("" when it has not), the last
// message this side sent and the target: "new", "old" or "" (none).
struct ReceivingRow {
    const char *tag, *steps, *outcome;
    QString lastSent;
    const char *file;
    bool byPartner = false;
    qsizetype size = 40000;
};

} // namespace

class FileTransferTest : public QObject
{
    Q_OBJECT

private slots:
    void safeNames()
    {
        const struct { QString offered, safe; } rows[] = {
            {"report 2026.pdf", "report 2026.pdf"}, {"../../etc/passwd", "passwd"}, {"..", "received file"},
            {".bashrc", "bashrc"}, {"a\tb\nc\x7f\u0085d", "abcd"}, {"photo\u202Egnp.exe", "photognp.exe"},
            {QString::fromUtf8("a\u200Bb") + QChar(0xd800) + QString::fromUtf8("c\U0001F600"), QStringView(u"abc\U0001F600").toString()},
            {"a<b>c:d\"e|f?g*h", "a_b_c_d_e_f_g_h"}, {" x.txt. . ", "x.txt"}, {"con.txt", "_con.txt"},
            {QString(300, u'\u00e9') + ".tar", QString(98, u'\u00e9') + ".tar"},
        };
        for (const auto &[offered, safe] : rows) {
            QCOMPARE(safeFileName(offered), safe);
            QVERIFY(safe.toUtf8().size() <= 200);
        }
    }

    // A 40,000-byte file offered as "../x.bin" and received through a script of steps:
    //   offer accept data1 (the first chunk) data (the rest) end | badsum (a wrong digest) |
    //   extra (a byte more than offered) | cancel (this side) | partner (the sender cancels) |
    //   close (the chat ends) | stray (data for an unknown ID) | replace (accept over an existing
    //   file, told to) | existing (accept over an existing file is refused; then refuse) |
    //   appears (a file appears at the target meanwhile).
    // Afterwards the folder holds the saved file or what was there before, never a partial file.
    void receiving()
    {
        const auto cancel = [](const char *reason) { return FM::cancel(1, FM::Role::Receiver, QLatin1StringView(reason)); };
        const ReceivingRow rows[] = {
            {"complete", "offer accept data end", "Completed", FM::done(1), "new"},
            {"empty file", "offer accept end", "Completed", FM::done(1), "new", false, 0},
            {"replacing, when told", "offer replace data end", "Completed", FM::done(1), "new"},
            {"existing file, not told", "offer existing refuse", "Refused", FM::refuse(1), "old"},
            {"a file appears meanwhile", "offer accept data appears end", "TargetExists", cancel("write"), "old"},
            {"bad checksum", "offer accept data badsum", "ChecksumFailed", cancel("checksum"), ""},
            {"more than offered", "offer accept data extra", "SizeMismatch", cancel("size"), ""},
            {"less than offered", "offer accept data1 end", "SizeMismatch", cancel("size"), ""},
            {"data before accept", "offer data1", "ProtocolError", cancel("protocol"), ""},
            {"data for an unknown ID", "stray", "", FM::cancel(2, FM::Role::Receiver, QLatin1StringView("protocol")), ""},
            {"cancelled midway", "offer accept data1 cancel", "Cancelled", cancel("cancelled"), ""},
            {"sender cancels the offer", "offer partner", "Cancelled", QString(), "", true},
            {"sender cancels midway", "offer accept data1 partner", "Cancelled", FM::accept(1), "", true},
            {"chat closed midway", "offer accept data1 close", "ChatClosed", FM::accept(1), ""},
        };
        for (const ReceivingRow &row : rows) {
            receive(row);
            if (QTest::currentTestFailed())
                return qWarning("in the row \"%s\"", row.tag);
        }
    }

private:
    void receive(const ReceivingRow &row)
    {
        const qsizetype size = row.size;
        const QString steps = QString::fromLatin1(row.steps), outcome = QString::fromLatin1(row.outcome);
        const QString file = QString::fromLatin1(row.file);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("x.bin"));
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            bytes[i] = char(i % 251);
        const auto writeOld = [&] {
            QFile old(target);
            QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
        };
        Link link;
        FileTransfers transfers(&link);
        QSignalSpy offered(&transfers, &FileTransfers::offered);
        QSignalSpy finished(&transfers, &FileTransfers::finished);
        qsizetype sent = 0;
        const auto data = [&](qsizetype length) {
            transfers.handle(FM::data(1, QByteArrayView(bytes).sliced(sent, length)));
            sent += length;
        };
        for (const QString &step : steps.split(u' ')) {
            if (step == u"offer") {
                transfers.handle(FM::offer(1, size, FM::Kind::File, QStringLiteral("../x.bin")));
                QCOMPARE(offered.count(), 1);
                QCOMPARE(offered.at(0).at(1).toString(), u"x.bin");
            } else if (step == u"accept") {
                QCOMPARE(transfers.accept(1, target), FileTransfers::AcceptResult::Started);
            } else if (step == u"replace") {
                writeOld();
                QCOMPARE(transfers.accept(1, target, true), FileTransfers::AcceptResult::Started);
            } else if (step == u"existing") {
                writeOld();
                QCOMPARE(transfers.accept(1, target), FileTransfers::AcceptResult::TargetExists);
            } else if (step == u"appears") {
                writeOld();
            } else if (step == u"data1") {
                data(FM::MaxChunk);
            } else if (step == u"data") {
                while (sent < size)
                    data(qMin(FM::MaxChunk, size - sent));
            } else if (step == u"extra") {
                transfers.handle(FM::data(1, "x"));
            } else if (step == u"end" || step == u"badsum") {
                QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
                digest[0] = char(digest[0] ^ (step == u"badsum"));
                transfers.handle(FM::end(1, digest));
            } else if (step == u"cancel") {
                transfers.cancel(Direction::Incoming, 1);
            } else if (step == u"refuse") {
                transfers.refuse(1);
            } else if (step == u"partner") {
                transfers.handle(FM::cancel(1, FM::Role::Sender, QLatin1StringView("cancelled")));
            } else if (step == u"close") {
                transfers.closeAll();
            } else if (step == u"stray") {
                transfers.handle(FM::data(2, "x"));
            }
        }
        QCOMPARE(link.queue.value(link.queue.size() - 1), row.lastSent);
        QCOMPARE(finished.count(), outcome.isEmpty() ? 0 : 1);
        if (!outcome.isEmpty()) {
            const QList<QVariant> end = finished.at(0);
            QCOMPARE(QVariant::fromValue(end.at(2).value<Outcome>()).toString(), outcome);
            QCOMPARE(end.at(3).toBool(), row.byPartner);
            QCOMPARE(transfers.count(), 0);
        }
        const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(left, file.isEmpty() ? QStringList() : QStringList{"x.bin"});
        QFile saved(target);
        QVERIFY(file.isEmpty() || saved.open(QIODevice::ReadOnly));
        QCOMPARE(file.isEmpty() ? QByteArray() : saved.readAll(), file == u"new" ? bytes : file == u"old" ? QByteArray("old") : QByteArray());
    }

private slots:
    void pictures()
    {
        const auto bmpHeader = [](qint32 width, qint32 height) {
            QByteArray b("BM");
            const auto le = [&b](quint32 v, int n) { for (int i = 0; i < n; ++i) b.append(char(v >> (8 * i))); };
            le(54, 4), le(0, 4), le(54, 4), le(40, 4), le(width, 4), le(height, 4), le(1, 2), le(24, 2);
            return b + QByteArray(24, '\0');
        };
        QImage small(3, 2, QImage::Format_RGB32);
        small.fill(Qt::red);
        QByteArray png;
        QBuffer buffer(&png);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && small.save(&buffer, "PNG"));
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("p")));
        // A small picture is shown; no picture, a side too long and too many pixels are reported.
        for (const auto &[bytes, shown] : {std::pair{png, QSize(3, 2)}, {QByteArray("GIF89a not really"), QSize()},
                                           {bmpHeader(30000, 1), QSize()}, {bmpHeader(16000, 16000), QSize()}}) {
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
            file.close();
            QString error;
            const QImage image = PictureWindow::decode(file.fileName(), &error);
            QCOMPARE(image.isNull() ? QSize() : image.size(), shown);
            QCOMPARE(error.isEmpty(), shown.isValid());
        }
    }
};

QTEST_MAIN(FileTransferTest)
#include "tst_filetransfer.moc"
