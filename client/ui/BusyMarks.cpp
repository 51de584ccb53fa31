#include "BusyMarks.h"

#include <QListWidget>

namespace quillet {

namespace {

constexpr int BusyRole = Qt::UserRole + 17;

// The greyed look of a busy user, and the item's own look back when free.
void mark(QListWidgetItem *item, bool busy)
{
    if (!busy) {
        for (const int role : {BusyRole, int(Qt::ForegroundRole), int(Qt::FontRole),
                               int(Qt::ToolTipRole), int(Qt::AccessibleDescriptionRole)})
            item->setData(role, QVariant());
        return;
    }
    QFont italic = item->font();
    italic.setItalic(true); // not told by colour alone
    item->setData(BusyRole, true);
    item->setForeground(QColor(128, 128, 128)); // readable on light and dark lists
    item->setFont(italic);
    item->setToolTip(BusyDescription);
    item->setData(Qt::AccessibleDescriptionRole, BusyDescription);
}

} // namespace

void setUserBusy(QListWidget *users, const QString &name, bool busy)
{
    for (QListWidgetItem *item : users->findItems(name, Qt::MatchExactly | Qt::MatchCaseSensitive))
        mark(item, busy);
}

bool isUserBusy(const QListWidget *users, const QString &name)
{
    const QList<QListWidgetItem *> items =
        users->findItems(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    return std::any_of(items.cbegin(), items.cend(),
                       [](const QListWidgetItem *item) { return item->data(BusyRole).toBool(); });
}

} // namespace quillet
