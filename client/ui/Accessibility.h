// Names for assistive technology (screen readers and the like).
//
// Qt names buttons, menus and labels after their text, and a field after the label whose buddy it
// is. Everything else gets its name here. A label that shows a value (a user's name, a status) is
// named after its role and its value, so that an empty one still says what it is for.
#pragma once

#include <QString>

class QLabel;

namespace quillet {

// Shows `text` in `label` and names it "role: text" (just "role" while the text is empty).
void showLabelValue(QLabel *label, const QString &role, const QString &text);

} // namespace quillet
