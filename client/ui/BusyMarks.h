// Busy marks in the list of online users.
//
// A user who is in a private chat, or asking for one, is shown greyed and in italics, with
// BusyDescription as the item's tooltip and accessible description. The item's text stays the bare
// name, since everything that reads the list (the selection checks, the request's user field)
// reads it. A mark goes with its item: a user who leaves, or a list cleared for a new login, starts
// clean.
#pragma once

#include <QString>

class QListWidget;

namespace quillet {

inline const QString BusyDescription = QStringLiteral("busy (in a private chat)");

// Marks every item named `name` busy, or takes the mark off. Names not listed are left alone.
void setUserBusy(QListWidget *users, const QString &name, bool busy);
// Whether an item named `name` is marked busy.
bool isUserBusy(const QListWidget *users, const QString &name);

} // namespace quillet
