// The client as a desktop program: every control of every window has a name for assistive
// technology, the program icon is drawn from its SVG, and an arriving line asks for attention once
// per burst while its window is not active.
#include "AppIcon.h"
#include "ClientTestSupport.h"
#include "Globals.h"
#include "frmAddress.h"
#include "frmMain.h"
#include "frmabout.h"
#include "frmabout1.h"
#include "frmcanvas.h"
#include "frmchat.h"
#include "frmprivatechat.h"
#include "frmreqchat.h"

#include <QtWidgets>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

class DesktopTest : public QObject
{
    Q_OBJECT

private slots:
    void everyControlOfEveryWindowHasAnAccessibleName()
    {
        Globals::reset(); // empty values: a label that shows nothing still says what it is for
        const QList<QWidget *> windows{Window<frmMain>::load(),    Window<frmAddress>::load(),
                                       Window<frmabout>::load(),   Window<frmabout1>::load(),
                                       Window<frmreqchat>::load(), Window<frmchat>::load(),
                                       Window<frmprivatechat>::load(), Window<frmcanvas>::load()};
        const auto nameOf = [](QObject *object) {
            QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(object);
            return iface ? iface->text(QAccessible::Name).trimmed() : QString();
        };
        // The controls are the widgets the window's code named; Qt's own inner widgets ("qt_..."
        // or unnamed) belong to the control around them.
        QStringList unnamed;
        for (QWidget *window : windows) {
            QVERIFY(!nameOf(window).isEmpty());
            for (QWidget *w : window->findChildren<QWidget *>()) {
                if (!w->objectName().isEmpty() && !w->objectName().startsWith("qt_")
                    && !qobject_cast<QMenu *>(w) && nameOf(w).isEmpty())
                    unnamed << window->objectName() + '.' + w->objectName();
            }
        }
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(", ")));
        const QPixmap icon = Window<frmMain>::get()->windowIcon().pixmap(QSize(48, 48), 2.0);
        QVERIFY2(icon.size() == QSize(96, 96), "no crisp program icon: is libqt6svg6 installed?");
        discardWindows<frmchat, frmreqchat, frmabout1, frmcanvas, frmprivatechat>();
        discardClientWindows();
    }

    void attentionIsAskedOncePerBurstWhileTheWindowIsInactive()
    {
        AttentionRecorder recorder;
        QWidget watched, other;
        AttentionRequest attention(&watched);
        watched.show();
        other.show();
        watched.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&watched));
        attention.arrived(); // the user is looking at it
        QVERIFY(recorder.requests.isEmpty());

        for (int burst = 1; burst <= 2; ++burst) { // once the window was active, the next burst asks again
            other.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&other));
            for (int i = 0; i < 3; ++i)
                attention.arrived();
            QCOMPARE(recorder.requests, QList<QWidget *>(burst, &watched));
            QCOMPARE(QApplication::activeWindow(), &other); // the focus stays where it was
            watched.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&watched));
        }
    }
};

QTEST_MAIN(DesktopTest)
#include "tst_desktop.moc"
