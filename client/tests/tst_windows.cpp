// The window registry and the two seams, and the dialogs built on them: the login dialog (its
// checks, and what OK, Cancel, Esc and the close box leave in Globals) and the About box.
#include "ClientTestSupport.h"
#include "Globals.h"
#include "ProgramEnd.h"
#include "frmAddress.h"
#include "frmMain.h"
#include "frmabout.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

namespace {
struct Plain : QWidget
{
    using QWidget::QWidget;
};
struct Modal : QDialog
{
    using QDialog::QDialog;
};
} // namespace

class WindowsTest : public QObject
{
    Q_OBJECT

    FakeMessageBoxes *boxes = nullptr;
    frmAddress *d = nullptr; // the login dialog, shown

    void fill(const QString &user, const QString &password, const QString &host, const QString &port)
    {
        d->Text1->setText(user);
        d->Text2->setText(password);
        d->ComboAddress->setEditText(host);
        d->ComboPort->setEditText(port);
    }

private slots:
    void init()
    {
        Globals::reset();
        Globals::sUserName = "earlier";
        Globals::nServerPort = 2727;
        boxes = new FakeMessageBoxes;
        d = Window<frmAddress>::show();
    }
    void cleanup()
    {
        discardWindows<Plain, Modal, frmabout, frmAddress, frmMain>();
        delete boxes;
    }

    void aWindowExistsOnceFromFirstUseUntilItCloses()
    {
        QCOMPARE(Window<Plain>::get(), nullptr);
        Plain *loaded = Window<Plain>::load();
        QVERIFY(!loaded->isVisible() && loaded->isWindow());
        QCOMPARE(Window<Plain>::show(), loaded);
        QVERIFY(loaded->isVisible());
        QPointer<Plain> guard(loaded);
        loaded->close();
        QCOMPARE(Window<Plain>::get(), nullptr); // forgotten at once, deleted by the event loop
        QTRY_VERIFY(guard.isNull());
        QVERIFY(Window<Plain>::load() != nullptr);
        Window<Plain>::unload(); // a window only loaded goes the same way
        QCOMPARE(Window<Plain>::get(), nullptr);

        QPointer<Modal> modal(Window<Modal>::load());
        bool seen = false;
        QTimer::singleShot(0, [&] {
            seen = Window<Modal>::get() == modal && modal->isModal();
            modal->accept();
        });
        QCOMPARE(Window<Modal>::exec(), int(QDialog::Accepted));
        QVERIFY(seen && modal.isNull());
    }

    void theSeamsTakeOverWhileTheirFakesLive()
    {
        ProgramEndRecorder ends;
        messageBox(nullptr, "one", QString(), BoxIcon::Critical);
        endProgram();
        QCOMPARE(boxes->shown[0].title, QString("Quillet")); // no title: the program's name
        QCOMPARE(ends.count, 1);
    }

