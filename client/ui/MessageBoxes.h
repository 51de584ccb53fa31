// The one way the client's windows show a message box.
//
// Every box of the client is modal, has a single OK button, a text, a title and one of four icons.
// Windows call quillet::messageBox(); what actually shows it is services().boxes: by default a
// QMessageBox, in tests a recording fake (client/tests/support/ClientTestSupport.h).
#pragma once

#include <QLatin1StringView>
#include <QString>

class QWidget;

namespace quillet {

// The program's name: the title of every box that has none of its own.
inline constexpr QLatin1StringView ProgramName("Quillet");

enum class BoxIcon { None, Information, Exclamation, Critical };

class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    // Shows the box and returns once the user has dismissed it. `title` is never empty here.
    virtual void show(QWidget *parent, const QString &text, const QString &title, BoxIcon icon) = 0;
};

// Shows a box through services().boxes; an empty title becomes ProgramName. The text is shown as
// plain text, never as markup.
void messageBox(QWidget *parent, const QString &text, const QString &title = QString(),
                BoxIcon icon = BoxIcon::None);

} // namespace quillet
