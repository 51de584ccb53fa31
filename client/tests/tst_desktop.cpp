// The client as a desktop program: every window's controls have names for assistive technology and
// are reached by the keyboard, the program icon is drawn from its SVG at any pixel ratio, and an
// arriving room line or partner's character asks for attention once per burst while its window is
// not active.
#include "AppIcon.h"
#include "Attention.h"
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

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

using namespace quillet;
using namespace quillet::test;

namespace {

QString accessibleName(QObject *object)
{
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(object);
    return iface ? iface->text(QAccessible::Name) : QString();
}

// The controls of a window: every widget the window's code named (Qt's own inner widgets, named
// "qt_..." or not at all, belong to the control around them), and every menu and menu item.
QStringList unnamedControls(QWidget *window)
{
    QStringList unnamed;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1StringView("qt_"))
            || qobject_cast<QMenu *>(w))
            continue;
        if (accessibleName(w).trimmed().isEmpty())
            unnamed << w->objectName();
    }
    if (auto *main = qobject_cast<QMainWindow *>(window)) {
        for (QAction *header : main->menuBar()->actions()) {
            QList<QAction *> items{header};
            if (header->menu())
                items += header->menu()->actions();
            for (QAction *item : items) {
                if (!item->isSeparator() && item->text().remove(u'&').trimmed().isEmpty())
                    unnamed << "menu item " + item->objectName();
            }
        }
    }
    return unnamed;
}

// The widgets that Tab (and Shift+Tab) visit, starting from the window's focus widget, until the
// focus comes round again.
QSet<QWidget *> tabCycle(Qt::Key key)
{
    QSet<QWidget *> seen;
    for (int i = 0; i < 100; ++i) {
        QWidget *focus = QApplication::focusWidget();
        if (!focus || seen.contains(focus))
            break;
        seen.insert(focus);
        QTest::keyClick(focus, key);
    }
    return seen;
}

// The controls that should take the focus from the keyboard: enabled, shown, focusable by Tab.
QSet<QWidget *> keyboardControls(QWidget *window)
{
    QSet<QWidget *> controls;
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (w->isVisibleTo(window) && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)
            && !w->focusProxy() && w->window() == window)
            controls.insert(w);
    }
    return controls;
}

QStringList names(const QSet<QWidget *> &widgets)
{
    QStringList list;
    for (QWidget *w : widgets)
        list << (w->objectName().isEmpty() ? QString(w->metaObject()->className()) : w->objectName());
    list.sort();
    return list;
}

bool showsColour(const QImage &image, const QColor &colour)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == colour)
                return true;
    return false;
}

const QColor IconBlue(0x46, 0x82, 0xdc); // the bubble of data/quillet.svg

} // namespace

class DesktopTest : public QObject
{
    Q_OBJECT

    FakeMessageBoxes *boxes = nullptr;

    template<class W>
    W *shown()
    {
        W *w = Window<W>::show();
        if (!QTest::qWaitForWindowActive(w))
            qWarning("%s did not become active", w->metaObject()->className());
        return w;
    }

private slots:
    void init()
    {
        boxes = new FakeMessageBoxes;
        Globals::reset();
        Globals::sUserName = "ann";
        Globals::sPartnerName = "bob";
        Globals::sRequestUser = "bob";
        Globals::sRequestMessage = "shall we talk?";
    }
    void cleanup()
    {
        discardWindows<frmchat, frmreqchat, frmabout1, frmcanvas, frmprivatechat>();
        discardClientWindows();
        delete boxes;
    }

    void everyControlOfEveryWindowHasAnAccessibleName()
    {
        // Loaded with empty values as well: a label that shows nothing still says what it is for.
        Globals::reset();
        const QList<QWidget *> windows{Window<frmMain>::load(),    Window<frmAddress>::load(),
                                       Window<frmabout>::load(),   Window<frmabout1>::load(),
                                       Window<frmreqchat>::load(), Window<frmchat>::load(),
                                       Window<frmprivatechat>::load(), Window<frmcanvas>::load()};
        QStringList missing;
        for (QWidget *window : windows) {
            QVERIFY(!accessibleName(window).isEmpty());
            for (const QString &control : unnamedControls(window))
                missing << window->objectName() + '.' + control;
        }
        QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
    }

    void valueLabelsAreNamedAfterTheirRoleAndValue()
    {
        frmchat *request = Window<frmchat>::load();
        QCOMPARE(accessibleName(request->Label1), QString("Requester: bob"));
        QCOMPARE(accessibleName(request->Label4), QString("Request message: shall we talk?"));
        QCOMPARE(accessibleName(Window<frmprivatechat>::load()->Label2), QString("Partner: bob"));
        // Fields are named by the label whose buddy they are, or on their own.
        QCOMPARE(accessibleName(request->Text1), QString("Reason of refusal :"));
        QCOMPARE(accessibleName(Window<frmAddress>::load()->Text1), QString("User Name:"));
        QCOMPARE(accessibleName(Window<frmMain>::load()->txtrx), QString("Message Window"));
    }

