// The drawing canvas: the current colour, drawing with the mouse (synthetic events, pixels read
// back from the drawing area's image), clearing and far-off drags. (The name labels are a case of
// the untrusted-input suite; the stroke messages are the protocol suite's; the strokes sent and the
// partner's drawing shown, pixel for pixel: the private chat table and the end-to-end walk.)
#include "ClientTestSupport.h"
#include "frmcanvas.h"

using namespace quillet;
using namespace quillet::test;

class CanvasTest : public QObject
{
    Q_OBJECT

    frmcanvas *c = nullptr;

    QColor at(int x, int y) const { return c->Picdraw->image().pixelColor(x, y); }
    bool blank() const // every pixel of the drawing area white
    {
        QImage white(c->Picdraw->image().size(), c->Picdraw->image().format());
        white.fill(Qt::white);
        return c->Picdraw->image() == white;
    }
    void press(QPoint p) { QTest::mousePress(c->Picdraw, Qt::LeftButton, {}, p); }
    // A move with the left button held, anywhere (as during a drag the area has grabbed).
    void moveTo(QPointF p)
    {
        QMouseEvent move(QEvent::MouseMove, p, c->Picdraw->mapToGlobal(p), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(c->Picdraw, &move);
    }

private slots:
    void init()
    {
        Globals::reset();
        c = Window<frmcanvas>::show();
    }
    void cleanup() { discardWindows<frmcanvas>(); }

    void pickingAColourSetsItAndTheNextStrokeUsesIt()
    {
        c->Picdraw->drawLine({0, 10}, {100, 10}, Qt::gray); // a grey ground, so that white shows
        const QList<std::tuple<int, QString, QColor>> picks{{0, "0016777215", QColor(255, 255, 255)},
                                                            {6, "0000016512", QColor(128, 64, 0)}};
        for (const auto &[index, text, colour] : picks) {
            QTest::mouseClick(c->picSelColor[index], Qt::LeftButton);
            QCOMPARE(c->sCurrentColor(), text);
            QCOMPARE(frmcanvas::colourFromText(text), colour);
            press({20, 10});
            moveTo({70, 10});
            for (int x = 20; x <= 70; ++x)
                QCOMPARE(at(x, 10), colour);
            QVERIFY(at(19, 10) == QColor(Qt::gray) && at(71, 10) == QColor(Qt::gray));
        }
    }

    void aFarOffDragNeitherOverflowsNorWraps()
    {
        press({100, 100});
        moveTo({100000, 100}); // beyond 16 bits: the line runs right, not back to the left
        QCOMPARE(c->lastPoint(), QPoint(100000, 100));
        for (int x = 0; x < c->Picdraw->width(); ++x)
            QCOMPARE(at(x, 100), x < 100 ? QColor(Qt::white) : QColor(Qt::black));
        moveTo({1e12, -1e12}); // beyond int: held at the ends of its range, drawing goes on
        QCOMPARE(c->lastPoint(), QPoint(std::numeric_limits<int>::max(), std::numeric_limits<int>::min()));
        moveTo({-1e300, std::numeric_limits<double>::quiet_NaN()});
        moveTo({200, 60});
        QCOMPARE(at(200, 60), QColor(Qt::black));
        QTest::mouseClick(c->FlatBttn1, Qt::LeftButton); // Clear
        QVERIFY(blank());
    }

};

QTEST_MAIN(CanvasTest)
#include "tst_canvas.moc"
