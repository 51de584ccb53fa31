// The main window's About box: its design, one box at a time, modeless, and the ways it closes.
#include "FakeMessageBoxes.h"
#include "WindowDriver.h"
#include "frmMain.h"
#include "frmabout.h"

#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

class AboutTest : public QObject
{
    Q_OBJECT

    frmMain *w = nullptr;

    int aboutBoxesOnScreen() const
    {
        int n = 0;
        for (QWidget *top : QApplication::topLevelWidgets())
            n += qobject_cast<frmabout *>(top) && top->isVisible() ? 1 : 0;
        return n;
    }

private slots:
    void init()
    {
        w = startMainWindow();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
    }
    void cleanup()
    {
        discardClientWindows();
    }

    void designOfTheBox()
    {
        w->mnuhelp->trigger();
        frmabout *a = Window<frmabout>::get();
        QVERIFY(a);
        QCOMPARE(a->windowTitle(), QString("About"));
        QVERIFY(!a->windowIcon().isNull());
        QVERIFY(!(a->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(a->findChild<QLabel *>("picIcon")->pixmap().width() > 0);

        QGroupBox *credits = a->findChild<QGroupBox *>("Frame1");
        QVERIFY(!credits->title().isEmpty());
        for (const char *name : {"Label1", "Label2", "Label3"}) {
            QLabel *label = a->findChild<QLabel *>(name);
            QVERIFY2(label && label->parentWidget() == credits, name);
            QVERIFY(!label->text().isEmpty());
        }
        QGroupBox *company = a->findChild<QGroupBox *>("Frame2");
        QVERIFY(company->title().isEmpty());
        QCOMPARE(a->lblCompanyProduct->parentWidget(), company);
        QCOMPARE(a->lblVersion->parentWidget(), company);
        QCOMPARE(a->lblCompanyProduct->font().family(), QString("Arial"));
        QCOMPARE(a->lblCompanyProduct->font().pointSizeF(), 11.25);
        QVERIFY(a->lblCompanyProduct->font().bold());
        QVERIFY(!a->lblVersion->text().isEmpty());
        QCOMPARE(a->cmdOK->text(), QString("OK"));
        QVERIFY(a->cmdOK->isDefault());
    }

    void oneModelessBoxAtATime()
    {
        w->mnuhelp->trigger();
        frmabout *first = Window<frmabout>::get();
        w->mnuhelp->trigger();
        QCOMPARE(Window<frmabout>::get(), first);
        QCOMPARE(aboutBoxesOnScreen(), 1);
        QVERIFY(!first->isModal());
        QVERIFY(w->isVisible());
        QVERIFY(w->isEnabled());
        QVERIFY(!QApplication::activeModalWidget());
    }

    void everyWayOfClosingBringsTheMainWindowBack_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("OK") << "ok";
        QTest::newRow("Enter") << "enter";
        QTest::newRow("Esc") << "esc";
        QTest::newRow("close box") << "close";
    }
    void everyWayOfClosingBringsTheMainWindowBack()
    {
        QFETCH(QString, how);
        w->mnuhelp->trigger();
        frmabout *a = Window<frmabout>::get();
        QVERIFY(QTest::qWaitForWindowActive(a));
        w->hide();
        if (how == "ok")
            QTest::mouseClick(a->cmdOK, Qt::LeftButton);
        else if (how == "enter")
            QTest::keyClick(a, Qt::Key_Return);
        else if (how == "esc")
            QTest::keyClick(a, Qt::Key_Escape);
        else
            QVERIFY(a->close());
        QCOMPARE(Window<frmabout>::get(), nullptr);
        QVERIFY(w->isVisible());

        // The next opening makes a new box.
        QPointer<frmabout> old(a);
        QTRY_VERIFY(old.isNull());
        w->mnuhelp->trigger();
        QVERIFY(Window<frmabout>::get());
        QCOMPARE(aboutBoxesOnScreen(), 1);
    }
};

QTEST_MAIN(AboutTest)
#include "tst_about.moc"