    void tabReachesEveryControlOfEachWindow_data()
    {
        QTest::addColumn<QString>("window");
        for (const char *w : {"frmMain", "frmAddress", "frmabout", "frmreqchat", "frmchat", "frmcanvas"})
            QTest::newRow(w) << QString(w);
    }
    void tabReachesEveryControlOfEachWindow()
    {
        QFETCH(QString, window);
        QWidget *w = nullptr;
        if (window == "frmMain") {
            auto *main = shown<frmMain>();
            main->txtTx->setEnabled(true); // as when connected
            main->txtTx->setFocus();
            w = main;
        } else if (window == "frmAddress") {
            w = shown<frmAddress>();
        } else if (window == "frmabout") {
            w = shown<frmabout>();
        } else if (window == "frmreqchat") {
            w = shown<frmreqchat>();
        } else if (window == "frmchat") {
            w = shown<frmchat>();
        } else {
            auto *canvas = shown<frmcanvas>();
            canvas->picSelColor[0]->setFocus();
            w = canvas;
        }
        QVERIFY(QApplication::focusWidget() && QApplication::focusWidget()->window() == w);
        const QSet<QWidget *> expected = keyboardControls(w);
        QVERIFY(!expected.isEmpty());
        QCOMPARE(names(tabCycle(Qt::Key_Tab)), names(expected));
        QCOMPARE(names(tabCycle(Qt::Key_Backtab)), names(expected));
    }

    void theChatWindowIsLeftByTheKeyboardToo()
    {
        // In the typing box Tab is a character for the partner; Ctrl+Tab moves on, as in any text
        // box that takes Tab.
        frmprivatechat *chat = shown<frmprivatechat>();
        QCOMPARE(QApplication::focusWidget(), chat->Txtsend);
        QTest::keyClick(chat->Txtsend, Qt::Key_Tab);
        QCOMPARE(chat->Txtsend->toPlainText(), QString("\t"));
        QTest::keyClick(chat->Txtsend, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(QApplication::focusWidget(), chat->Txtrecv);
        QTest::keyClick(chat->Txtrecv, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), chat->Txtsend);
    }

    void dialogsHaveTheirDefaultAndCancelKeys()
    {
        // Enter in the request message sends the request (the default button); Esc ends it.
        frmreqchat *request = shown<frmreqchat>();
        QVERIFY(request->Cmdrequest->isDefault() && !request->Cmdcancel->isDefault());
        QTest::keyClick(request->Text1, Qt::Key_Escape);
        QVERIFY(!Window<frmreqchat>::get());
        // The incoming request: Enter in the reason box answers nothing; Esc refuses.
        frmchat *incoming = shown<frmchat>();
        QTest::keyClick(incoming->Text1, Qt::Key_Return);
        QCOMPARE(Window<frmchat>::get(), incoming);
        QTest::keyClick(incoming->Text1, Qt::Key_Escape);
        QVERIFY(!Window<frmchat>::get());
    }

    void theIconIsDrawnFromItsSvgAtEveryPixelRatio()
    {
        const QIcon icon = programIcon();
        QVERIFY2(!icon.isNull(), "no program icon: is Qt's SVG icon engine (libqt6svg6) installed?");
        for (qreal ratio : {1.0, 2.0, 3.0}) {
            const QPixmap pixmap = icon.pixmap(QSize(48, 48), ratio);
            QCOMPARE(pixmap.size(), QSize(48, 48) * ratio); // drawn at the ratio, not scaled up
            QCOMPARE(pixmap.devicePixelRatio(), ratio);
            const QImage image = pixmap.toImage();
            QCOMPARE(image.pixelColor(image.width() / 4, image.height() / 2), IconBlue);
            QCOMPARE(image.pixelColor(0, image.height() - 1).alpha(), 0); // transparent corner
        }
        // Both About boxes show it in picIcon; the main window and the about box carry it.
        for (frmabout *box : {shown<frmabout>(), static_cast<frmabout *>(shown<frmabout1>())})
            QVERIFY(showsColour(box->picIcon->grab().toImage(), IconBlue));
        QVERIFY(!Window<frmMain>::load()->windowIcon().isNull());
    }

    // --- Attention ---

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

        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        for (int i = 0; i < 3; ++i)
            attention.arrived();
        QCOMPARE(recorder.requests, QList<QWidget *>{&watched});
        QCOMPARE(QApplication::activeWindow(), &other); // the focus stays where it was

        // Once the window has been active, the next burst asks again.
        watched.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&watched));
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        attention.arrived();
        attention.arrived();
        QCOMPARE(recorder.requests.size(), 2);
    }

    void aRoomLineAsksForAttentionForTheInactiveMainWindow()
    {
        AttentionRecorder recorder;
        LoopbackServer server;
        frmMain *main = startMainWindow();
        main->show();
        connectAsAnn(main, server.port());
        QVERIFY(QTest::qWaitForWindowActive(main));
        QTRY_COMPARE(server.messages(0).size(), 1);

        const auto line = [](const QString &text) {
            return "<message>" + text + "<style>N<user>bob</user></message>";
        };
        server.send(0, line("seen as it comes"));
        QTRY_COMPARE(shownLines(main->txtrx).size(), 1);
        QVERIFY(recorder.requests.isEmpty());

        QWidget elsewhere;
        elsewhere.show();
        elsewhere.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&elsewhere));
        server.send(0, "<add usr>carol,</add usr>"); // not a room line
        server.send(0, line("one"));
        server.send(0, line("two"));
        QTRY_COMPARE(shownLines(main->txtrx).size(), 3);
        QCOMPARE(recorder.requests, QList<QWidget *>{main});
        QCOMPARE(QApplication::activeWindow(), &elsewhere);
    }
};

QTEST_MAIN(DesktopTest)
#include "tst_desktop.moc"
