// The login dialog frmAddress: its design, the checks of OK, and what OK, Cancel, Esc and the close
// box leave in Globals.
#include "FakeMessageBoxes.h"
#include "Globals.h"
#include "WindowDriver.h"
#include "frmAddress.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

class LoginDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        Globals::reset();
    }
    void cleanup()
    {
        discardWindows<frmAddress>();
    }

    void designValuesAndArrangement()
    {
        frmAddress *d = Window<frmAddress>::load();
        QCOMPARE(d->windowTitle(), QString("Login"));
        QVERIFY(!(d->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(d->windowFlags() & Qt::WindowMaximizeButtonHint));

        const QList<std::tuple<const char *, QString, QWidget *>> rows = {
            {"Label1", "&User Name:", d->Text1},
            {"Label2", "&Password:", d->Text2},
            {"lblAddress", "&Host:", d->ComboAddress},
            {"Label3", "P&ort:", d->ComboPort},
        };
        for (const auto &[name, caption, field] : rows) {
            auto *label = d->findChild<QLabel *>(name);
            QVERIFY2(label, name);
            QCOMPARE(label->text(), caption);
            QCOMPARE(label->buddy(), field); // the access key reaches the field
        }
        QCOMPARE(d->findChild<QLineEdit *>("Text1"), d->Text1);
        QCOMPARE(d->findChild<QComboBox *>("ComboPort"), d->ComboPort);

        QVERIFY(d->Text1->text().isEmpty());
        QVERIFY(d->Text2->text().isEmpty());
        QStringList presets;
        for (int i = 0; i < d->ComboAddress->count(); ++i)
            presets << d->ComboAddress->itemText(i);
        QCOMPARE(presets.size(), 4);
        QVERIFY(presets[0].startsWith("192.0.2.") || presets[0].startsWith("198.51.100.")
                || presets[0].startsWith("203.0.113."));
        QVERIFY(presets[1].startsWith("192.0.2.") || presets[1].startsWith("198.51.100.")
                || presets[1].startsWith("203.0.113."));
        QCOMPARE(presets[2], QString("localhost"));
        QVERIFY(presets[3].startsWith("192.168."));
        QCOMPARE(d->ComboAddress->currentText(), presets[0]);
        QVERIFY(d->ComboAddress->isEditable());
        QCOMPARE(d->ComboPort->count(), 2);
        QCOMPARE(d->ComboPort->itemText(0), QString("2727"));
        QCOMPARE(d->ComboPort->itemText(1), QString("Auto"));
        QCOMPARE(d->ComboPort->currentText(), QString("2727"));
        QVERIFY(d->ComboPort->isEditable());

        QCOMPARE(d->cmdOK->text(), QString("&OK"));
        QCOMPARE(d->cmdCancel->text(), QString("&Cancel"));
        QVERIFY(d->cmdOK->isDefault());
        QVERIFY(!d->cmdCancel->isDefault());
        QVERIFY(!d->cmdCancel->autoDefault());

        // The buttons stand at the right of the first two rows.
        d->show();
        QVERIFY(d->cmdOK->x() > d->Text1->x() + d->Text1->width() - 1);
        QVERIFY(d->cmdCancel->y() > d->cmdOK->y());
    }

    void tabOrderStartsInTheUserNameBox()
    {
        frmAddress *d = Window<frmAddress>::show();
        QVERIFY(QTest::qWaitForWindowActive(d));
        QCOMPARE(QApplication::focusWidget(), d->Text1);
        const QList<QWidget *> expected = {d->Text2, d->cmdOK, d->cmdCancel, d->ComboAddress,
                                           d->ComboPort};
        for (QWidget *next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget *focus = QApplication::focusWidget();
            // An editable combo box takes the focus through its line edit.
            QVERIFY2(focus == next || focus->parentWidget() == next,
                     qPrintable(focus->objectName()));
        }
    }

    void passwordShowsOnlyStars()
    {
        frmAddress *d = Window<frmAddress>::show();
        QTest::keyClicks(d->Text2, "pa ss");
        QCOMPARE(d->Text2->text(), QString("pa ss"));
        QCOMPARE(d->Text2->echoMode(), QLineEdit::Password);
        QCOMPARE(d->Text2->displayText(), QString("*****"));
    }

    void focusEnteringTheUserNameSelectsItsText()
    {
        frmAddress *d = Window<frmAddress>::show();
        d->Text1->setText("someone");
        d->Text1->deselect();
        QFocusEvent focusIn(QEvent::FocusIn, Qt::MouseFocusReason);
        QCoreApplication::sendEvent(d->Text1, &focusIn);
        QTRY_COMPARE(d->Text1->selectedText(), QString("someone"));
        QCOMPARE(d->Text1->selectionStart(), 0);
    }

    void okStoresExactlyWhatWasTyped_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<qint32>("storedPort");
        QTest::newRow("design port") << "2727" << 2727;
        QTest::newRow("typed port") << "5151" << 5151;
        QTest::newRow("Auto") << "Auto" << 2727;
        QTest::newRow("auto, small letters") << "auto" << 2727;
        QTest::newRow("lowest") << "1" << 1;
        QTest::newRow("highest") << "65535" << 65535;
    }
    void okStoresExactlyWhatWasTyped()
    {
        QFETCH(QString, port);
        QFETCH(qint32, storedPort);
        FakeMessageBoxes boxes;
        Globals::nServerPort = 2727;
        frmAddress *d = Window<frmAddress>::show();
        QPointer<frmAddress> guard(d);
        d->Text1->setText(" ann ");
        d->Text2->setText("p///w");
        d->ComboAddress->setEditText("localhost");
        d->ComboPort->setEditText(port);
        d->cmdOK->click();

        QCOMPARE(boxes.count(), 0);
        QCOMPARE(Globals::sUserName, QString(" ann ")); // nothing trimmed
        QCOMPARE(Globals::sPassword, QString("p///w"));
        QCOMPARE(Globals::sServerHost, QString("localhost"));
        QCOMPARE(Globals::nServerPort, storedPort);
        QCOMPARE(Window<frmAddress>::get(), nullptr); // closed and discarded
        QTRY_VERIFY(guard.isNull());
    }

    void anEmptyFieldIsRefusedWithTheExactBox_data()
    {
        QTest::addColumn<QString>("field");
        QTest::newRow("user name") << "Text1";
        QTest::newRow("password") << "Text2";
        QTest::newRow("host") << "ComboAddress";
        QTest::newRow("port") << "ComboPort";
    }
    void anEmptyFieldIsRefusedWithTheExactBox()
    {
        QFETCH(QString, field);
        FakeMessageBoxes boxes;
        Globals::sUserName = "earlier";
        Globals::nServerPort = 2727;
        frmAddress *d = Window<frmAddress>::show();
        d->Text1->setText("ann");
        d->Text2->setText("pw");
        d->ComboAddress->setEditText("localhost");
        d->ComboPort->setEditText("2800");
        if (auto *line = d->findChild<QLineEdit *>(field); line && line->parent() == d)
            line->clear();
        else
            d->findChild<QComboBox *>(field)->setEditText(QString());
        d->cmdOK->click();

        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().text, QString(" Error , Please fill the all information "));
        QCOMPARE(boxes.last().title, QString("Quillet"));
        QCOMPARE(boxes.last().icon, BoxIcon::Critical);
        // The dialog stays open with what was typed, and nothing is stored.
        QCOMPARE(Window<frmAddress>::get(), d);
        QVERIFY(d->isVisible());
        QCOMPARE(d->Text1->text(), QString(field == "Text1" ? "" : "ann"));
        QCOMPARE(d->ComboPort->currentText(), QString(field == "ComboPort" ? "" : "2800"));
        QVERIFY(Globals::sServerHost.isEmpty());
        QCOMPARE(Globals::sUserName, QString("earlier"));
        QCOMPARE(Globals::nServerPort, 2727);
    }

    void aBlankCountsAsFilled()
    {
        FakeMessageBoxes boxes;
        frmAddress *d = Window<frmAddress>::show();
        d->Text1->setText(" ");
        d->Text2->setText(" ");
        d->cmdOK->click();
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(Globals::sUserName, QString(" "));
        QCOMPARE(Globals::sServerHost, frmAddress::hostPresets().first());
    }

    void aPortThatIsNoPortIsRefused_data()
    {
        QTest::addColumn<QString>("port");
        QTest::newRow("zero") << "0";
        QTest::newRow("too high") << "65536";
        QTest::newRow("far too high") << "9999999999";
        QTest::newRow("letters") << "27a7";
        QTest::newRow("sign") << "-2727";
        QTest::newRow("plus") << "+2727";
        QTest::newRow("blank around") << " 2727";
        QTest::newRow("fraction") << "27.5";
        QTest::newRow("Autos") << "Autos";
    }
    void aPortThatIsNoPortIsRefused()
    {
        QFETCH(QString, port);
        FakeMessageBoxes boxes;
        Globals::nServerPort = 2727;
        frmAddress *d = Window<frmAddress>::show();
        d->Text1->setText("ann");
        d->Text2->setText("pw");
        d->ComboPort->setEditText(port);
        d->cmdOK->click();

        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().text, frmAddress::BadPortText);
        QCOMPARE(Window<frmAddress>::get(), d);
        QVERIFY(d->isVisible());
        QVERIFY(Globals::sServerHost.isEmpty());
        QVERIFY(Globals::sUserName.isEmpty());
        QCOMPARE(Globals::nServerPort, 2727);
    }

    void cancelForgetsTheHostAndKeepsAnEarlierLogin()
    {
        Globals::sServerHost = "somewhere";
        Globals::sUserName = "ann";
        Globals::sPassword = "pw";
        frmAddress *d = Window<frmAddress>::show();
        d->Text1->setText("bob");
        d->cmdCancel->click();
        QVERIFY(Globals::sServerHost.isEmpty());
        QCOMPARE(Globals::sUserName, QString("ann"));
        QCOMPARE(Globals::sPassword, QString("pw"));
        QCOMPARE(Window<frmAddress>::get(), nullptr);
    }

    void escIsCancelAndEnterIsOk()
    {
        FakeMessageBoxes boxes;
        Globals::sServerHost = "somewhere";
        frmAddress *d = Window<frmAddress>::show();
        QTest::keyClick(d->Text1, Qt::Key_Escape);
        QVERIFY(Globals::sServerHost.isEmpty());
        QCOMPARE(Window<frmAddress>::get(), nullptr);

        d = Window<frmAddress>::show();
        QVERIFY(QTest::qWaitForWindowActive(d));
        d->Text1->setText("ann");
        d->Text2->setText("pw");
        d->cmdCancel->setFocus(); // Enter presses OK even with the focus on Cancel
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(Globals::sUserName, QString("ann"));
        QCOMPARE(Globals::sServerHost, frmAddress::hostPresets().first());
        QCOMPARE(Window<frmAddress>::get(), nullptr);
    }

    void theCloseBoxLeavesTheGlobalsAlone()
    {
        Globals::sServerHost = "somewhere";
        Globals::sUserName = "ann";
        frmAddress *d = Window<frmAddress>::show();
        d->Text1->setText("bob");
        d->ComboAddress->setEditText("elsewhere");
        QVERIFY(d->close());
        QCOMPARE(Globals::sServerHost, QString("somewhere"));
        QCOMPARE(Globals::sUserName, QString("ann"));
        QCOMPARE(Window<frmAddress>::get(), nullptr);
    }

    void everyOpeningStartsFromTheDesignValues()
    {
        FakeMessageBoxes boxes;
        frmAddress *d = Window<frmAddress>::show();
        d->Text1->setText("ann");
        d->Text2->setText("pw");
        d->ComboAddress->setCurrentIndex(2);
        d->ComboPort->setCurrentIndex(1);
        d->cmdOK->click();
        QCOMPARE(Globals::nServerPort, 2727);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        d = Window<frmAddress>::show();
        QVERIFY(d->Text1->text().isEmpty());
        QVERIFY(d->Text2->text().isEmpty());
        QCOMPARE(d->ComboAddress->currentText(), frmAddress::hostPresets().first());
        QCOMPARE(d->ComboPort->currentText(), QString("2727"));
    }
};

QTEST_MAIN(LoginDialogTest)
#include "tst_login_dialog.moc"
