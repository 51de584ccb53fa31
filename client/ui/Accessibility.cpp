#include "Accessibility.h"

#include <QLabel>

namespace quillet {

void showLabelValue(QLabel *label, const QString &role, const QString &text)
{
    label->setText(text);
    label->setAccessibleName(text.isEmpty() ? role : role + QStringLiteral(": ") + text);
}

} // namespace quillet