    void okStoresExactlyWhatWasTyped_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<qint32>("stored");
        QTest::newRow("design") << "2727" << 2727;
        QTest::newRow("typed") << "5151" << 5151;
        QTest::newRow("Auto") << "auto" << 2727;
        QTest::newRow("lowest") << "1" << 1;
        QTest::newRow("highest") << "65535" << 65535;
    }
    void okStoresExactlyWhatWasTyped()
    {
        QFETCH(QString, port);
        QFETCH(qint32, stored);
        fill(" ", "p///w ", "localhost", port); // a blank is a value: nothing is trimmed
        d->cmdOK->click();
        QVERIFY(boxes->shown.isEmpty());
        QCOMPARE(QStringList({Globals::sUserName, Globals::sPassword, Globals::sServerHost}),
                 QStringList({" ", "p///w ", "localhost"}));
        QCOMPARE(Globals::nServerPort, stored);
        QCOMPARE(Window<frmAddress>::get(), nullptr);
    }

    void aMissingOrBadValueKeepsTheDialogOpen_data()
    {
        QTest::addColumn<int>("empty"); // the field left empty: user, password, host; -1 none
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("box");
        const QString fillAll = " Error , Please fill the all information ";
        QTest::newRow("user name") << 0 << "2800" << fillAll;
        QTest::newRow("password") << 1 << "2800" << fillAll;
        QTest::newRow("host") << 2 << "2800" << fillAll;
        QTest::newRow("port") << -1 << "" << fillAll;
        for (const char *bad : {"0", "65536", "9999999999", "27a7", "-1", "+2727", " 2727", "Autos"})
            QTest::newRow(bad) << -1 << bad << frmAddress::BadPortText;
    }
    void aMissingOrBadValueKeepsTheDialogOpen()
    {
        QFETCH(int, empty);
        QFETCH(QString, port);
        QFETCH(QString, box);
        fill(empty == 0 ? "" : "ann", empty == 1 ? "" : "pw", empty == 2 ? "" : "localhost", port);
        d->cmdOK->click();
        QCOMPARE(boxes->shown.size(), 1);
        QCOMPARE(boxes->shown[0].text, box);
        if (box.startsWith(" Error"))
            QCOMPARE(boxes->shown[0].icon, BoxIcon::Critical);
        QCOMPARE(Window<frmAddress>::get(), d);
        QCOMPARE(d->ComboPort->currentText(), port); // as typed
        QVERIFY(Globals::sServerHost.isEmpty());
        QCOMPARE(Globals::sUserName, QString("earlier"));
        QCOMPARE(Globals::nServerPort, 2727);
    }

    void cancelEscAndTheCloseBox()
    {
        Globals::sServerHost = "somewhere";
        fill("bob", "x", "elsewhere", "1");
        d->close(); // the close box leaves everything alone
        QCOMPARE(Globals::sServerHost, QString("somewhere"));
        Window<frmAddress>::show()->cmdCancel->click(); // Cancel forgets the host only
        QVERIFY(Globals::sServerHost.isEmpty());
        QCOMPARE(Globals::sUserName, QString("earlier"));
        Globals::sServerHost = "somewhere";
        QTest::keyClick(Window<frmAddress>::show()->Text1, Qt::Key_Escape); // Esc is Cancel
        QVERIFY(Globals::sServerHost.isEmpty());
        QCOMPARE(Window<frmAddress>::get(), nullptr);
    }

    void theKeyboardAndTheMask()
    {
        QVERIFY(QTest::qWaitForWindowActive(d));
        QCOMPARE(QApplication::focusWidget(), d->Text1);
        QTest::keyClick(d->Text1, Qt::Key_Tab);
        QTest::keyClicks(QApplication::focusWidget(), "pa ss");
        QCOMPARE(d->Text2->displayText(), QString("*****"));
        QTest::keyClick(d->Text2, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), d->cmdOK);
        d->Text1->setText("ann");
        QTest::keyClick(d->cmdOK, Qt::Key_Tab);
        QTest::keyClick(d->cmdCancel, Qt::Key_Return); // Enter is OK, even on Cancel
        QCOMPARE(Globals::sUserName, QString("ann"));
        QCOMPARE(Window<frmAddress>::get(), nullptr);

        d = Window<frmAddress>::show(); // design values again, the user name selected on focus
        QVERIFY(d->Text1->text().isEmpty() && d->ComboPort->currentText() == "2727");
        QCOMPARE(d->ComboAddress->currentText(), frmAddress::hostPresets().first());
        d->Text1->setText("someone");
        QFocusEvent focusIn(QEvent::FocusIn, Qt::MouseFocusReason);
        QCoreApplication::sendEvent(d->Text1, &focusIn);
        QTRY_COMPARE(d->Text1->selectedText(), QString("someone"));
    }

    void theAboutBoxIsOneModelessWindow_data()
    {
        QTest::addColumn<int>("how"); // of closing it
        QTest::newRow("OK") << 0;
        QTest::newRow("Enter") << 1;
        QTest::newRow("Esc") << 2;
        QTest::newRow("close box") << 3;
    }
    void theAboutBoxIsOneModelessWindow()
    {
        QFETCH(int, how);
        frmMain *main = startMainWindow();
        main->mnuhelp->trigger();
        main->mnuhelp->trigger();
        frmabout *about = Window<frmabout>::get();
        QVERIFY(QTest::qWaitForWindowActive(about));
        int shown = 0;
        for (QWidget *top : QApplication::topLevelWidgets())
            shown += qobject_cast<frmabout *>(top) && top->isVisible();
        QCOMPARE(shown, 1);
        QVERIFY(!about->isModal());
        QVERIFY(!main->isVisible());
        if (how == 0)
            QTest::mouseClick(about->cmdOK, Qt::LeftButton);
        else if (how == 3)
            about->close();
        else
            QTest::keyClick(about, how == 1 ? Qt::Key_Return : Qt::Key_Escape);
        QCOMPARE(Window<frmabout>::get(), nullptr);
        QVERIFY(main->isVisible()); // brought back, however the box closed
    }
};

QTEST_MAIN(WindowsTest)
#include "tst_windows.moc"
