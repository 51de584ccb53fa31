// The drawing canvas: its palette and the current colour, drawing with the mouse (synthetic events,
// pixels read back from the drawing area's image), clearing, far-off drags, repainting, and what
// closing and reopening leave.
#include "ClientTestSupport.h"
#include "Globals.h"
#include "frmcanvas.h"

#include <QAction>
#include <QLabel>
#include <QMap>
#include <QSet>
#include <QToolButton>
#include <QtTest>

#include <limits>

using namespace quillet;
using namespace quillet::test;

namespace {

const QRgb White = qRgb(255, 255, 255);

// The palette as the user sees it, by name.
const QMap<QString, QColor> &coloursByName()
{
    static const QMap<QString, QColor> map{
        {"white", QColor(255, 255, 255)}, {"black", QColor(0, 0, 0)},
        {"light grey", QColor(192, 192, 192)}, {"grey", QColor(128, 128, 128)},
        {"dark red", QColor(128, 0, 0)}, {"red", QColor(255, 0, 0)},
        {"brown", QColor(128, 64, 0)}, {"orange", QColor(255, 128, 0)},
        {"dark green", QColor(0, 128, 0)}, {"green", QColor(0, 255, 0)},
        {"olive", QColor(128, 128, 0)}, {"yellow", QColor(255, 255, 0)},
        {"purple", QColor(128, 0, 128)}, {"magenta", QColor(255, 0, 255)},
        {"navy", QColor(0, 0, 128)}, {"blue", QColor(0, 0, 255)}};
    return map;
}

QList<QPoint> inkedPixels(const QImage &image)
{
    QList<QPoint> inked;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != White)
                inked.append(QPoint(x, y));
    return inked;
}

bool allWhite(const QImage &image)
{
    return inkedPixels(image.convertToFormat(QImage::Format_RGB32)).isEmpty();
}

// True when the points form one piece, neighbours counted across corners too.
bool oneConnectedPiece(const QList<QPoint> &points)
{
    if (points.isEmpty())
        return false;
    QSet<QPoint> left(points.begin(), points.end());
    QList<QPoint> todo{points.first()};
    left.remove(points.first());
    while (!todo.isEmpty()) {
        const QPoint p = todo.takeLast();
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (left.remove(p + QPoint(dx, dy)))
                    todo.append(p + QPoint(dx, dy));
    }
    return left.isEmpty();
}

struct PaintRecorder : QObject
{
    QList<QRect> rects;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            rects.append(static_cast<QPaintEvent *>(event)->rect());
        return false;
    }
};

} // namespace

class CanvasTest : public QObject
{
    Q_OBJECT

    frmcanvas *c = nullptr;

    QColor at(int x, int y) const { return c->Picdraw->image().pixelColor(x, y); }
    void press(QPoint p, Qt::MouseButton button = Qt::LeftButton)
    {
        QTest::mousePress(c->Picdraw, button, {}, p);
    }
    void release(QPoint p, Qt::MouseButton button = Qt::LeftButton)
    {
        QTest::mouseRelease(c->Picdraw, button, {}, p);
    }
    // A move with exactly these buttons held, anywhere (as during a drag the area has grabbed).
    void moveTo(QPointF p, Qt::MouseButtons buttons = Qt::LeftButton)
    {
        QMouseEvent move(QEvent::MouseMove, p, c->Picdraw->mapToGlobal(p), Qt::NoButton, buttons,
                         Qt::NoModifier);
        QApplication::sendEvent(c->Picdraw, &move);
    }
    QList<int> borderedBoxes() const
    {
        QList<int> bordered;
        for (int i = 0; i < frmcanvas::PaletteSize; ++i)
            if (c->picSelColor[i]->hasBorder())
                bordered.append(i);
        return bordered;
    }
    void verifyFresh()
    {
        QVERIFY(allWhite(c->Picdraw->image()));
        QCOMPARE(borderedBoxes(), QList<int>{1});
        QCOMPARE(c->sCurrentColor(), QStringLiteral("0000000000"));
        QCOMPARE(c->lastPoint(), QPoint(0, 0));
    }

private slots:
    void init()
    {
        Globals::reset();
        Globals::sUserName = "ann";
        Globals::sPartnerName = "<b>bob</b>\nand more";
        c = Window<frmcanvas>::show();
    }
    void cleanup() { discardWindows<frmcanvas>(); }

    void opensBlankWithBlackSelectedAndTheNames()
    {
        QCOMPARE(c->windowTitle(), QStringLiteral("Canvas"));
        QCOMPARE(c->Picdraw->image().size(), QSize(377, 169));
        verifyFresh();
        QCOMPARE(c->Label1->text(), QStringLiteral("ann"));
        QCOMPARE(c->Label2->text(), QStringLiteral("<b>bob</b> and more")); // shown as typed
        QCOMPARE(c->Label2->textFormat(), Qt::PlainText);

        press({30, 40});
        release({30, 40});
        QCOMPARE(inkedPixels(c->Picdraw->image()), QList<QPoint>{QPoint(30, 40)});
        QCOMPARE(at(30, 40), QColor(Qt::black));
        QCOMPARE(c->lastPoint(), QPoint(30, 40));
    }

