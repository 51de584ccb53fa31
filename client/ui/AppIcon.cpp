#include "AppIcon.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOption>

#include <functional>
#include <optional>

// The resource lives in a static library: referencing its initialiser keeps it in the program.
static void initIconResource()
{
    Q_INIT_RESOURCE(quillet);
}

namespace quillet {

namespace {

// An icon made when it is first drawn or measured, by `make`. Until then it costs nothing: no
// image file is read and no icon plugin is loaded. Every copy of the icon shares what was made.
class DeferredIcon : public QIconEngine
{
public:
    explicit DeferredIcon(std::function<QIcon()> make) : make_(std::move(make)) {}
    QIconEngine *clone() const override { return new DeferredIcon(*this); }
    QString key() const override { return QStringLiteral("quillet-deferred"); }
    bool isNull() override { return !make_ && icon_.isNull(); } // not made yet: taken as an icon
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        made().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return made().pixmap(size, 1.0, mode, state);
    }
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal) override
    {
        return pixmap(size, mode, state); // `size` is in device pixels already
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return made().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return made().availableSizes(mode, state);
    }

private:
    const QIcon &made()
    {
        if (make_) {
            icon_ = make_();
            make_ = nullptr;
        }
        return icon_;
    }

    std::function<QIcon()> make_;
    QIcon icon_;
};

QIcon deferredIcon(std::function<QIcon()> make)
{
    return QIcon(new DeferredIcon(std::move(make)));
}

// Qt's styles read their standard icons from image files, and reading the first one makes Qt load
// every image format plugin. Widgets ask for some as they are built, to show them only later: a
// menu bar the arrow of its overflow button (shown when the menus do not fit the window), a line
// edit with a clear button its icon (shown once there is text; the find bar of a text view has
// one). This style hands out those as deferred icons.
class DeferredIconsStyle : public QProxyStyle
{
public:
    QIcon standardIcon(StandardPixmap which, const QStyleOption *option, const QWidget *widget) const override
    {
        if (which != SP_ToolBarHorizontalExtensionButton && which != SP_ToolBarVerticalExtensionButton
            && which != SP_LineEditClearButton)
            return QProxyStyle::standardIcon(which, option, widget);
        // What the icon depends on is the layout direction, which the option's base part carries.
        const std::optional<QStyleOption> kept = option ? std::optional(*option) : std::nullopt;
        const QPointer<QStyle> base = baseStyle();
        return deferredIcon([base, which, kept] {
            return base ? base->standardIcon(which, kept ? &*kept : nullptr) : QIcon();
        });
    }
};

} // namespace

QIcon programIcon()
{
    // The main window's first frame does not draw it; where the desktop shows window icons, it
    // asks for the pixels at once, and the SVG icon engine (a plugin, and QtSvg) is loaded then.
    return deferredIcon([] {
        initIconResource();
        return QIcon(QStringLiteral(":/quillet/quillet.svg"));
    });
}

void deferStandardIcons()
{
    QApplication::setStyle(new DeferredIconsStyle); // the style the application would have had
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
