#include "frmcanvas.h"

#include "Accessibility.h"
#include "AppIcon.h"
#include "Controls.h"
#include "Globals.h"

#include <QAction>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillet {

namespace {

struct PaletteEntry
{
    const char *name;
    int red, green, blue;
    int row, column; // from 0
};

// By index: the top row reads white, light grey, red, orange, yellow, green, blue, magenta; the
// bottom row black, grey, dark red, brown, olive, dark green, navy, purple.
constexpr PaletteEntry Palette[frmcanvas::PaletteSize] = {
    {"white", 255, 255, 255, 0, 0},   {"black", 0, 0, 0, 1, 0},
    {"light grey", 192, 192, 192, 0, 1}, {"grey", 128, 128, 128, 1, 1},
    {"dark red", 128, 0, 0, 1, 2},    {"red", 255, 0, 0, 0, 2},
    {"brown", 128, 64, 0, 1, 3},      {"orange", 255, 128, 0, 0, 3},
    {"dark green", 0, 128, 0, 1, 5},  {"green", 0, 255, 0, 0, 5},
    {"olive", 128, 128, 0, 1, 4},     {"yellow", 255, 255, 0, 0, 4},
    {"purple", 128, 0, 128, 1, 7},    {"magenta", 255, 0, 255, 0, 7},
    {"navy", 0, 0, 128, 1, 6},        {"blue", 0, 0, 255, 0, 6},
};

// The window was laid out in twips; 15 twips make one pixel at 96 dots per inch.
constexpr int pixels(int twips) { return (twips + 7) / 15; }
constexpr int PaletteCell = pixels(360);           // the rows and columns are 360 apart
const QSize DrawingSize(pixels(5655), pixels(2535)); // Picdraw and Picture2

// A pointer coordinate as a whole number, halves to the even neighbour. Values beyond int's range
// (no screen has them) are held at its ends rather than wrapped.
int wholeCoordinate(qreal v)
{
    if (std::isnan(v))
        return 0;
    constexpr double lo = std::numeric_limits<int>::min();
    constexpr double hi = std::numeric_limits<int>::max();
    return int(std::nearbyint(std::clamp(double(v), lo, hi)));
}

// Cuts the segment to the rectangle (Liang-Barsky); false when no part of it lies inside.
bool clipSegment(QLineF &segment, const QRectF &r)
{
    const QPointF a = segment.p1();
    const QPointF d = segment.p2() - a;
    const double p[4] = {-d.x(), d.x(), -d.y(), d.y()};
    const double q[4] = {a.x() - r.left(), r.right() - a.x(), a.y() - r.top(), r.bottom() - a.y()};
    double t0 = 0, t1 = 1;
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0)
                return false; // parallel to this edge and outside it
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1)
            return false;
    }
    segment = QLineF(a + t0 * d, a + t1 * d);
    return true;
}

} // namespace

// --- PaletteBox ---

PaletteBox::PaletteBox(const QColor &colour, const QString &colourName, QWidget *parent)
    : QWidget(parent), colour_(colour), name_(colourName)
{
    setFixedSize(PaletteCell, PaletteCell);
    setFocusPolicy(Qt::TabFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setToolTip(colourName);
    setAccessibleName(colourName);
}

void PaletteBox::setBorder(bool on)
{
    if (border_ == on)
        return;
    border_ = on;
    setAccessibleDescription(on ? QStringLiteral("current colour") : QString());
    update();
}

void PaletteBox::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QRect r = rect();
    if (border_) {
        // A single line around the box, kept apart from the colour so that it shows on black too.
        p.fillRect(r, palette().color(QPalette::Window));
        p.setPen(palette().color(QPalette::WindowText));
        p.drawRect(r.adjusted(0, 0, -1, -1));
        p.fillRect(r.adjusted(2, 2, -2, -2), colour_);
    } else {
        p.fillRect(r, colour_);
    }
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) { // reached by keyboard
        QPen focus(palette().color(QPalette::Highlight));
        focus.setStyle(Qt::DotLine);
        p.setPen(focus);
        p.drawRect(r.adjusted(1, 1, -2, -2));
    }
}

void PaletteBox::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        pressed_ = true;
}

void PaletteBox::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const bool click = pressed_ && rect().contains(event->position().toPoint());
    pressed_ = false;
    if (click)
        emit clicked();
}

void PaletteBox::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return
        || event->key() == Qt::Key_Enter)
        emit clicked();
    else
        QWidget::keyPressEvent(event);
}

// --- DrawingArea ---

DrawingArea::DrawingArea(const QSize &size, QWidget *parent)
    : QWidget(parent), image_(size, QImage::Format_RGB32)
{
    image_.fill(Qt::white);
    setFixedSize(size);
    setAttribute(Qt::WA_OpaquePaintEvent); // paintEvent covers every damaged pixel
    setAttribute(Qt::WA_StaticContents);
    setCursor(Qt::CrossCursor);
}