    void paletteRowsReadAsDesigned()
    {
        QVERIFY(QTest::qWaitForWindowExposed(c));
        QMap<int, QMap<int, PaletteBox *>> rows; // by top, then by left
        for (int i = 0; i < frmcanvas::PaletteSize; ++i) {
            PaletteBox *box = c->picSelColor[i];
            QCOMPARE(box->objectName(), QStringLiteral("picSelColor%1").arg(i));
            rows[box->y()][box->x()] = box;
        }
        QCOMPARE(rows.size(), 2);
        QStringList read;
        for (const auto &row : rows) {
            QStringList names;
            for (PaletteBox *box : row) {
                names << box->accessibleName();
                QCOMPARE(box->toolTip(), box->accessibleName());
                // What the box shows is the colour of its name.
                const QImage shown = box->grab().toImage();
                QCOMPARE(shown.pixelColor(shown.rect().center()),
                         coloursByName().value(box->accessibleName()));
            }
            read << names.join(", ");
        }
        QCOMPARE(read, (QStringList{
                           "white, light grey, red, orange, yellow, green, blue, magenta",
                           "black, grey, dark red, brown, olive, dark green, navy, purple"}));
        QVERIFY(!c->FlatBttn1->toolTip().isEmpty() && !c->Picdraw->accessibleName().isEmpty());
        QVERIFY(c->Picdraw->toolTip().contains("black"));
    }

