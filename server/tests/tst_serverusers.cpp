// The users file and the log-line sanitiser of quillet-server.
#include "chatprotocol.h"
#include "userfile.h"

#include <QTemporaryDir>
#include <QTest>

using namespace quillet::server;

class tst_ServerUsers : public QObject
{
    Q_OBJECT

private slots:
    void readsNameColonPassword()
    {
        const UserTable table = parseUsers(QStringLiteral(
            "# the team\r\n"
            "alice:secret\r\n"
            "\n"
            "bob:a:b///c \n"
            "   \n"
            "Jos\u00e9 Garc\u00eda:\n"));
        QVERIFY2(table.error.isEmpty(), qPrintable(table.error));
        QCOMPARE(table.passwords.size(), 3);
        QCOMPARE(table.passwords.value(u"alice"_qs), u"secret");
        QCOMPARE(table.passwords.value(u"bob"_qs), u"a:b///c "); // split at the first ":", kept as is
        QCOMPARE(table.passwords.value(u"Jos\u00e9 Garc\u00eda"_qs), u"");
    }

    void rejectsBadLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        QTest::newRow("no colon") << u"alice:x\nbob\n"_qs << u"line 2: expected name:password"_qs;
        QTest::newRow("empty name") << u":pw"_qs << u"line 1: empty name"_qs;
        QTest::newRow("comma") << u"a,b:pw"_qs << u"line 1: name holds \",\""_qs;
        QTest::newRow("server") << u"\n\nMyServer:pw"_qs << u"line 3: name contains \"server\""_qs;
        QTest::newRow("twice") << u"alice:1\nalice:2"_qs << u"line 2: \"alice\" is listed twice"_qs;
        QTest::newRow("beyond one byte") << u"\u0141ukasz:pw"_qs
                                         << u"line 1: a character that clients cannot send"_qs;
        QTest::newRow("nothing listed") << u"# nobody\n"_qs << u"no users listed"_qs;
    }
    void rejectsBadLines()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        const UserTable table = parseUsers(text);
        QCOMPARE(table.error, error);
        QVERIFY(table.passwords.isEmpty());
    }

    void loadsFromDisk()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QCOMPARE(loadUsers(dir.filePath(u"missing"_qs)).error.isEmpty(), false);
        QFile file(dir.filePath(u"users"_qs));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("ren\xc3\xa9:pw\n"); // UTF-8 on disk
        file.close();
        const UserTable table = loadUsers(file.fileName());
        QVERIFY2(table.error.isEmpty(), qPrintable(table.error));
        QCOMPARE(table.passwords.keys(), QStringList{u"ren\u00e9"_qs});
    }

    void loginSplitsAtFirstSeparator()
    {
        QCOMPARE(parseLogin(u"a///b///c"_qs)->name, u"a");
        QCOMPARE(parseLogin(u"a///b///c"_qs)->password, u"b///c");
        QVERIFY(!parseLogin(u"a//b"_qs));
    }

    void logTextIsPrintable()
    {
        QCOMPARE(printable(u"a\x1b[2Jb\\"_qs), u"a\\x1b[2Jb\\x5c");
        QCOMPARE(printable(QString(100, u'x'), 10), QString(10, u'x') + u"..."_qs);
    }
};

QTEST_GUILESS_MAIN(tst_ServerUsers)
#include "tst_serverusers.moc"