void DrawingArea::drawPoint(QPoint at, const QColor &colour)
{
    if (!image_.rect().contains(at))
        return;
    QPainter p(&image_);
    p.setPen(QPen(colour, 1));
    p.drawPoint(at);
    update(QRect(at, QSize(1, 1)).adjusted(-1, -1, 1, 1));
}

void DrawingArea::drawLine(QPoint from, QPoint to, const QColor &colour)
{
    QLineF segment(from, to); // exact: every int is a double
    // Ends far outside are brought in to just beyond the image first, along the same line, so that
    // the painter only ever sees coordinates near the image.
    const QRectF near = QRectF(image_.rect()).adjusted(-2, -2, 2, 2);
    if (!near.contains(segment.p1()) || !near.contains(segment.p2())) {
        if (!clipSegment(segment, near))
            return;
        // Whole ends again (they lie outside the image), so that the visible pixels are those of
        // the whole line, its own end included.
        segment = QLineF(segment.p1().toPoint(), segment.p2().toPoint());
    }
    QPainter p(&image_);
    p.setPen(QPen(colour, 1, Qt::SolidLine, Qt::SquareCap));
    p.drawLine(segment);
    const QRect damaged = QRectF(segment.p1(), segment.p2()).normalized().toAlignedRect();
    update(damaged.adjusted(-2, -2, 2, 2) & rect());
}

void DrawingArea::clear()
{
    image_.fill(Qt::white);
    update();
}

void DrawingArea::paintEvent(QPaintEvent *event)
{
    QPainter p(this);
    const QRect damaged = event->rect();
    p.drawImage(damaged, image_, damaged);
}

void DrawingArea::resizeEvent(QResizeEvent *event)
{
    // The area has a fixed size; should it ever grow, the drawing is kept and the rest is white.
    if (width() > image_.width() || height() > image_.height()) {
        QImage grown(size().expandedTo(image_.size()), QImage::Format_RGB32);
        grown.fill(Qt::white);
        QPainter(&grown).drawImage(0, 0, image_);
        image_ = grown;
    }
    QWidget::resizeEvent(event);
}

void DrawingArea::mousePressEvent(QMouseEvent *event)
{
    emit MouseDown(event->button(), event->buttons(), event->position());
}

void DrawingArea::mouseMoveEvent(QMouseEvent *event)
{
    emit MouseMove(event->buttons(), event->position());
}

// --- frmcanvas ---

frmcanvas::frmcanvas(QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmcanvas"));
    setWindowTitle(Caption);
    setWindowIcon(programIcon());

    mnuclscanvas = named(menuBar()->addAction(QStringLiteral("Close Canvas")),
                         QStringLiteral("mnuclscanvas"));
    connect(mnuclscanvas, &QAction::triggered, this, &frmcanvas::mnuclscanvas_Click);

    buildControls();
    Form_Load();
}

