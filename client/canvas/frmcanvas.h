// frmcanvas: the drawing canvas of a private chat. Either partner opens it from the private chat
// window ("Open Canvas" shows it through Window<frmcanvas>::show(), or brings the open one to the
// front). The drawing stays on this screen: nothing goes over the peer connection, and the white
// area under the partner's name (Picture2) stays blank.
//
// The current colour is not stored anywhere: it is the colour of the first palette box, by index,
// that carries the border (sCurrentColor). Closing the window discards it and its drawing; the next
// opening starts blank with black selected.
#pragma once

#include <QImage>
#include <QMainWindow>
#include <QPoint>
#include <QPointF>

#include <array>

class QAction;
class QLabel;
class QLineEdit;
class QToolButton;

namespace quillet {

// One colour box of the palette. A click (press and release on it, or Space/Enter with the focus)
// emits clicked(); the window decides which box carries the border.
class PaletteBox : public QWidget
{
    Q_OBJECT

public:
    PaletteBox(const QColor &colour, const QString &colourName, QWidget *parent = nullptr);

    QColor colour() const { return colour_; }
    QString colourName() const { return name_; }
    bool hasBorder() const { return border_; }
    void setBorder(bool on);

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QColor colour_;
    QString name_;
    bool border_ = false;
    bool pressed_ = false;
};

// The drawing area: a white off-screen image that the window draws on and that paintEvent copies
// to the screen, damaged rectangle only. The image outlives hiding, covering and minimising.
// The drawing is pixel-exact in the window's own (device-independent) pixels: one stroke is one
// such pixel wide, and on a high-DPI screen each of them is shown as a block of device pixels,
// unsmoothed (whole blocks at ratios 2 and 3; at fractional ratios blocks differ by one pixel).
// Mouse presses and moves are handed to the window as MouseDown/MouseMove.
class DrawingArea : public QWidget
{
    Q_OBJECT

public:
    DrawingArea(const QSize &size, QWidget *parent = nullptr);

    const QImage &image() const { return image_; }
    // Draws in widget coordinates; any part outside the image is cut off. Either end may lie as
    // far off as an int reaches.
    void drawPoint(QPoint at, const QColor &colour);
    void drawLine(QPoint from, QPoint to, const QColor &colour);
    // Fills the image with white.
    void clear();

signals:
    // One per pressed button: the button just pressed and the buttons held with it.
    void MouseDown(Qt::MouseButton button, Qt::MouseButtons buttons, QPointF position);
    void MouseMove(Qt::MouseButtons buttons, QPointF position);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    QImage image_;
};

class frmcanvas : public QMainWindow
{
    Q_OBJECT

public:
    explicit frmcanvas(QWidget *parent = nullptr);
    // The partner named under the drawing area.
    void showPartner(const QString &name);

    static inline const QString Caption = QStringLiteral("Canvas");
    static constexpr int PaletteSize = 16;
    static constexpr int InitialColorIndex = 1; // black

    // The palette, indexes 0 to 15 (objectNames "picSelColor0" .. "picSelColor15").
    std::array<PaletteBox *, PaletteSize> picSelColor{};
    QToolButton *FlatBttn1;
    QLabel *Label1;
    DrawingArea *Picdraw;
    QLabel *Label2;
    QWidget *Picture2;
    QLabel *Label3;
    QLineEdit *Text3;
    QAction *mnuclscanvas;

    // The current colour as ten decimal digits of red + 256 * green + 65536 * blue, taken from the
    // first bordered palette box by index; empty when no box has a border.
    QString sCurrentColor() const;
    // The colour of such a text (digits that do not read as a number give black).
    static QColor colourFromText(const QString &text);
    // red + 256 * green + 65536 * blue.
    static qint64 colourValue(const QColor &colour);

    // The last drawn point, in the drawing area's coordinates.
    QPoint lastPoint() const { return lastPoint_; }

public slots:
    void picSelColor_Click(int index);
    void FlatBttn1_Click();
    void mnuclscanvas_Click();
    void Picdraw_MouseDown(Qt::MouseButton button, Qt::MouseButtons buttons, QPointF position);
    void Picdraw_MouseMove(Qt::MouseButtons buttons, QPointF position);

private:
    void Form_Load();
    void buildControls();
    void describeCurrentColour();

    QPoint lastPoint_; // (0, 0) at loading
};

} // namespace quillet
