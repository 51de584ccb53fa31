// The client's foundations: program-wide state, the message-box and end-of-program seams, and the
// window registry that every window goes through.
#include "FakeMessageBoxes.h"
#include "Globals.h"
#include "ProgramEnd.h"
#include "WindowRegistry.h"

#include <QCloseEvent>
#include <QDialog>
#include <QTimer>
#include <QtTest>

#include <type_traits>

using namespace quillet;
using namespace quillet::test;

namespace {

class PlainWindow : public QWidget
{
public:
    explicit PlainWindow(QWidget *parent = nullptr)
        : QWidget(parent)
    {
        ++created;
    }
    static inline int created = 0;
};

// A window whose unload handler refuses to close while `keepOpen` is set.
class StubbornWindow : public QWidget
{
public:
    explicit StubbornWindow(QWidget *parent = nullptr)
        : QWidget(parent)
    {
    }
    static inline bool keepOpen = true;

protected:
    void closeEvent(QCloseEvent *event) override
    {
        if (keepOpen)
            event->ignore();
        else
            event->accept();
    }
};

class ModalDialog : public QDialog
{
public:
    explicit ModalDialog(QWidget *parent = nullptr)
        : QDialog(parent)
    {
    }
};

} // namespace

class FoundationTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        StubbornWindow::keepOpen = false;
        discard<PlainWindow>();
        discard<StubbornWindow>();
        discard<ModalDialog>();
    }

    void globalsHaveTheirTypesAndResetToInitialValues()
    {
        static_assert(std::is_same_v<decltype(Globals::nServerPort), qint32>);
        static_assert(std::is_same_v<decltype(Globals::nSilentJoins), qint16>);
        static_assert(std::is_same_v<decltype(Globals::bPrivateChatActive), bool>);

        Globals::sFirstRun = "rilko";
        Globals::sServerHost = "h";
        Globals::sUserName = "u";
        Globals::sPassword = "p";
        Globals::nServerPort = 2727;
        Globals::sRequestUser = "ru";
        Globals::sRequestAddr = "ra";
        Globals::sRequestPort = "rp";
        Globals::sRequestMessage = "rm";
        Globals::bPrivateChatActive = true;
        Globals::sPartnerName = "pn";
        Globals::nSilentJoins = 4;
        Globals::reset();

        for (const QString *s : {&Globals::sFirstRun, &Globals::sServerHost, &Globals::sUserName,
                                 &Globals::sPassword, &Globals::sRequestUser, &Globals::sRequestAddr,
                                 &Globals::sRequestPort, &Globals::sRequestMessage,
                                 &Globals::sPartnerName})
            QVERIFY(s->isEmpty());
        QCOMPARE(Globals::nServerPort, 0);
        QCOMPARE(Globals::nSilentJoins, qint16(0));
        QCOMPARE(Globals::bPrivateChatActive, false);
    }

    void messageBoxesGoThroughTheInstalledSeam()
    {
        {
            FakeMessageBoxes boxes;
            messageBox(nullptr, "text one", QString(), BoxIcon::Critical);
            messageBox(nullptr, "text two", "Error!", BoxIcon::Exclamation);
            QCOMPARE(boxes.count(), 2);
            QCOMPARE(boxes.shown[0].text, QString("text one"));
            QCOMPARE(boxes.shown[0].title, QString("Quillet")); // no title: the program's name
            QCOMPARE(boxes.shown[0].icon, BoxIcon::Critical);
            QCOMPARE(boxes.shown[1].title, QString("Error!"));
            QCOMPARE(boxes.shown[1].icon, BoxIcon::Exclamation);

            // A nested fake takes over and gives the seam back when it goes.
            {
                FakeMessageBoxes inner;
                messageBox(nullptr, "inner");
                QCOMPARE(inner.count(), 1);
                QCOMPARE(inner.last().icon, BoxIcon::None);
            }
            messageBox(nullptr, "after");
            QCOMPARE(boxes.count(), 3);
        }
        // Everything restored: the default shows real boxes again.
        QCOMPARE(installMessageBoxes(nullptr), nullptr);
    }

    void endingTheProgramGoesThroughTheInstalledSeam()
    {
        ProgramEndRecorder ends;
        endProgram();
        endProgram();
        QCOMPARE(ends.count, 2);
    }

    void aWindowIsLoadedOnceAndCreatedOnFirstUse()
    {
        PlainWindow::created = 0;
        QCOMPARE(Window<PlainWindow>::get(), nullptr);
        QCOMPARE(PlainWindow::created, 0);

        PlainWindow *loaded = Window<PlainWindow>::load();
        QVERIFY(loaded);
        QVERIFY(!loaded->isVisible()); // loaded, not shown
        QVERIFY(loaded->isWindow());
        QCOMPARE(Window<PlainWindow>::get(), loaded);
        QCOMPARE(Window<PlainWindow>::load(), loaded);

        PlainWindow *shown = Window<PlainWindow>::show();
        QCOMPARE(shown, loaded);
        QVERIFY(shown->isVisible());
        QCOMPARE(PlainWindow::created, 1);
    }

    void closingAWindowDiscardsItAndTheNextUseCreatesItAnew()
    {
        PlainWindow *first = Window<PlainWindow>::show();
        QPointer<PlainWindow> guard(first);
        QVERIFY(first->close());
        // Forgotten at once, deleted when the event loop gets to it.
        QCOMPARE(Window<PlainWindow>::get(), nullptr);
        QTRY_VERIFY(guard.isNull());

        PlainWindow *second = Window<PlainWindow>::load();
        QVERIFY(second);
        QVERIFY(!second->isVisible());

        // Unloading a window that was only loaded discards it as well.
        QPointer<PlainWindow> secondGuard(second);
        Window<PlainWindow>::unload();
        QCOMPARE(Window<PlainWindow>::get(), nullptr);
        QTRY_VERIFY(secondGuard.isNull());
        Window<PlainWindow>::unload(); // nothing loaded: nothing happens
    }

    void aWindowThatRefusesToCloseStaysLoaded()
    {
        StubbornWindow::keepOpen = true;
        StubbornWindow *w = Window<StubbornWindow>::show();
        Window<StubbornWindow>::unload();
        QCOMPARE(Window<StubbornWindow>::get(), w);
        QVERIFY(w->isVisible());
        StubbornWindow::keepOpen = false;
        Window<StubbornWindow>::unload();
        QCOMPARE(Window<StubbornWindow>::get(), nullptr);
    }

    void aModalDialogIsReachableWhileItRunsAndGoneAfterwards()
    {
        ModalDialog *loaded = Window<ModalDialog>::load();
        QPointer<ModalDialog> guard(loaded);
        bool seenWhileModal = false;
        QTimer::singleShot(0, [&] {
            ModalDialog *running = Window<ModalDialog>::get();
            seenWhileModal = running == loaded && running->isModal() && running->isVisible();
            running->accept();
        });
        const int result = Window<ModalDialog>::exec();
        QCOMPARE(result, int(QDialog::Accepted));
        QVERIFY(seenWhileModal);
        QVERIFY(guard.isNull()); // discarded when exec() returned
        QCOMPARE(Window<ModalDialog>::get(), nullptr);
    }

private:
    template<class W>
    static void discard()
    {
        delete Window<W>::get();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};

QTEST_MAIN(FoundationTest)
#include "tst_foundation.moc"