void frmcanvas::buildControls()
{
    auto *central = new QWidget(this);
    setCentralWidget(central);

    auto *paletteGrid = new QGridLayout;
    paletteGrid->setSpacing(0);
    std::array<PaletteBox *, PaletteSize> byPlace{}; // row by row, for the tab order
    for (int i = 0; i < PaletteSize; ++i) {
        const PaletteEntry &e = Palette[i];
        auto *box = new PaletteBox(QColor(e.red, e.green, e.blue), QLatin1StringView(e.name), central);
        picSelColor[i] = named(box, QStringLiteral("picSelColor%1").arg(i));
        paletteGrid->addWidget(box, e.row, e.column);
        byPlace[e.row * 8 + e.column] = box;
        connect(box, &PaletteBox::clicked, this, [this, i] { picSelColor_Click(i); });
    }
    picSelColor[InitialColorIndex]->setBorder(true);

    FlatBttn1 = named(new QToolButton(central), QStringLiteral("FlatBttn1"));
    FlatBttn1->setText(QStringLiteral("clear"));
    FlatBttn1->setAutoRaise(true); // flat
    FlatBttn1->setToolTip(QStringLiteral("clear the drawing area"));
    FlatBttn1->setAccessibleName(QStringLiteral("clear"));
    FlatBttn1->setAccessibleDescription(QStringLiteral("clears the drawing area"));
    connect(FlatBttn1, &QToolButton::clicked, this, &frmcanvas::FlatBttn1_Click);

    Label1 = plainLabel("Label1", QString(), central);
    Picdraw = named(new DrawingArea(DrawingSize, central), QStringLiteral("Picdraw"));
    Picdraw->setAccessibleName(QStringLiteral("drawing area"));
    connect(Picdraw, &DrawingArea::MouseDown, this, &frmcanvas::Picdraw_MouseDown);
    connect(Picdraw, &DrawingArea::MouseMove, this, &frmcanvas::Picdraw_MouseMove);

    Label2 = plainLabel("Label2", QString(), central);
    Picture2 = named(new QWidget(central), QStringLiteral("Picture2"));
    Picture2->setFixedSize(DrawingSize);
    QPalette white = Picture2->palette();
    white.setColor(QPalette::Window, Qt::white);
    Picture2->setPalette(white);
    Picture2->setAutoFillBackground(true);
    Picture2->setAccessibleName(QStringLiteral("partner's drawing area"));
    Picture2->setAccessibleDescription(QStringLiteral("stays blank: drawings are not shared"));

    Label3 = plainLabel("Label3", QString(), central);
    Text3 = named(new QLineEdit(central), QStringLiteral("Text3"));
    Text3->setReadOnly(true);
    Label3->setAccessibleName(QStringLiteral("Status"));
    Text3->setAccessibleName(QStringLiteral("Status"));

    // Long names are cut at the window's edge instead of widening it.
    for (QLabel *name : {Label1, Label2})
        name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

    // The palette with "clear" at its right above the own name and drawing area, the partner's
    // name and area below, the unused row at the bottom. The window keeps this size.
    auto *top = new QHBoxLayout;
    top->addStretch(1);
    top->addLayout(paletteGrid);
    top->addSpacing(PaletteCell);
    top->addWidget(FlatBttn1);
    top->addStretch(1);
    auto *bottom = new QHBoxLayout;
    bottom->addWidget(Label3);
    bottom->addWidget(Text3, 1);
    auto *column = new QVBoxLayout(central);
    column->addLayout(top);
    column->addWidget(Label1);
    column->addWidget(Picdraw);
    column->addWidget(Label2);
    column->addWidget(Picture2);
    column->addLayout(bottom);
    column->setSizeConstraint(QLayout::SetFixedSize);

    for (int i = 1; i < PaletteSize; ++i)
        setTabOrder(byPlace[i - 1], byPlace[i]);
    setTabOrder(byPlace[PaletteSize - 1], FlatBttn1);
}

void frmcanvas::Form_Load()
{
    showLabelValue(Label1, QStringLiteral("You"), oneLine(Globals::sUserName));
    showPartner(QString());
    lastPoint_ = QPoint(0, 0);
    describeCurrentColour();
}

void frmcanvas::showPartner(const QString &name)
{
    showLabelValue(Label2, QStringLiteral("Partner"), oneLine(name));
}

void frmcanvas::describeCurrentColour()
{
    QString name; // of the first bordered box, as sCurrentColor takes it
    for (const PaletteBox *box : picSelColor) {
        if (box->hasBorder()) {
            name = box->colourName();
            break;
        }
    }
    Picdraw->setToolTip(QStringLiteral("drawing area: draw with the mouse in %1").arg(name));
    Picdraw->setAccessibleDescription(QStringLiteral("draws in %1").arg(name));
}

QString frmcanvas::sCurrentColor() const
{
    for (const PaletteBox *box : picSelColor) {
        if (box->hasBorder())
            return QStringLiteral("%1").arg(colourValue(box->colour()), 10, 10, QLatin1Char('0'));
    }
    return QString();
}

qint64 frmcanvas::colourValue(const QColor &colour)
{
    return colour.red() + 256 * qint64(colour.green()) + 65536 * qint64(colour.blue());
}

QColor frmcanvas::colourFromText(const QString &text)
{
    bool ok = false;
    qint64 value = text.trimmed().toLongLong(&ok);
    if (!ok || value < 0)
        value = 0;
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

void frmcanvas::picSelColor_Click(int index)
{
    if (index < 0 || index >= PaletteSize)
        return;
    for (PaletteBox *box : picSelColor)
        box->setBorder(false);
    picSelColor[index]->setBorder(true);
    describeCurrentColour();
}

void frmcanvas::FlatBttn1_Click()
{
    Picdraw->clear();
}

void frmcanvas::mnuclscanvas_Click()
{
    close();
}

void frmcanvas::Picdraw_MouseDown(Qt::MouseButton, Qt::MouseButtons, QPointF position)
{
    const QPoint at(wholeCoordinate(position.x()), wholeCoordinate(position.y()));
    Picdraw->drawPoint(at, colourFromText(sCurrentColor()));
    lastPoint_ = at;
}

void frmcanvas::Picdraw_MouseMove(Qt::MouseButtons buttons, QPointF position)
{
    if (buttons != Qt::LeftButton)
        return; // only the left button alone draws; the last point stays
    const QPoint to(wholeCoordinate(position.x()), wholeCoordinate(position.y()));
    Picdraw->drawLine(lastPoint_, to, colourFromText(sCurrentColor()));
    lastPoint_ = to;
}

} // namespace quillet
