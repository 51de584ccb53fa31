#include "AppIcon.h"

#include <QIconEngine>
#include <QPainter>

// The resource lives in a static library: referencing its initialiser keeps it in the program.
static void initIconResource()
{
    Q_INIT_RESOURCE(quillet);
}

namespace quillet {

namespace {

// The program's icon, handed to Qt's SVG icon engine when it is first drawn or measured. Making
// that icon loads the engine's plugin and QtSvg; giving a window its icon does not need them, and
// the main window's first frame does not draw it (where the desktop shows window icons, it asks
// for the pixels at once, and the engine is loaded then).
class DeferredSvgIcon : public QIconEngine
{
public:
    QIconEngine *clone() const override { return new DeferredSvgIcon; }
    QString key() const override { return QStringLiteral("quillet-deferred-svg"); }
    bool isNull() override { return false; }
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        svg().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return svg().pixmap(size, 1.0, mode, state);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal) override
    {
        return pixmap(size, mode, state); // `size` is in device pixels already
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return svg().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return svg().availableSizes(mode, state);
    }

private:
    const QIcon &svg()
    {
        if (svg_.isNull()) {
            initIconResource();
            svg_ = QIcon(QStringLiteral(":/quillet/quillet.svg"));
        }
        return svg_;
    }

    QIcon svg_;
};

} // namespace

QIcon programIcon()
{
    return QIcon(new DeferredSvgIcon);
}

IconPicture::IconPicture(const QIcon &icon, int size, QWidget *parent)
    : QLabel(parent), icon_(icon)
{
    setFixedSize(size, size);
}

void IconPicture::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    icon_.paint(&painter, contentsRect(), alignment());
}

} // namespace quillet
