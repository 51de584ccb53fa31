// Small helpers every window uses to build its controls: each control gets its name as its
// objectName, labels that may show network text are plain text, and network text shown on one
// line has its line breaks turned into blanks.
#pragma once

#include <QLatin1StringView>
#include <QString>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QWidget;

namespace quillet {

template<class T>
T *named(T *object, const char *name)
{
    object->setObjectName(QLatin1StringView(name));
    return object;
}

template<class T>
T *named(T *object, const QString &name)
{
    object->setObjectName(name);
    return object;
}

// A label that never interprets its text as markup.
QLabel *plainLabel(const char *name, const QString &text, QWidget *parent);
// A menu item named `name`.
QAction *menuItem(QMenu *menu, const char *name, const QString &caption);
// A push button that Enter in another control of its window does not press.
QPushButton *button(const char *name, const QString &caption, QWidget *parent);
// Network text on one line: every line break becomes a blank.
QString oneLine(QString text);

} // namespace quillet