    void pickingAColourMovesTheBorderAndTheNextStrokeUsesIt_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("yellow") << 11 << "0000065535" << QColor(255, 255, 0);
        QTest::newRow("white") << 0 << "0016777215" << QColor(255, 255, 255);
        QTest::newRow("light grey") << 2 << "0012632256" << QColor(192, 192, 192);
        QTest::newRow("brown") << 6 << "0000016512" << QColor(128, 64, 0);
        QTest::newRow("orange") << 7 << "0000033023" << QColor(255, 128, 0);
        QTest::newRow("purple") << 12 << "0008388736" << QColor(128, 0, 128);
        QTest::newRow("navy") << 14 << "0008388608" << QColor(0, 0, 128);
    }
    void pickingAColourMovesTheBorderAndTheNextStrokeUsesIt()
    {
        QFETCH(int, index);
        QFETCH(QString, text);
        QFETCH(QColor, colour);
        // A grey ground first, so that white strokes show.
        c->Picdraw->drawLine({0, 10}, {100, 10}, Qt::gray);
        QTest::mouseClick(c->picSelColor[index], Qt::LeftButton);
        QCOMPARE(borderedBoxes(), QList<int>{index});
        QCOMPARE(c->sCurrentColor(), text);
        QCOMPARE(frmcanvas::colourFromText(text), colour);

        press({20, 10});
        moveTo({70, 10});
        release({70, 10});
        for (int x = 20; x <= 70; ++x)
            QCOMPARE(at(x, 10), colour);
        QCOMPARE(at(19, 10), QColor(Qt::gray));
        QCOMPARE(at(71, 10), QColor(Qt::gray));
    }

    void currentColourIsTheFirstBorderedBox()
    {
        // Borders set directly, as no click leaves two: the lower index wins.
        c->picSelColor[1]->setBorder(false);
        c->picSelColor[12]->setBorder(true);
        c->picSelColor[4]->setBorder(true);
        QCOMPARE(c->sCurrentColor(), QStringLiteral("0000000128"));
        press({5, 5});
        QCOMPARE(at(5, 5), QColor(128, 0, 0));
        // Choosing a box (Space on a focused one is a click) clears every other border.
        c->picSelColor[13]->setFocus();
        QTest::keyClick(c->picSelColor[13], Qt::Key_Space);
        QCOMPARE(borderedBoxes(), QList<int>{13});
    }

    void otherButtonsDrawOnePointAndNoLine()
    {
        press({50, 50}, Qt::RightButton);
        moveTo({100, 80}, Qt::RightButton);
        moveTo({120, 90}, Qt::LeftButton | Qt::RightButton);
        moveTo({130, 95}, Qt::MiddleButton);
        moveTo({140, 99}, Qt::NoButton);
        release({140, 99}, Qt::RightButton);
        QCOMPARE(inkedPixels(c->Picdraw->image()), QList<QPoint>{QPoint(50, 50)});
        QCOMPARE(c->lastPoint(), QPoint(50, 50));

        // The last point stayed where the right button went down: the left button alone now
        // draws from there.
        moveTo({60, 50}, Qt::LeftButton);
        const QList<QPoint> inked = inkedPixels(c->Picdraw->image());
        QCOMPARE(inked.size(), 11);
        for (int x = 50; x <= 60; ++x)
            QVERIFY(inked.contains(QPoint(x, 50)));

        press({200, 150}, Qt::MiddleButton); // any button makes a dot
        QCOMPARE(at(200, 150), QColor(Qt::black));
    }

    void leftDragDrawsOneConnectedStroke()
    {
        const QList<QPoint> path{{20, 20}, {60, 20}, {60, 80}, {25, 120}, {300, 140}};
        press(path.first());
        for (qsizetype i = 1; i < path.size(); ++i)
            moveTo(path[i]);
        release(path.last());

        const QList<QPoint> inked = inkedPixels(c->Picdraw->image());
        QVERIFY(oneConnectedPiece(inked));
        for (const QPoint &p : path)
            QVERIFY2(inked.contains(p), qPrintable(QString("(%1, %2)").arg(p.x()).arg(p.y())));
        for (int x = 20; x <= 60; ++x)
            QCOMPARE(at(x, 20), QColor(Qt::black));
        for (int y = 20; y <= 80; ++y)
            QCOMPARE(at(60, y), QColor(Qt::black));
        // Nothing strays from the path.
        const QRect around = QRect(QPoint(20, 20), QPoint(300, 140));
        for (const QPoint &p : inked)
            QVERIFY(around.contains(p));
        QCOMPARE(at(40, 60), QColor(Qt::white));
        QCOMPARE(c->lastPoint(), path.last());
        QVERIFY(allWhite(c->Picture2->grab().toImage())); // the partner's area stays blank
    }

    void clearEmptiesTheAreaAndKeepsTheSelection()
    {
        QTest::mouseClick(c->picSelColor[9], Qt::LeftButton); // green
        press({10, 10});
        moveTo({200, 100});
        release({200, 100});
        QVERIFY(!inkedPixels(c->Picdraw->image()).isEmpty());
        QTest::mouseClick(c->FlatBttn1, Qt::LeftButton);
        QVERIFY(allWhite(c->Picdraw->image()));
        QCOMPARE(borderedBoxes(), QList<int>{9});
        press({30, 30});
        QCOMPARE(at(30, 30), QColor(0, 255, 0));
        QVERIFY(allWhite(c->Picture2->grab().toImage()));
    }

    void farOffDragNeitherOverflowsNorWraps()
    {
        press({100, 100});
        // Beyond 16 bits: the end is kept whole, so the line runs right, not back to the left.
        moveTo({100000, 100});
        QCOMPARE(c->lastPoint(), QPoint(100000, 100));
        for (int x = 100; x < c->Picdraw->width(); ++x)
            QCOMPARE(at(x, 100), QColor(Qt::black));
        for (int x = 0; x < 100; ++x)
            QCOMPARE(at(x, 100), QColor(Qt::white));

        // Beyond int itself: held at the ends of the range; drawing goes on.
        moveTo({1e12, -1e12});
        QCOMPARE(c->lastPoint(),
                 QPoint(std::numeric_limits<int>::max(), std::numeric_limits<int>::min()));
        moveTo({-1e300, std::numeric_limits<double>::quiet_NaN()});
        moveTo({200, 60});
        QCOMPARE(at(200, 60), QColor(Qt::black));
        release({200, 60});
        QVERIFY(allWhite(c->Picture2->grab().toImage()));
    }

    void drawingSurvivesHidingAndRepaintsOnlyTheDamage()
    {
        QVERIFY(QTest::qWaitForWindowExposed(c));
        QCoreApplication::processEvents();
        PaintRecorder recorder;
        c->Picdraw->installEventFilter(&recorder);
        press({10, 10});
        moveTo({20, 14});
        release({20, 14});
        QTRY_VERIFY(!recorder.rects.isEmpty());
        const QRect stroke(QPoint(7, 7), QPoint(23, 17));
        for (const QRect &r : std::as_const(recorder.rects))
            QVERIFY2(stroke.contains(r), qPrintable(QString("%1,%2 %3x%4").arg(r.x()).arg(r.y())
                                                        .arg(r.width()).arg(r.height())));
        c->Picdraw->removeEventFilter(&recorder);

        const QImage before = c->Picdraw->image().copy();
        c->hide();
        c->showMinimized();
        c->showNormal();
        Window<frmcanvas>::show(); // "Open Canvas" while open: the same window, drawing kept
        QCOMPARE(Window<frmcanvas>::get(), c);
        QCOMPARE(c->Picdraw->image(), before);
        const QImage onScreen = c->Picdraw->grab().toImage();
        QCOMPARE(onScreen.pixelColor(10, 10), QColor(Qt::black));
        QCOMPARE(onScreen.pixelColor(20, 14), QColor(Qt::black));
        QCOMPARE(onScreen.pixelColor(100, 100), QColor(Qt::white));
    }

    void closingDiscardsTheDrawingAndReopeningStartsAfresh()
    {
        for (const bool byMenu : {true, false}) {
            QTest::mouseClick(c->picSelColor[5], Qt::LeftButton); // red
            press({40, 40});
            moveTo({90, 60});
            QPointer<frmcanvas> old(c);
            if (byMenu)
                c->mnuclscanvas->trigger();
            else
                c->close(); // the close box
            QCOMPARE(Window<frmcanvas>::get(), nullptr);
            QTRY_VERIFY(old.isNull());

            c = Window<frmcanvas>::show();
            verifyFresh();
            press({40, 40});
            QCOMPARE(at(40, 40), QColor(Qt::black));
            release({40, 40});
        }
    }
};

QTEST_MAIN(CanvasTest)
#include "tst_canvas.moc"
