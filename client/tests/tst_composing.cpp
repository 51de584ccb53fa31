// Composing room messages in the main window: the exact bytes that reach the server for Enter and
// Send, style codes, the emotion rules, Clear, and the box when there is no connection.
#include "FakeMessageBoxes.h"
#include "Globals.h"
#include "LoopbackServer.h"
#include "WindowDriver.h"
#include "frmMain.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

class ComposingTest : public QObject
{
    Q_OBJECT

    frmMain *w = nullptr;
    LoopbackServer *server = nullptr;
    FakeMessageBoxes *boxes = nullptr;

    // Messages the client sent after its login message.
    QStringList sent() const
    {
        return server->messages(0).mid(1);
    }

private slots:
    void init()
    {
        boxes = new FakeMessageBoxes;
        server = new LoopbackServer;
        w = startMainWindow();
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w));
        connectThroughDialog(w, {"ann", "pw", "127.0.0.1", QString::number(server->port())});
        QTRY_COMPARE(server->messages(0), QStringList{"ann///pw"});
        // The login dialog had the focus; give it back to the main window.
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w));
    }
    void cleanup()
    {
        discardClientWindows();
        delete server;
        delete boxes;
    }

    void enterSendsTheExactRoomMessage()
    {
        QTest::keyClicks(w->txtTx, "hi");
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        QByteArray expected("ann///pw");
        expected += '\0';
        expected += "<message>hi<style>N<user>ann</user></message>";
        expected += '\0';
        QTRY_COMPARE(server->received(0), expected);
        QVERIFY(w->txtTx->text().isEmpty());
        QCOMPARE(QApplication::focusWidget(), w->txtTx);
        // Nothing is shown until the server's copy comes back.
        QCOMPARE(shownLines(w->txtrx), QStringList());
        server->send(0, "<message>hi<style>N<user>ann</user></message>");
        QTRY_COMPARE(shownLines(w->txtrx), QStringList{"ann : hi"});
    }

    void theKeypadEnterSendsToo()
    {
        QTest::keyClicks(w->txtTx, "x");
        QTest::keyClick(w->txtTx, Qt::Key_Enter, Qt::KeypadModifier);
        QTRY_COMPARE(sent(), QStringList{"<message>x<style>N<user>ann</user></message>"});
    }

    void theTogglesChooseTheStyleCode_data()
    {
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("italic");
        QTest::addColumn<QString>("code");
        QTest::newRow("both") << true << true << "BI";
        QTest::newRow("bold") << true << false << "B";
        QTest::newRow("italic") << false << true << "I";
        QTest::newRow("none") << false << false << "N";
    }
    void theTogglesChooseTheStyleCode()
    {
        QFETCH(bool, bold);
        QFETCH(bool, italic);
        QFETCH(QString, code);
        if (bold)
            QTest::mouseClick(w->bold, Qt::LeftButton);
        if (italic)
            QTest::mouseClick(w->italic, Qt::LeftButton);
        w->txtTx->setText("one");
        QTest::mouseClick(w->Command1, Qt::LeftButton);
        w->txtTx->setText("two");
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        // The toggles keep their state from one message to the next.
        QTRY_COMPARE(sent(), QStringList({"<message>one<style>" + code + "<user>ann</user></message>",
                                          "<message>two<style>" + code + "<user>ann</user></message>"}));
        QCOMPARE(w->bold->isChecked(), bold);
        QCOMPARE(w->italic->isChecked(), italic);
    }

    void sendTakesTheEmotionOnlyWhenTheEntryIsEmpty()
    {
        w->Combo1->setCurrentIndex(w->Combo1->findText("Wave!"));
        QCOMPARE(w->Combo1->currentText(), QString("Wave!"));
        w->Command1->click();
        QTRY_COMPARE(sent().size(), 1);
        QCOMPARE(sent()[0], QString("<message>Wave!<style>N<user>ann</user></message>"));
        QCOMPARE(w->Combo1->currentText(), QString()); // an emotion sent is cleared

        w->Combo1->setEditText("Wave!");
        w->txtTx->setText("hi");
        w->Command1->click();
        QTRY_COMPARE(sent().size(), 2);
        QCOMPARE(sent()[1], QString("<message>hi<style>N<user>ann</user></message>"));
        QCOMPARE(w->Combo1->currentText(), QString("Wave!")); // not sent, kept

        w->Combo1->setEditText("my own word");
        w->Command1->click();
        QTRY_COMPARE(sent().size(), 3);
        QCOMPARE(sent()[2], QString("<message>my own word<style>N<user>ann</user></message>"));
        QCOMPARE(w->Combo1->count(), 26); // a typed word does not join the list
    }

    void emptyEntriesSendAnEmptyText()
    {
        w->Command1->click();
        w->Combo1->setEditText("Hug");
        QTest::keyClick(w->txtTx, Qt::Key_Return); // Enter never looks at the emotions
        QTRY_COMPARE(sent(), QStringList({"<message><style>N<user>ann</user></message>",
                                          "<message><style>N<user>ann</user></message>"}));
        QCOMPARE(w->Combo1->currentText(), QString("Hug"));
    }

    void textGoesOutUnchanged()
    {
        const QString text = "a <b>tag</b> & </user></message> 100% ///";
        w->txtTx->setText(text);
        w->Command1->click();
        QTRY_COMPARE(sent(), QStringList{"<message>" + text + "<style>N<user>ann</user></message>"});
    }

    void sendingScrollsToTheEndAndKeepsTheFocusInTheEntry()
    {
        for (int i = 0; i < 100; ++i)
            w->Socketmain_DataArrival("<message>l" + QString::number(i)
                                      + "<style>N<user>bob</user></message>");
        QTextCursor c = w->txtrx->textCursor();
        c.movePosition(QTextCursor::Start);
        w->txtrx->setTextCursor(c);
        const QStringList before = shownLines(w->txtrx);
        w->txtTx->setText("x");
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        QCOMPARE(w->txtrx->textCursor().position(), w->txtrx->document()->characterCount() - 1);
        QCOMPARE(shownLines(w->txtrx), before);
        QCOMPARE(QApplication::focusWidget(), w->txtTx);
    }

    void clearEmptiesTheEntryAndSendsNothing()
    {
        w->txtTx->setText("draft");
        w->Combo1->setEditText("Hug");
        QTest::mouseClick(w->Command2, Qt::LeftButton);
        QVERIFY(w->txtTx->text().isEmpty());
        QCOMPARE(QApplication::focusWidget(), w->txtTx);
        QCOMPARE(w->Combo1->currentText(), QString("Hug"));
        w->txtTx->setText("after");
        w->Command1->click();
        QTRY_COMPARE(sent(), QStringList{"<message>after<style>N<user>ann</user></message>"});
        QCOMPARE(boxes->count(), 0);
    }

    void withoutAConnectionSendAndClearSaySo()
    {
        w->mnuFileDisconnect->trigger();
        QVERIFY(!w->txtTx->isEnabled()); // nothing can be typed and lost
        w->txtTx->setText("lost?");
        w->Combo1->setEditText("Hug");
        w->Command1->click();
        w->Command2->click();
        QCOMPARE(boxes->count(), 2);
        for (const ShownBox &box : boxes->shown) {
            QCOMPARE(box.text, QString("No Valid Connection , Please make connection"));
            QCOMPARE(box.title, QString("Error"));
            QCOMPARE(box.icon, BoxIcon::Information);
        }
        QCOMPARE(w->txtTx->text(), QString("lost?"));
        QCOMPARE(w->Combo1->currentText(), QString("Hug"));
        QTRY_VERIFY(!server->isOpen(0));
        QCOMPARE(sent(), QStringList());
    }

    void aLostConnectionAlsoDisablesTheEntry()
    {
        server->close(0);
        QTRY_VERIFY(!w->txtTx->isEnabled());
        w->Command1->click();
        QCOMPARE(boxes->count(), 1);
        QCOMPARE(boxes->last().text, QString("No Valid Connection , Please make connection"));
    }
};

QTEST_MAIN(ComposingTest)
#include "tst_composing.moc"
