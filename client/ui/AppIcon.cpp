#include "AppIcon.h"

#include <QPainter>

// The resource lives in a static library: referencing its initialiser keeps it in the program.
static void initIconResource()
{
    Q_INIT_RESOURCE(quillet);
}

namespace quillet {

QIcon programIcon()
{
    initIconResource();
    return QIcon(QStringLiteral(":/quillet/quillet.svg"));
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
